import threading

import numpy as np
import pytest

import tamrix


def test_one_above_the_half_rank_and_the_subtraction():
    image = np.array([[90, 10, 80], [20, 70, 30], [60, 40, 50]], np.uint16)
    np.testing.assert_array_equal(tamrix.median(image, radius=1), [[21, 31, 31], [41, 41, 41], [41, 41, 41]])
    np.testing.assert_array_equal(tamrix.median(image, radius=1, subtract=True, offset=5, scale=500),
                                  [[85, 0, 70], [5, 55, 15], [45, 25, 35]])


def test_32_bit_frames_bin_over_their_own_range_unless_given_one():
    image = np.arange(5000, 5009, dtype=np.uint32).reshape(3, 3)
    assert tamrix.median(image, radius=1)[1, 1] == 5004  # bins of one value between the extremes
    assert tamrix.median(image, radius=1, low=0, high=4294967295)[1, 1] == 16384  # bins of 2^14 values
    assert tamrix.median(np.zeros((4, 5), np.uint16), radius=4).shape == (4, 5)  # a radius up to width - 1


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
def test_a_cancel_set_while_the_filter_runs_or_before_it_stops_it(make_cancel):
    cancel = make_cancel()
    stop = cancel.cancel if isinstance(cancel, tamrix.CancelToken) else cancel.set
    with pytest.raises(tamrix.Cancelled):  # set at the first row's report
        tamrix.median(np.zeros((200, 8), np.uint16), radius=1, progress=lambda fraction: stop(), cancel=cancel)
    out = np.full((8, 8), 7, np.uint16)
    with pytest.raises(tamrix.Cancelled):
        tamrix.median(np.zeros((8, 8), np.uint16), radius=1, cancel=cancel, out=out)
    np.testing.assert_array_equal(out, 7)
