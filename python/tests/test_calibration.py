import numpy as np
import pytest

import tamrix
from conftest import random_frame

FULL = {np.uint16: 65535, np.uint32: 4294967295}


def numpy_diff_dark(image, dark):
    result = np.where(dark > image, 0, image - dark)
    return np.where(image == FULL[image.dtype.type], image, result).astype(image.dtype)


def numpy_flat(image, flat, level):
    m = int(level + 0.5)
    q = image.astype(object) * m // np.where(flat == 0, 1, flat).astype(object)
    q = np.minimum(q, FULL[image.dtype.type]).astype(image.dtype)
    keep = (image == FULL[image.dtype.type]) | (flat == 0)
    return np.where(keep, image, q)


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
def test_dark_subtraction_matches_numpy(rng, dtype):
    image = random_frame(rng, (37, 53), dtype)
    image[0, :3] = FULL[dtype]
    dark = random_frame(rng, (37, 53), dtype)
    np.testing.assert_array_equal(tamrix.diff_dark(image, dark), numpy_diff_dark(image, dark))


@pytest.mark.parametrize("dtype, high", [(np.uint16, 65535), (np.uint32, 4294967295), (np.uint32, 70000)])
def test_flat_division_matches_numpy(rng, dtype, high):
    image = random_frame(rng, (29, 41), dtype, high)
    flat = random_frame(rng, (29, 41), dtype, high)
    flat[3, :5] = 0
    image[4, :5] = FULL[dtype]
    level = 1999.5 if dtype == np.uint16 else 123456.7
    np.testing.assert_array_equal(tamrix.flat(image, flat, level=level), numpy_flat(image, flat, level))


def test_flat_uses_and_returns_the_mean_of_the_flat():
    image = np.array([[1000, 1000]], np.uint16)
    flat = np.array([[1000, 3000]], np.uint16)
    result, level = tamrix.flat(image, flat, return_level=True)
    assert level == 2000.0
    np.testing.assert_array_equal(result, [[2000, 666]])


def test_in_place_calibration(rng):
    image = random_frame(rng, (16, 16), np.uint16)
    dark = random_frame(rng, (16, 16), np.uint16, 1000)
    flat = random_frame(rng, (16, 16), np.uint16, 5000)
    expected = tamrix.flat(tamrix.diff_dark(image, dark), flat)
    assert tamrix.diff_dark(image, dark, out=image) is image
    assert tamrix.flat(image, flat, out=image) is image
    np.testing.assert_array_equal(image, expected)


def test_out_overlapping_the_image_is_refused():
    buffer = np.zeros((9, 8), np.uint16)
    image, out = buffer[:8], buffer[1:]
    with pytest.raises(ValueError, match="out must be either image itself or a separate buffer"):
        tamrix.diff_dark(image, np.zeros((8, 8), np.uint16), out=out)


@pytest.mark.parametrize("level", [0.0, -1.0, 65536.0, float("nan"), float("inf")])
def test_flat_level_out_of_range_is_refused_for_16_bit(level):
    frame = np.ones((2, 2), np.uint16)
    with pytest.raises(ValueError, match="level"):
        tamrix.flat(frame, frame, level=level)


def test_flat_level_up_to_full_scale_for_32_bit():
    frame = np.ones((2, 2), np.uint32)
    assert tamrix.flat(frame, frame, level=4294967295.0)[0, 0] == 4294967295
    with pytest.raises(ValueError, match="level"):
        tamrix.flat(frame, frame, level=4294967296.0)
