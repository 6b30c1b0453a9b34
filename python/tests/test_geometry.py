import numpy as np
import pytest

import tamrix
from conftest import random_frame


def interpolate(a, b, f):
    """The k-th value between a and b, k = 1 .. f - 1: a + trunc(k (b - a) / f)."""
    return [a + int(k * (b - a) / f) for k in range(1, f)]


def reference_resample(image, fx, fy):
    rows = []
    for row in image.astype(np.int64):
        wide = []
        for a, b in zip(row[:-1], row[1:]):
            wide += [a] + interpolate(a, b, fx)
        wide += [row[-1]] * fx
        rows.append(wide)
    out = []
    for top, bottom in zip(rows[:-1], rows[1:]):
        out.append(top)
        between = [interpolate(a, b, fy) for a, b in zip(top, bottom)]
        out += [list(col) for col in zip(*between)] if fy > 1 else []
    out += [rows[-1]] * fy
    return np.array(out, dtype=image.dtype)


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
@pytest.mark.parametrize("fx, fy", [(1, 1), (2, 1), (1, 3), (3, 2)])
def test_resample_matches_the_interpolation_formula(rng, dtype, fx, fy):
    image = random_frame(rng, (5, 7), dtype, 60000)
    result = tamrix.resample(image, fx=fx, fy=fy)
    assert result.shape == (5 * fy, 7 * fx) and result.dtype == dtype
    np.testing.assert_array_equal(result, reference_resample(image, fx, fy))


def test_resample_row_example():
    np.testing.assert_array_equal(tamrix.resample(np.array([[0, 10, 20]], np.uint16), fx=2, fy=1),
                                  [[0, 5, 10, 15, 20, 20]])


def test_resample_checks_factors_and_out():
    image = np.zeros((2, 2), np.uint16)
    with pytest.raises(ValueError, match="fx must be in 1"):
        tamrix.resample(image, fx=0)
    with pytest.raises(ValueError, match=r"out must have shape \(4, 4\)"):
        tamrix.resample(image, fx=2, out=np.zeros((4, 5), np.uint16))
    with pytest.raises(ValueError, match="2\\^31 bytes"):
        tamrix.resample(image, fx=2**20, fy=2**20)


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
def test_identity_transform_copies_all_but_the_last_row_and_column(rng, dtype):
    image = random_frame(rng, (19, 23), dtype)
    result = tamrix.transform(image, matrix=[[1, 0, 0], [0, 1, 0]])
    np.testing.assert_array_equal(result[:-1, :-1], image[:-1, :-1])
    assert not result[-1].any() and not result[:, -1].any()  # not written: the zeroed destination shows


def test_half_pixel_transform_averages_neighbours(rng):
    image = random_frame(rng, (8, 9), np.uint16)
    result = tamrix.transform(image, matrix=[[1, 0, 0.5], [0, 1, 0]])
    expected = (image[:-1, :-2].astype(np.uint32) + image[:-1, 1:-1]) // 2
    np.testing.assert_array_equal(result[:-1, :-2], expected)


def test_rotation_by_90_degrees(rng):
    n = 7
    image = random_frame(rng, (n, n), np.uint32)
    out = np.full((n, n), 12345, np.uint32)
    tamrix.transform(image, matrix=[[0, 1, 0], [-1, 0, n - 1]], out=out)
    for y in range(n - 1):
        for x in range(1, n):
            assert out[y, x] == image[n - 1 - x, y]
    assert (out[:, 0] == 12345).all() and (out[n - 1] == 12345).all()


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


def test_sub_pixel_shift_identity_and_half_pixel(rng):
    image = random_frame(rng, (6, 8), np.uint16)
    copy = tamrix.sub_pixel_shift(image, dx=0, dy=0, weights=(1, 0, 0, 0), divisor=1)
    np.testing.assert_array_equal(copy[:-1, :-1], image[:-1, :-1])
    half = tamrix.sub_pixel_shift(image, dx=0, dy=0, weights=(1, 1, 0, 0), divisor=2)
    np.testing.assert_array_equal(half[:-1, :-1], (image[:-1, :-1].astype(np.uint32) + image[:-1, 1:]) // 2)


def test_sub_pixel_shift_whole_pixels(rng):
    image = random_frame(rng, (6, 10), np.uint32)
    out = np.zeros((6, 10), np.uint32)
    tamrix.sub_pixel_shift(image, dx=3, dy=1, weights=(1, 0, 0, 0), divisor=1, out=out)
    np.testing.assert_array_equal(out[:4, :6], image[1:5, 3:9])
    assert not out[:, 6:].any()


def test_sub_pixel_shift_checks_weights_and_divisor():
    image = np.zeros((4, 4), np.uint16)
    with pytest.raises(ValueError, match="divisor must be in 1"):
        tamrix.sub_pixel_shift(image, dx=0, dy=0, weights=(1, 0, 0, 0), divisor=0)
    with pytest.raises(ValueError, match=r"weights\[2\]"):
        tamrix.sub_pixel_shift(image, dx=0, dy=0, weights=(1, 0, -1, 0), divisor=1)
    with pytest.raises(TypeError, match="weights must be four integers"):
        tamrix.sub_pixel_shift(image, dx=0, dy=0, weights=(1, 0, 0), divisor=1)
