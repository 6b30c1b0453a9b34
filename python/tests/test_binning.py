import numpy as np
import pytest

import tamrix


def test_block_sums_into_uint32_with_bin_y_defaulting_to_bin_x():
    image = np.arange(49, dtype=np.uint16).reshape(7, 7)
    result = tamrix.bin(image, bin_x=3)
    assert result.dtype == np.uint32
    np.testing.assert_array_equal(result, [[72, 99], [261, 288]])  # the last row and column belong to no block
    assert tamrix.bin(image, bin_x=8, bin_y=1).shape == (7, 0)


def test_writes_into_out_of_the_binned_shape():
    image = np.ones((4, 6), np.uint32)
    out = np.zeros((2, 3), np.uint32)
    assert tamrix.bin(image, bin_x=2, out=out) is out
    np.testing.assert_array_equal(out, 4)
    with pytest.raises(TypeError, match="out must have dtype uint32"):
        tamrix.bin(image, bin_x=2, out=np.zeros((2, 3), np.uint16))
    with pytest.raises(ValueError, match=r"out must have shape \(2, 3\)"):
        tamrix.bin(image, bin_x=2, out=np.zeros((3, 2), np.uint32))
    with pytest.raises(ValueError, match="out must not share memory with image"):
        tamrix.bin(image, bin_x=1, out=image)


@pytest.mark.parametrize("name", ["bin_x", "bin_y"])
def test_factors_below_one_are_refused(name):
    with pytest.raises(ValueError, match=name):
        tamrix.bin(np.ones((4, 4), np.uint16), **{"bin_x": 2, "bin_y": 2, name: 0})
