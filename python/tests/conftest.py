"""Shared helpers of the tamrix Python tests."""

import numpy as np
import pytest


@pytest.fixture
def rng():
    return np.random.default_rng(20261206)


def random_frame(rng, shape, dtype, high=None):
    """A frame of uniform random pixels below high (full scale by default)."""
    info = np.iinfo(dtype)
    top = info.max if high is None else high
    return rng.integers(0, top, size=shape, dtype=dtype, endpoint=True)
