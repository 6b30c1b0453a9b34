import numpy as np
import pytest

import tamrix


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
def test_mono_maps_through_the_table_in_padded_rows(dtype):
    image = np.array([[0, 100, 101, 104, 150, 199, 200, 60000]], dtype)
    lut = np.arange(10, 35, dtype=np.uint8)  # ((199 - 100) >> 2) + 1 entries
    bitmap = tamrix.create_mono_dib(image, low=100, high=200, shift=2, lut=lut)
    assert bitmap.shape == (1, 8) and bitmap.dtype == np.uint8 and bitmap.base.shape == (1, 8)
    np.testing.assert_array_equal(bitmap, [[0, 0, 10, 11, 22, 34, 255, 255]])
    out = np.zeros((1, 8), np.uint8)  # five pixels fill a padded row of 8
    assert tamrix.create_mono_dib(image[:, :5], low=100, high=200, shift=2, lut=lut, out=out).base is out
    np.testing.assert_array_equal(out[:, :5], bitmap[:, :5])


def test_mono_zoom_and_threshold_need_no_table():
    image = np.array([[0, 300, 300, 300], [0, 0, 300, 300]], np.uint16)
    np.testing.assert_array_equal(tamrix.create_mono_dib(image, low=200, high=200, zoom=-1), [[63, 255]])
    big = tamrix.create_mono_dib(image[:1, :2], low=200, high=200, zoom=2)
    np.testing.assert_array_equal(big, [[0, 0, 0, 255, 255, 255]] * 3)
    image = np.array([[999, 1000, 1001]], np.uint16)
    np.testing.assert_array_equal(tamrix.create_mono_dib(image, low=1000, high=1000), [[0, 0, 255]])


def test_color_channels_map_independently_into_blue_green_red():
    frame = np.array([[101, 102, 103, 60000]], np.uint16)
    luts = [np.array([0, 1, 2, 3], np.uint8) + 10 * c for c in range(3)]
    rgb = tamrix.create_color_dib(frame, frame, frame, low=100, high=(104, 104, 102), lut=luts)
    assert rgb.shape == (1, 4, 3)
    np.testing.assert_array_equal(rgb[0], [[1, 11, 21], [2, 12, 255], [3, 13, 255], [255, 255, 255]])
    buffer = rgb.base if rgb.base.ndim == 2 else rgb.base.base  # blue, green, red; rows padded to 12 bytes
    np.testing.assert_array_equal(buffer[0, :3], [21, 11, 1])
