import numpy as np
import pytest

import tamrix


def test_combine_known_answer_of_mixed_dtypes_with_an_outlier_and_nan():
    frames = [np.array([[10, 20, 8, 100]], np.uint16), np.array([[10, 22, 9, 100]], np.int32),
              np.array([[1000.0, np.nan, 7.5, np.nan]])]
    clipped = tamrix.combine(frames, method="sigma-clip")
    assert clipped.dtype == np.float32
    np.testing.assert_array_equal(clipped, np.float32([[10, 21, 24.5 / 3, 100]]))
    np.testing.assert_array_equal(tamrix.combine(np.stack(frames)), np.float32([[10, 21, 8, 100]]))


Z = np.zeros((2, 2))
LIGHTS = [Z, Z]
STRAY = np.random.default_rng(1).normal(100, 5, (64, 64))  # sky whose one stray value leaves it a single step
STRAY[3, 5] = 1e30


# The stack layer's bindings refuse with the parameter named: (call, error, text).
@pytest.mark.parametrize("call, error, text", [
    (lambda: tamrix.combine([]), ValueError, "frames must hold at least one frame"),
    (lambda: tamrix.combine([Z, np.zeros((2, 3))]), ValueError, "frames[1] has shape (2, 3)"),
    (lambda: tamrix.combine(Z), ValueError, "not a 2-D array"),
    (lambda: tamrix.combine([np.zeros((2, 2), np.complex64)]), TypeError, "frames[0] must hold"),
    (lambda: tamrix.combine([Z], method="average"), ValueError, "method: 'average' is not a method"),
    (lambda: tamrix.combine([Z], sigma=(3, 0)), ValueError, "sigma: both bounds must be positive"),
    (lambda: tamrix.stack(LIGHTS, darks=[np.zeros((2, 3))]), ValueError, "darks must have the lights' shape"),
    (lambda: tamrix.stack(LIGHTS, flats=["a"]), TypeError, "flats[0] must hold"),
    (lambda: tamrix.stack(LIGHTS, reference=2), ValueError, "reference must be in 0 .. 1"),
    (lambda: tamrix.stack(LIGHTS, darks=LIGHTS, exposures=[1, 1]), ValueError, "give both or neither"),
    (lambda: tamrix.stack(LIGHTS, exposures=[1, 1], dark_exposure=1), ValueError, "give darks too"),
    (lambda: tamrix.stack(LIGHTS, darks=LIGHTS, exposures=[1], dark_exposure=1), ValueError, "one exposure time per"),
    (lambda: tamrix.stack(LIGHTS, darks=LIGHTS, exposures=[1, 0], dark_exposure=1), ValueError, "above 0 seconds"),
    (lambda: tamrix.stack(LIGHTS), ValueError, "lights[0]: the reference has 0 usable stars"),
    (lambda: tamrix.stack([STRAY, STRAY]), ValueError, "but a few reach 0 to 1e+30 and leave them too few steps"),
])
def test_refusals_name_the_parameter(call, error, text):
    with pytest.raises(error) as caught:
        call()
    assert text in str(caught.value)
