import numpy as np
import pytest

import tamrix


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
def test_statistics_of_a_rectangle_or_the_whole_frame(dtype):
    image = np.arange(100, dtype=dtype).reshape(10, 10)
    assert tamrix.calculate_area_statistics(image, x=2, y=3, width=2, height=1) == (32, 33, 32.5, 0.5)
    stats = tamrix.calculate_area_statistics(image)
    assert (stats.min, stats.max, stats.mean) == (0, 99, 49.5)
    assert stats.std == pytest.approx(np.std(np.arange(100)), rel=1e-15)


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
def test_sub_frame_vector_scales_the_window_to_minus_one_to_one(dtype):
    image = np.zeros((6, 6), dtype)
    image[1:4, 2:5] = [[100, 200, 150], [300, 250, 100], [100, 100, 100]]
    vector = tamrix.sub_frame_to_vector(image, x=3, y=2, radius=1)
    assert vector.dtype == np.float32 and vector.shape == (9,)
    np.testing.assert_array_equal(vector, [-1, 0, -0.5, 1, 0.5, -1, -1, -1, -1])


def test_sub_frame_window_must_lie_inside():
    image = np.zeros((10, 12), np.uint16)
    with pytest.raises(ValueError, match="x must be in 2 .. 9"):
        tamrix.sub_frame_to_vector(image, x=1, y=5, radius=2)
    with pytest.raises(ValueError, match="y must be in 2 .. 7"):
        tamrix.sub_frame_to_vector(image, x=5, y=8, radius=2)
    with pytest.raises(ValueError, match="out must be a writable contiguous 1-D array of 25 floats"):
        tamrix.sub_frame_to_vector(image, x=5, y=5, radius=2, out=np.zeros(24, np.float32))
