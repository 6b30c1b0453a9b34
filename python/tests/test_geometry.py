import numpy as np
import pytest

import tamrix


def test_resample_interpolates_toward_the_first_value_and_repeats_the_last():
    result = tamrix.resample(np.array([[0, 10, 20], [9, 9, 9]], np.uint32), fx=2, fy=2)
    assert result.shape == (4, 6) and result.dtype == np.uint32
    np.testing.assert_array_equal(result, [[0, 5, 10, 15, 20, 20], [4, 7, 10, 12, 15, 15], [9] * 6, [9] * 6])


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
def test_transform_samples_the_mapped_position_and_leaves_the_outside_alone(dtype):
    image = np.arange(16, dtype=dtype).reshape(4, 4) * 10
    out = np.full((4, 4), 7, dtype)
    tamrix.transform(image, matrix=[[1, 0, 0.5], [0, 1, 0]], out=out)  # the mean of two neighbours
    np.testing.assert_array_equal(out, [[5, 15, 25, 7], [45, 55, 65, 7], [85, 95, 105, 7], [7, 7, 7, 7]])
    rotated = tamrix.transform(image, matrix=[[0, 1, 0], [-1, 0, 3]])  # a quarter turn, into a zeroed frame
    np.testing.assert_array_equal(rotated[:3, 1:], image[2::-1, :3].T)
    assert not rotated[:, 0].any() and not rotated[3].any()
    assert tamrix.transform(image, matrix=[[1, 0, 0], [0, 1, 0]], shape=(3, 6)).shape == (3, 6)


def test_sub_pixel_shift_weights_the_square():
    image = np.arange(24, dtype=np.uint16).reshape(4, 6) * 4
    half = tamrix.sub_pixel_shift(image, dx=1, dy=0, weights=(1, 1, 0, 0), divisor=2)
    np.testing.assert_array_equal(half[:3, :4], image[:3, 1:5] + 2)
    assert not half[3].any() and not half[:, 4:].any()
