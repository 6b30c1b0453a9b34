import numpy as np
import pytest

import tamrix
from conftest import random_frame


def mapped(image, low, high, shift, lut):
    """The display mapping with np.take: 0 at or below low, 255 at or above high, else the table."""
    v = image.astype(np.int64)
    index = np.clip((v - low) >> shift, 0, len(lut) - 1)
    return np.where(v <= low, 0, np.where(v >= high, 255, np.take(lut, index))).astype(np.uint8)


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
def test_mono_mapping_matches_np_take(rng, dtype):
    image = random_frame(rng, (13, 21), dtype, 3000)
    low, high, shift = 500, 2500, 3
    lut = rng.integers(0, 256, ((high - 1 - low) >> shift) + 1, dtype=np.uint8)
    bitmap = tamrix.create_mono_dib(image, low=low, high=high, shift=shift, lut=lut)
    assert bitmap.shape == (13, 21) and bitmap.dtype == np.uint8
    assert bitmap.base.shape == (13, 24)  # rows padded to a multiple of 4 bytes
    np.testing.assert_array_equal(bitmap, mapped(image, low, high, shift, lut))


def test_mono_zoom_enlarges_and_reduces(rng):
    image = random_frame(rng, (6, 10), np.uint16, 255)
    lut = np.arange(256, dtype=np.uint8)
    base = mapped(image, 0, 256, 0, lut)
    big = tamrix.create_mono_dib(image, low=0, high=256, lut=lut, zoom=2)
    np.testing.assert_array_equal(big, np.repeat(np.repeat(base, 3, axis=0), 3, axis=1))
    small = tamrix.create_mono_dib(image, low=0, high=256, lut=lut, zoom=-1)
    blocks = base.astype(np.uint32).reshape(3, 2, 5, 2).sum(axis=(1, 3)) // 4
    np.testing.assert_array_equal(small, blocks)


def test_threshold_mapping_needs_no_table():
    image = np.array([[999, 1000, 1001]], np.uint16)
    np.testing.assert_array_equal(tamrix.create_mono_dib(image, low=1000, high=1000), [[0, 0, 255]])


def test_mono_table_checks():
    image = np.zeros((2, 2), np.uint16)
    with pytest.raises(ValueError, match="lut is needed when high > low"):
        tamrix.create_mono_dib(image, low=100, high=200)
    with pytest.raises(ValueError, match=r"lut must have at least \(\(high - 1 - low\) >> shift\) \+ 1 = 25 entries"):
        tamrix.create_mono_dib(image, low=100, high=200, shift=2, lut=np.zeros(24, np.uint8))
    with pytest.raises(TypeError, match="lut must be a numpy.ndarray of dtype uint8"):
        tamrix.create_mono_dib(image, low=100, high=200, lut=np.zeros(100, np.uint16))
    with pytest.raises(ValueError, match="low must be in 0 .. 4294967295"):
        tamrix.create_mono_dib(image, low=-1, high=200)


def test_mono_writes_into_a_padded_out():
    image = np.full((3, 5), 7, np.uint16)
    out = np.zeros((3, 8), np.uint8)
    bitmap = tamrix.create_mono_dib(image, low=0, high=1, out=out)
    assert bitmap.base is out
    np.testing.assert_array_equal(out[:, :5], 255)
    with pytest.raises(ValueError, match=r"out must have shape \(3, 8\)"):
        tamrix.create_mono_dib(image, low=0, high=1, out=np.zeros((3, 5), np.uint8))


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
def test_color_channels_map_independently(rng, dtype):
    frames = [random_frame(rng, (7, 9), dtype, 1000) for _ in range(3)]
    lows, highs = (100, 200, 0), (900, 800, 1000)
    luts = [rng.integers(0, 256, 1000, dtype=np.uint8) for _ in range(3)]
    rgb = tamrix.create_color_dib(*frames, low=lows, high=highs, lut=luts)
    assert rgb.shape == (7, 9, 3)
    for c in range(3):
        np.testing.assert_array_equal(rgb[..., c], mapped(frames[c], lows[c], highs[c], 0, luts[c]))
    # The buffer holds blue, green, red, rows padded to 28 bytes.
    buffer = rgb.base if rgb.base.ndim == 2 else rgb.base.base
    assert buffer.shape == (7, 28)
    np.testing.assert_array_equal(buffer[:, 0:27:3], rgb[..., 2])


def test_color_frames_must_match():
    red = np.zeros((4, 4), np.uint16)
    with pytest.raises(ValueError, match="green must have the shape of red"):
        tamrix.create_color_dib(red, np.zeros((4, 5), np.uint16), red, low=0, high=0)
    with pytest.raises(ValueError, match="low must be one value or three"):
        tamrix.create_color_dib(red, red, red, low=(0, 0), high=0)
