"""to_frame and from_frame: the program's value mapping on numpy arrays."""
import numpy as np
import pytest

import tamrix


def test_signed_integers_map_exactly_whatever_their_byte_order():
    physical = np.array([[-32768, -1], [0, 32767]], dtype=">i2")
    frame, offset, scale = tamrix.to_frame(physical)
    assert frame.dtype == np.uint16 and (offset, scale) == (-32768.0, 1.0)
    assert frame.tolist() == [[0, 32767], [32768, 65535]]
    assert np.array_equal(tamrix.from_frame(frame, offset, scale), physical)


def test_floats_come_back_within_half_a_step_and_nan_is_counted():
    rng = np.random.default_rng(3)
    physical = rng.uniform(-10, 5000, (40, 30)).astype(np.float32)
    physical[2, 3] = np.nan
    with pytest.warns(RuntimeWarning, match="1 pixel is NaN"):
        frame, offset, scale = tamrix.to_frame(physical[:, ::-1])  # a strided view
    assert frame.dtype == np.uint32 and scale == 2.0 ** np.ceil(np.log2(5010 / 2**24))
    back = tamrix.from_frame(frame, offset, scale)[:, ::-1]
    assert np.nanmax(np.abs(back - physical)) <= scale / 2
    frame16, _, scale16 = tamrix.to_frame(physical, bits=16, range=(0, 100))
    assert frame16.dtype == np.uint16 and scale16 == 2.0**-8
