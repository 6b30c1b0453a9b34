import numpy as np
import pytest

import tamrix
from conftest import random_frame


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
@pytest.mark.parametrize("rect", [dict(), dict(x=3, y=5, width=10, height=7), dict(x=40, y=30, width=100)])
def test_statistics_match_numpy(rng, dtype, rect):
    image = random_frame(rng, (45, 52), dtype)
    x, y = rect.get("x", 0), rect.get("y", 0)
    area = image[y: y + rect.get("height", 45), x: x + rect.get("width", 52)].astype(np.float64)
    stats = tamrix.calculate_area_statistics(image, **rect)
    assert (stats.min, stats.max) == (area.min(), area.max())
    assert stats.mean == pytest.approx(area.mean(), rel=1e-12)
    assert stats.std == pytest.approx(area.std(), rel=1e-10)


def test_full_scale_32_bit_pixels_are_unsigned():
    image = np.full((3, 3), 4294967295, np.uint32)
    stats = tamrix.calculate_area_statistics(image)
    assert stats == (4294967295, 4294967295, 4294967295.0, 0.0)


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(x=-1), ValueError, "x must be in 0 .. 9"),
    (dict(y=8), ValueError, "y must be in 0 .. 7"),
    (dict(width=0), ValueError, "width must be in 1"),
    (dict(height=1.5), TypeError, "height must be an integer"),
])
def test_rectangle_checks(kwargs, error, message):
    with pytest.raises(error, match=message):
        tamrix.calculate_area_statistics(np.zeros((8, 10), np.uint16), **kwargs)


def test_empty_image_has_no_statistics():
    with pytest.raises(ValueError, match="image has no pixels"):
        tamrix.calculate_area_statistics(np.zeros((0, 10), np.uint16))


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
def test_sub_frame_vector_matches_the_float32_formula(rng, dtype):
    image = random_frame(rng, (20, 20), dtype, 5000)
    vector = tamrix.sub_frame_to_vector(image, x=9, y=11, radius=3)
    window = image[8:15, 6:13].astype(np.uint32).ravel()
    low, high = window.min(), window.max()
    scale = np.float32(2.0) / np.float32(high - low)
    expected = (window - low).astype(np.float32) * scale - np.float32(1.0)
    assert vector.dtype == np.float32 and vector.shape == (49,)
    np.testing.assert_array_equal(vector, expected)


def test_sub_frame_window_must_lie_inside():
    image = np.zeros((10, 12), np.uint16)
    with pytest.raises(ValueError, match="x must be in 2 .. 9"):
        tamrix.sub_frame_to_vector(image, x=1, y=5, radius=2)
    with pytest.raises(ValueError, match="y must be in 2 .. 7"):
        tamrix.sub_frame_to_vector(image, x=5, y=8, radius=2)
    with pytest.raises(ValueError, match="out must be a writable contiguous 1-D array of 25 floats"):
        tamrix.sub_frame_to_vector(image, x=5, y=5, radius=2, out=np.zeros(24, np.float32))
