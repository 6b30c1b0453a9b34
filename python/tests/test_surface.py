import numpy as np
import pytest

import tamrix


def cubic(c, x, y):
    return (c[0] * x**3 + c[1] * y**3 + c[2] * x**2 * y + c[3] * x * y**2 + c[4] * x**2 + c[5] * y**2
            + c[6] * x * y + c[7] * x + c[8] * y + c[9])


def test_fit_reproduces_generating_cubics(rng):
    a = rng.normal(size=10)
    b = rng.normal(size=10)
    x, y = rng.uniform(-0.5, 0.5, 40), rng.uniform(-0.5, 0.5, 40)
    points = np.column_stack([x, y, x - cubic(a, x, y), y - cubic(b, x, y)])
    fa, fb = tamrix.fit_surface(points)
    np.testing.assert_allclose(fa, a, atol=1e-9)
    np.testing.assert_allclose(fb, b, atol=1e-9)


def test_no_points_give_zeros():
    fa, fb = tamrix.fit_surface(np.zeros((0, 4)))
    assert not fa.any() and not fb.any()


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
def test_polynomial_fill_scales_offsets_and_clamps(dtype):
    frame = np.empty((3, 5), dtype)
    c = [0.0] * 7 + [1.0, 0.0, 0.0]  # x, about the centre (2, 1) in units of the longer side
    assert tamrix.fill_frame_with_polynom(frame, c, scale=10000.0, offset=2000) is frame
    np.testing.assert_array_equal(frame, [[0, 0, 2000, 4000, 6000]] * 3)


def test_vector_field_of_zeros_is_grey_with_marks():
    frame = np.empty((60, 60), np.uint16)
    tamrix.fill_frame_with_polynoms(frame, [0.0] * 10, [0.0] * 10)
    values = set(np.unique(frame))
    assert values == {0, 32767}
