import numpy as np

import tamrix


def test_block_sums_into_uint32_with_bin_y_defaulting_to_bin_x():
    image = np.arange(49, dtype=np.uint16).reshape(7, 7)
    result = tamrix.bin(image, bin_x=3)
    assert result.dtype == np.uint32
    np.testing.assert_array_equal(result, [[72, 99], [261, 288]])  # the last row and column belong to no block
    assert tamrix.bin(image, bin_x=8, bin_y=1).shape == (7, 0)
    out = np.zeros((2, 3), np.uint32)
    assert tamrix.bin(np.ones((4, 6), np.uint32), bin_x=2, out=out) is out
    np.testing.assert_array_equal(out, 4)
