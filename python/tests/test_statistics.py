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


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
def test_sub_frame_vector_scales_the_window_to_minus_one_to_one(dtype):
    image = np.zeros((6, 6), dtype)
    image[1:4, 2:5] = [[100, 200, 150], [300, 250, 100], [100, 100, 100]]
    vector = tamrix.sub_frame_to_vector(image, x=3, y=2, radius=1)
    assert vector.dtype == np.float32 and vector.shape == (9,)
    np.testing.assert_array_equal(vector, [-1, 0, -0.5, 1, 0.5, -1, -1, -1, -1])
