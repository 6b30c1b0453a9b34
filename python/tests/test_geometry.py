import numpy as np
import pytest

import tamrix


def test_resample_interpolates_toward_the_first_value_and_repeats_the_last():
    result = tamrix.resample(np.array([[0, 10, 20], [9, 9, 9]], np.uint32), fx=2, fy=2)
    assert result.shape == (4, 6) and result.dtype == np.uint32
    np.testing.assert_array_equal(result, [[0, 5, 10, 15, 20, 20], [4, 7, 10, 12, 15, 15], [9] * 6, [9] * 6])


def test_resample_checks_factors_and_out():
    image = np.zeros((2, 2), np.uint16)
    with pytest.raises(ValueError, match="fx must be in 1"):
        tamrix.resample(image, fx=0)
    with pytest.raises(ValueError, match=r"out must have shape \(4, 4\)"):
        tamrix.resample(image, fx=2, out=np.zeros((4, 5), np.uint16))
    with pytest.raises(ValueError, match="2\\^31 bytes"):
        tamrix.resample(image, fx=2**20, fy=2**20)


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
def test_transform_samples_the_mapped_position_and_leaves_the_outside_alone(dtype):
    image = np.arange(16, dtype=dtype).reshape(4, 4) * 10
    out = np.full((4, 4), 7, dtype)
    tamrix.transform(image, matrix=[[1, 0, 0.5], [0, 1, 0]], out=out)  # the mean of two neighbours
    np.testing.assert_array_equal(out, [[5, 15, 25, 7], [45, 55, 65, 7], [85, 95, 105, 7], [7, 7, 7, 7]])
    rotated = tamrix.transform(image, matrix=[[0, 1, 0], [-1, 0, 3]])  # a quarter turn, into a zeroed frame
    np.testing.assert_array_equal(rotated[:3, 1:], image[2::-1, :3].T)
    assert not rotated[:, 0].any() and not rotated[3].any()


def test_transform_checks_its_matrix_and_destination():
    image = np.zeros((4, 4), np.uint16)
    with pytest.raises(ValueError, match=r"matrix must have shape \(2, 3\)"):
        tamrix.transform(image, matrix=np.eye(3))
    with pytest.raises(ValueError, match="matrix must be finite"):
        tamrix.transform(image, matrix=[[1, 0, np.nan], [0, 1, 0]])
    with pytest.raises(TypeError, match="matrix must hold real numbers"):
        tamrix.transform(image, matrix=[[1j, 0, 0], [0, 1, 0]])
    with pytest.raises(ValueError, match="either out or shape"):
        tamrix.transform(image, matrix=[[1, 0, 0], [0, 1, 0]], shape=(4, 4), out=np.zeros((4, 4), np.uint16))
    with pytest.raises(ValueError, match="out must not share memory with image"):
        tamrix.transform(image, matrix=[[1, 0, 0], [0, 1, 0]], out=image)
    assert tamrix.transform(image, matrix=[[1, 0, 0], [0, 1, 0]], shape=(3, 6)).shape == (3, 6)


def test_sub_pixel_shift_weights_the_square():
    image = np.arange(24, dtype=np.uint16).reshape(4, 6) * 4
    half = tamrix.sub_pixel_shift(image, dx=1, dy=0, weights=(1, 1, 0, 0), divisor=2)
    np.testing.assert_array_equal(half[:3, :4], image[:3, 1:5] + 2)
    assert not half[3].any() and not half[:, 4:].any()


def test_sub_pixel_shift_checks_weights_and_divisor():
    image = np.zeros((4, 4), np.uint16)
    with pytest.raises(ValueError, match="divisor must be in 1"):
        tamrix.sub_pixel_shift(image, dx=0, dy=0, weights=(1, 0, 0, 0), divisor=0)
    with pytest.raises(ValueError, match=r"weights\[2\]"):
        tamrix.sub_pixel_shift(image, dx=0, dy=0, weights=(1, 0, -1, 0), divisor=1)
    with pytest.raises(TypeError, match="weights must be four integers"):
        tamrix.sub_pixel_shift(image, dx=0, dy=0, weights=(1, 0, 0), divisor=1)
