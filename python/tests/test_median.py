import threading
import time

import numpy as np
import pytest

import tamrix
from conftest import random_frame


def reference_median(image, radius, low=0, shift=0):
    """One above the bin of the (n // 2)-th smallest window pixel, as a literal loop."""
    full = np.iinfo(image.dtype).max
    height, width = image.shape
    out = np.empty_like(image)
    for y in range(height):
        for x in range(width):
            window = image[max(0, y - radius): y + radius + 1, max(0, x - radius): x + radius + 1]
            h = window.size // 2
            if h == 0:
                out[y, x] = low
                continue
            b = (int(np.sort(window, axis=None)[h - 1]) - low) >> shift
            out[y, x] = min(low + ((b + 1) << shift), full)
    return out


@pytest.mark.parametrize("radius", [0, 1, 3])
def test_16_bit_filter_matches_the_reference(rng, radius):
    image = random_frame(rng, (17, 23), np.uint16, 2000)
    image[5, 5:9] = 65535
    np.testing.assert_array_equal(tamrix.median(image, radius=radius), reference_median(image, radius))


def test_32_bit_filter_bins_over_the_frame_range(rng):
    image = random_frame(rng, (15, 19), np.uint32, 100000) + 5000
    low = int(image.min())
    np.testing.assert_array_equal(tamrix.median(image, radius=2), reference_median(image, 2, low=low))


def test_32_bit_wide_range_uses_coarser_bins(rng):
    image = random_frame(rng, (12, 14), np.uint32, 299999) + 1000
    low, high = 1000, 300999  # 300000 values: one halving, bins of two values
    result = tamrix.median(image, radius=1, low=low, high=high)
    np.testing.assert_array_equal(result, reference_median(image, 1, low=low, shift=1))


@pytest.mark.parametrize("offset, scale", [(0, 1000), (50, 1000), (1000, 500)])
def test_background_subtraction(rng, offset, scale):
    image = random_frame(rng, (16, 16), np.uint16)
    filtered = tamrix.median(image, radius=2).astype(np.int64)
    expected = np.clip(image.astype(np.int64) + offset - filtered * scale // 1000, 0, 65535)
    result = tamrix.median(image, radius=2, subtract=True, offset=offset, scale=scale)
    np.testing.assert_array_equal(result, expected)


def test_radius_must_fit_the_width():
    image = np.zeros((4, 5), np.uint16)
    tamrix.median(image, radius=4)
    with pytest.raises(ValueError, match="radius must be in 0 .. 4"):
        tamrix.median(image, radius=5)
    with pytest.raises(ValueError, match="radius"):
        tamrix.median(image, radius=-1)


@pytest.mark.parametrize("kwargs, message", [
    ({"scale": 0}, "scale must be in 1 .. 1000"),
    ({"scale": 1001}, "scale must be in 1 .. 1000"),
    ({"offset": -1}, "offset"),
    ({"low": 0}, "low and high apply to uint32 frames only"),
])
def test_options_out_of_range_are_refused(kwargs, message):
    with pytest.raises(ValueError, match=message):
        tamrix.median(np.zeros((4, 4), np.uint16), radius=1, **kwargs)


def test_low_above_high_is_refused():
    with pytest.raises(ValueError, match="low must not be above high"):
        tamrix.median(np.zeros((4, 4), np.uint32), radius=1, low=10, high=9)


def test_out_must_be_a_separate_buffer():
    image = np.zeros((4, 4), np.uint16)
    with pytest.raises(ValueError, match="out must not share memory with image"):
        tamrix.median(image, radius=1, out=image)


def test_progress_reports_every_row_up_to_one():
    seen = []
    tamrix.median(np.zeros((40, 8), np.uint16), radius=1, progress=seen.append)
    assert len(seen) == 40
    assert sorted(seen)[-1] == 1.0
    assert sorted(seen) == [int(c * 65535 / 40) / 65535 for c in range(1, 41)]


def test_an_exception_in_progress_stops_the_filter_and_propagates():
    def progress(fraction):
        raise KeyError("stop here")

    with pytest.raises(KeyError, match="stop here"):
        tamrix.median(np.zeros((64, 8), np.uint16), radius=1, progress=progress)


@pytest.mark.parametrize("make_cancel", [tamrix.CancelToken, threading.Event])
def test_cancelled_before_the_call_writes_nothing(make_cancel):
    cancel = make_cancel()
    cancel.cancel() if isinstance(cancel, tamrix.CancelToken) else cancel.set()
    out = np.full((8, 8), 7, np.uint16)
    with pytest.raises(tamrix.Cancelled):
        tamrix.median(np.zeros((8, 8), np.uint16), radius=1, cancel=cancel, out=out)
    np.testing.assert_array_equal(out, 7)


def test_another_thread_can_cancel_a_running_filter():
    # The filter runs in a thread; the main thread cancels it once the first
    # row is done, which it can only do while the call has released the GIL.
    image = np.zeros((2000, 64), np.uint16)
    token = tamrix.CancelToken()
    started = threading.Event()
    outcome = {}

    def progress(fraction):
        started.set()
        time.sleep(0.002)  # keeps the rows coming slower than the main thread can react

    def run():
        try:
            tamrix.median(image, radius=1, progress=progress, cancel=token)
            outcome["result"] = "finished"
        except tamrix.Cancelled:
            outcome["result"] = "cancelled"

    worker = threading.Thread(target=run)
    worker.start()
    assert started.wait(30)
    token.cancel()
    worker.join(60)
    assert outcome["result"] == "cancelled"
    assert token.cancelled
