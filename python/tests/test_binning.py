import numpy as np
import pytest

import tamrix
from conftest import random_frame


def reshape_sum(image, by, bx):
    h, w = image.shape[0] // by, image.shape[1] // bx
    blocks = image[: h * by, : w * bx].astype(np.uint64).reshape(h, by, w, bx)
    return (blocks.sum(axis=(1, 3)) % 2**32).astype(np.uint32)


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
@pytest.mark.parametrize("by, bx", [(1, 1), (2, 2), (3, 1), (1, 4), (5, 3)])
def test_matches_a_reshape_sum(rng, dtype, by, bx):
    image = random_frame(rng, (61, 47), dtype)
    result = tamrix.bin(image, bin_x=bx, bin_y=by)
    assert result.dtype == np.uint32
    np.testing.assert_array_equal(result, reshape_sum(image, by, bx))


def test_bin_y_defaults_to_bin_x():
    image = np.ones((6, 6), np.uint16)
    np.testing.assert_array_equal(tamrix.bin(image, bin_x=3), np.full((2, 2), 9, np.uint32))


def test_factor_larger_than_the_frame_gives_an_empty_result():
    assert tamrix.bin(np.ones((4, 4), np.uint16), bin_x=5, bin_y=1).shape == (4, 0)


def test_writes_into_out():
    image = np.ones((4, 6), np.uint32)
    out = np.zeros((2, 3), np.uint32)
    assert tamrix.bin(image, bin_x=2, out=out) is out
    np.testing.assert_array_equal(out, 4)


def test_out_must_be_uint32_of_the_binned_shape():
    image = np.ones((4, 6), np.uint16)
    with pytest.raises(TypeError, match="out must have dtype uint32"):
        tamrix.bin(image, bin_x=2, out=np.zeros((2, 3), np.uint16))
    with pytest.raises(ValueError, match=r"out must have shape \(2, 3\)"):
        tamrix.bin(image, bin_x=2, out=np.zeros((3, 2), np.uint32))


def test_out_must_not_share_memory_with_image():
    image = np.ones((4, 4), np.uint32)
    with pytest.raises(ValueError, match="out must not share memory with image"):
        tamrix.bin(image, bin_x=1, out=image)


@pytest.mark.parametrize("name", ["bin_x", "bin_y"])
def test_factors_below_one_are_refused(name):
    kwargs = {"bin_x": 2, "bin_y": 2, name: 0}
    with pytest.raises(ValueError, match=name):
        tamrix.bin(np.ones((4, 4), np.uint16), **kwargs)
