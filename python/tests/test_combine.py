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


@pytest.mark.parametrize("frames, options, error, text", [
    ([], {}, ValueError, "at least one frame"),
    ([np.zeros((2, 2)), np.zeros((2, 3))], {}, ValueError, "frames[1] has shape (2, 3)"),
    (np.zeros((2, 2)), {}, ValueError, "not a 2-D array"),
    ([np.zeros((2, 2), np.complex64)], {}, TypeError, "frames[0] must hold"),
    ([np.zeros((2, 2))], {"method": "average"}, ValueError, "method: 'average' is not a method"),
    ([np.zeros((2, 2))], {"sigma": (3, 0)}, ValueError, "sigma: both bounds must be positive"),
])
def test_combine_refuses_with_the_parameter_named(frames, options, error, text):
    with pytest.raises(error) as caught:
        tamrix.combine(frames, **options)
    assert text in str(caught.value)
