import numpy as np
import pytest

import tamrix


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
def test_dark_and_flat_known_answers(dtype):
    full = np.iinfo(dtype).max
    image = np.array([[100, 500, full, 1000]], dtype)
    dark = np.array([[120, 20, 3, 0]], dtype)
    np.testing.assert_array_equal(tamrix.diff_dark(image, dark), [[0, 480, full, 1000]])
    flat = np.array([[1000, 0, 1, 3000]], dtype)
    np.testing.assert_array_equal(tamrix.flat(image, flat, level=1999.5), [[200, 500, full, 666]])
    result, level = tamrix.flat(image, flat, return_level=True)  # the flat's mean
    assert level == 1000.25
    np.testing.assert_array_equal(result, [[100, 500, full, 333]])
    frame = np.ones((2, 2), dtype)
    assert tamrix.flat(frame, frame, level=float(full))[0, 0] == full  # a level up to full scale


def test_in_place_calibration_and_an_adjacent_out(rng):
    image = rng.integers(0, 65535, (16, 16), np.uint16, endpoint=True)
    dark = rng.integers(0, 1000, (16, 16), np.uint16)
    flat = rng.integers(1, 5000, (16, 16), np.uint16)
    expected = tamrix.flat(tamrix.diff_dark(image, dark), flat)
    assert tamrix.diff_dark(image, dark, out=image) is image
    assert tamrix.flat(image, flat, out=image) is image
    np.testing.assert_array_equal(image, expected)
    buffer = np.zeros((16, 8), np.uint16)
    out = buffer[8:]
    assert tamrix.diff_dark(buffer[:8], np.zeros((8, 8), np.uint16), out=out) is out
