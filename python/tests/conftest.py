"""Shared helpers of the tamrix Python tests."""

import numpy as np


def star_field(shape, stars, sky=800.0, noise=10.0, sigma=1.3, peak=6000.0, seed=3, dtype=np.uint16):
    """A sky with Gaussian noise and Gaussian stars at the (x, y) positions."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[: shape[0], : shape[1]]
    image = rng.normal(sky, noise, shape)
    for sx, sy in stars:
        image += peak * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / (2 * sigma**2))
    return np.clip(np.rint(image), 0, np.iinfo(dtype).max).astype(dtype)
