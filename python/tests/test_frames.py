"""The frame functions on numpy arrays: each binding hands frames of either
pixel type, indexed [y, x], to the library and back, with its own options,
outputs, shapes and callbacks. The arithmetic itself is the C++ tests'."""

import threading

import numpy as np
import pytest

import tamrix

BOTH = pytest.mark.parametrize("dtype", [np.uint16, np.uint32])


def test_bin_sums_blocks_into_uint32_with_bin_y_defaulting_to_bin_x():
    image = np.arange(49, dtype=np.uint16).reshape(7, 7)
    result = tamrix.bin(image, bin_x=3)
    assert result.dtype == np.uint32
    np.testing.assert_array_equal(result, [[72, 99], [261, 288]])  # the last row and column belong to no block
    assert tamrix.bin(image, bin_x=8, bin_y=1).shape == (7, 0)
    out = np.zeros((2, 3), np.uint32)
    assert tamrix.bin(np.ones((4, 6), np.uint32), bin_x=2, out=out) is out
    np.testing.assert_array_equal(out, 4)


@BOTH
def test_dark_and_flat_with_a_given_or_returned_level_in_place_or_into_an_adjacent_out(dtype):
    full = np.iinfo(dtype).max
    image, dark = np.array([[100, 500, full, 1000]], dtype), np.array([[120, 20, 3, 0]], dtype)
    np.testing.assert_array_equal(tamrix.diff_dark(image, dark), [[0, 480, full, 1000]])
    flat = np.array([[1000, 0, 1, 3000]], dtype)
    np.testing.assert_array_equal(tamrix.flat(image, flat, level=1999.5), [[200, 500, full, 666]])
    result, level = tamrix.flat(image, flat, return_level=True)  # the flat's mean
    assert level == 1000.25 and result[0, 3] == 333
    assert tamrix.flat(flat, flat, level=float(full))[0, 0] == full  # a level up to full scale
    expected = tamrix.flat(tamrix.diff_dark(image, dark), flat)
    assert tamrix.diff_dark(image, dark, out=image) is image and tamrix.flat(image, flat, out=image) is image
    np.testing.assert_array_equal(image, expected)
    buffer = np.zeros((16, 8), dtype)
    out = buffer[8:]
    assert tamrix.diff_dark(buffer[:8], np.zeros((8, 8), dtype), out=out) is out


@BOTH
def test_area_statistics_and_the_sub_frame_vector(dtype):
    image = np.arange(100, dtype=dtype).reshape(10, 10)
    assert tamrix.calculate_area_statistics(image, x=2, y=3, width=2, height=1) == (32, 33, 32.5, 0.5)
    stats = tamrix.calculate_area_statistics(image)
    assert (stats.min, stats.max, stats.mean) == (0, 99, 49.5) and 28 < stats.std < 29
    full = np.iinfo(dtype).max  # full-scale pixels are unsigned
    assert tamrix.calculate_area_statistics(np.full((3, 3), full, dtype)) == (full, full, full, 0.0)
    image = np.zeros((6, 6), dtype)
    image[1:4, 2:5] = [[100, 200, 150], [300, 250, 100], [100, 100, 100]]
    vector = tamrix.sub_frame_to_vector(image, x=3, y=2, radius=1)  # scaled to -1 .. 1
    assert vector.dtype == np.float32 and vector.shape == (9,)
    np.testing.assert_array_equal(vector, [-1, 0, -0.5, 1, 0.5, -1, -1, -1, -1])


def test_median_subtraction_and_the_range_of_32_bit_frames():
    image = np.array([[90, 10, 80], [20, 70, 30], [60, 40, 50]], np.uint16)  # medians 21, 31 and 41
    np.testing.assert_array_equal(tamrix.median(image, radius=1, subtract=True, offset=5, scale=500),
                                  [[85, 0, 70], [5, 55, 15], [45, 25, 35]])
    assert tamrix.median(np.zeros((4, 5), np.uint16), radius=4).shape == (4, 5)  # a radius up to width - 1
    image = np.arange(5000, 5009, dtype=np.uint32).reshape(3, 3)  # bins over its own range unless given one
    assert tamrix.median(image, radius=1)[1, 1] == 5004  # bins of one value between the extremes
    assert tamrix.median(image, radius=1, low=0, high=4294967295)[1, 1] == 16384  # bins of 2^14 values


def test_median_progress_reports_every_row_and_an_exception_in_it_stops_the_filter():
    seen = []
    tamrix.median(np.zeros((40, 8), np.uint16), radius=1, progress=seen.append)
    assert sorted(seen) == [int(c * 65535 / 40) / 65535 for c in range(1, 41)]
    with pytest.raises(KeyError, match="stop here"):
        tamrix.median(np.zeros((64, 8), np.uint16), radius=1, progress=lambda fraction: {}["stop here"])


@pytest.mark.parametrize("make_cancel", [tamrix.CancelToken, threading.Event])
def test_median_stops_on_a_cancel_set_while_it_runs_or_before(make_cancel):
    cancel = make_cancel()
    stop = cancel.cancel if isinstance(cancel, tamrix.CancelToken) else cancel.set
    with pytest.raises(tamrix.Cancelled):  # set at the first row's report
        tamrix.median(np.zeros((200, 8), np.uint16), radius=1, progress=lambda fraction: stop(), cancel=cancel)
    out = np.full((8, 8), 7, np.uint16)
    with pytest.raises(tamrix.Cancelled):
        tamrix.median(np.zeros((8, 8), np.uint16), radius=1, cancel=cancel, out=out)
    np.testing.assert_array_equal(out, 7)


def test_resample_scales_each_axis_by_its_factor():
    result = tamrix.resample(np.array([[0, 10, 20], [9, 9, 9]], np.uint32), fx=2, fy=2)
    assert result.shape == (4, 6) and result.dtype == np.uint32
    np.testing.assert_array_equal(result, [[0, 5, 10, 15, 20, 20], [4, 7, 10, 12, 15, 15], [9] * 6, [9] * 6])


@BOTH
def test_transform_samples_the_mapped_position_and_leaves_the_outside_alone(dtype):
    image = np.arange(16, dtype=dtype).reshape(4, 4) * 10
    out = np.full((4, 4), 7, dtype)
    tamrix.transform(image, matrix=[[1, 0, 0.5], [0, 1, 0]], out=out)  # the mean of two neighbours
    np.testing.assert_array_equal(out, [[5, 15, 25, 7], [45, 55, 65, 7], [85, 95, 105, 7], [7, 7, 7, 7]])
    rotated = tamrix.transform(image, matrix=[[0, 1, 0], [-1, 0, 3]])  # a quarter turn, into a zeroed frame
    np.testing.assert_array_equal(rotated[:3, 1:], image[2::-1, :3].T)
    assert not rotated[:, 0].any() and not rotated[3].any()
    assert tamrix.transform(image, matrix=[[1, 0, 0], [0, 1, 0]], shape=(3, 6)).shape == (3, 6)


def test_sub_pixel_shift_weights_the_square():
    image = np.arange(24, dtype=np.uint16).reshape(4, 6) * 4
    half = tamrix.sub_pixel_shift(image, dx=1, dy=0, weights=(1, 1, 0, 0), divisor=2)
    np.testing.assert_array_equal(half[:3, :4], image[:3, 1:5] + 2)
    assert not half[3].any() and not half[:, 4:].any()


def test_fit_reproduces_generating_cubics_and_no_points_give_zeros():
    rng = np.random.default_rng(20261206)
    a, b = rng.normal(size=10), rng.normal(size=10)
    x, y = rng.uniform(-0.5, 0.5, 40), rng.uniform(-0.5, 0.5, 40)
    terms = np.column_stack([x**3, y**3, x**2 * y, x * y**2, x**2, y**2, x * y, x, y, np.ones(40)])
    fa, fb = tamrix.fit_surface(np.column_stack([x, y, x - terms @ a, y - terms @ b]))
    np.testing.assert_allclose(fa, a, atol=1e-9)
    np.testing.assert_allclose(fb, b, atol=1e-9)
    assert not np.any(tamrix.fit_surface(np.zeros((0, 4))))


@BOTH
def test_polynomial_fill_scales_offsets_and_clamps_and_a_field_of_zeros_is_grey_with_marks(dtype):
    frame = np.empty((3, 5), dtype)
    c = [0.0] * 7 + [1.0, 0.0, 0.0]  # x, about the centre (2, 1) in units of the longer side
    assert tamrix.fill_frame_with_polynom(frame, c, scale=10000.0, offset=2000) is frame
    np.testing.assert_array_equal(frame, [[0, 0, 2000, 4000, 6000]] * 3)
    frame = np.empty((60, 60), dtype)
    tamrix.fill_frame_with_polynoms(frame, [0.0] * 10, [0.0] * 10)
    assert set(np.unique(frame)) == {0, 32767}


@BOTH
def test_mono_maps_through_the_table_in_padded_rows_and_zooms(dtype):
    image = np.array([[0, 100, 101, 104, 150, 199, 200, 60000]], dtype)
    lut = np.arange(10, 35, dtype=np.uint8)  # ((199 - 100) >> 2) + 1 entries
    bitmap = tamrix.create_mono_dib(image, low=100, high=200, shift=2, lut=lut)
    assert bitmap.shape == (1, 8) and bitmap.dtype == np.uint8 and bitmap.base.shape == (1, 8)
    np.testing.assert_array_equal(bitmap, [[0, 0, 10, 11, 22, 34, 255, 255]])
    out = np.zeros((1, 8), np.uint8)  # five pixels fill a padded row of 8
    assert tamrix.create_mono_dib(image[:, :5], low=100, high=200, shift=2, lut=lut, out=out).base is out
    np.testing.assert_array_equal(out[:, :5], bitmap[:, :5])
    # Zoomed, with a threshold that needs no table.
    image = np.array([[0, 300, 300, 300], [0, 0, 300, 300]], dtype)
    np.testing.assert_array_equal(tamrix.create_mono_dib(image, low=200, high=200, zoom=-1), [[63, 255]])
    big = tamrix.create_mono_dib(image[:1, :2], low=200, high=200, zoom=2)
    np.testing.assert_array_equal(big, [[0, 0, 0, 255, 255, 255]] * 3)


def test_color_channels_map_independently_into_blue_green_red():
    frame = np.array([[101, 102, 103, 60000]], np.uint16)
    luts = [np.array([0, 1, 2, 3], np.uint8) + 10 * c for c in range(3)]
    rgb = tamrix.create_color_dib(frame, frame, frame, low=100, high=(104, 104, 102), lut=luts)
    assert rgb.shape == (1, 4, 3)
    np.testing.assert_array_equal(rgb[0], [[1, 11, 21], [2, 12, 255], [3, 13, 255], [255, 255, 255]])
    buffer = rgb.base if rgb.base.ndim == 2 else rgb.base.base  # blue, green, red; rows padded to 12 bytes
    np.testing.assert_array_equal(buffer[0, :3], [21, 11, 1])


def test_signed_integers_map_exactly_whatever_their_byte_order_and_floats_within_half_a_step():
    physical = np.array([[-32768, -1], [0, 32767]], dtype=">i2")
    frame, offset, scale = tamrix.to_frame(physical)
    assert frame.dtype == np.uint16 and (offset, scale) == (-32768.0, 1.0)
    assert np.array_equal(tamrix.from_frame(frame, offset, scale), physical)
    # Floating point, with a NaN counted.
    physical = np.random.default_rng(3).uniform(-10, 5000, (40, 30)).astype(np.float32)
    physical[2, 3] = np.nan
    with pytest.warns(RuntimeWarning, match="1 pixel is NaN"):
        frame, offset, scale = tamrix.to_frame(physical[:, ::-1])  # a strided view
    assert frame.dtype == np.uint32 and scale == 2.0 ** np.ceil(np.log2(5010 / 2**24))
    back = tamrix.from_frame(frame, offset, scale)[:, ::-1]
    assert np.nanmax(np.abs(back - physical)) <= scale / 2
    frame16, _, scale16 = tamrix.to_frame(physical, bits=16, range=(0, 100))
    assert frame16.dtype == np.uint16 and scale16 == 2.0**-8
