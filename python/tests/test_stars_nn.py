import numpy as np
import pytest

import tamrix

HOT = [(7, 5, 1000), (20, 12, 1500), (11, 22, 1200)]  # (x, y, value)


def peak_network():
    """A 3 x 3 window detector by hand: a bright centre whose eight neighbours
    all sit at the window's minimum (-1) answers near 1; noise does not."""
    net = tamrix.Network([9, 1])
    weights = np.full((1, 9), -2.0, np.float32)
    weights[0, 4] = 10.0
    net.set_weights(1, weights, np.array([-20.0], np.float32))
    return net


def field():
    # A flat sky: its windows give NaN inputs and are never candidates.
    image = np.full((30, 28), 100, np.uint16)
    for x, y, value in HOT:
        image[y, x] = value
    return image


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
def test_finds_the_bright_pixels(dtype):
    stars, mask = tamrix.find_stars_nn(field().astype(dtype), peak_network(), half_size=1, level=0.5)
    expected = sorted(HOT, key=lambda s: (s[1], s[0]))  # raster order of each group's first pixel
    assert [(s["x"], s["y"], s["peak"]) for s in stars] == expected
    np.testing.assert_array_equal(stars["flux"], [v for _, _, v in expected])
    np.testing.assert_array_equal(stars["cx"], [x for x, _, _ in expected])
    assert sorted(zip(*np.nonzero(mask))) == sorted((y, x) for x, y, _ in HOT)
