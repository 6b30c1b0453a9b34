import numpy as np
import pytest

import tamrix
from conftest import star_field as sky

STARS = [(20.3, 17.6), (61.8, 22.1), (37.5, 49.9), (90.2, 70.4), (15.7, 80.2)]  # (x, y)


def star_field(dtype=np.uint16):
    return sky((100, 110), STARS, dtype=dtype)


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
def test_finds_every_star_of_a_synthetic_field(dtype):
    stars, mask = tamrix.find_stars(star_field(dtype), half_size=6, nsigma=5.0, neighbours=2, parallel=False)
    assert stars.dtype.names == ("x", "y", "cx", "cy", "flux", "peak")
    found = np.sort(stars, order=["y", "x"])
    expected = sorted(STARS, key=lambda p: (round(p[1]), round(p[0])))
    np.testing.assert_allclose(np.column_stack([found["cx"], found["cy"]]), expected, atol=0.15)
    # The mask marks the pixels of each star, nothing far from them.
    assert mask.dtype == bool and mask.shape == (100, 110)
    assert mask[found["y"], found["x"]].all() and not mask[:8, :8].any()


def test_a_masked_star_is_not_reported_and_the_mask_is_not_modified():
    image = star_field()
    exclude = np.zeros(image.shape, bool)
    exclude[22, 62] = True  # the core of the second star
    stars, mask = tamrix.find_stars(image, half_size=6, nsigma=5.0, neighbours=2, mask=exclude, parallel=False)
    assert len(stars) == len(STARS) - 1
    assert not np.any((np.abs(stars["cx"] - 61.8) < 2) & (np.abs(stars["cy"] - 22.1) < 2))
    assert exclude.sum() == 1 and mask[22, 62]
    again, _ = tamrix.find_stars(image, half_size=6, nsigma=5.0, neighbours=2, mask=mask, parallel=False)
    assert len(again) == 0


def test_a_frame_too_small_for_any_window_reports_nothing():
    stars, mask = tamrix.find_stars(np.zeros((10, 10), np.uint16), half_size=5, nsigma=4.0, neighbours=2)
    assert len(stars) == 0 and not mask.any()


def test_detect_stars_takes_its_settings_from_the_frame_and_measures_each_star():
    image = star_field()
    stars = tamrix.detect_stars(image, parallel=False)
    assert stars.dtype.names == ("x", "y", "cx", "cy", "flux", "peak", "fwhm", "elongation", "snr", "sharpness",
                                 "flags")
    assert len(stars) == len(STARS)
    np.testing.assert_allclose(stars["fwhm"], 2.3548 * 1.3, atol=0.5)
    assert np.all(stars["flags"] == 0) and np.all(stars["snr"] > 50) and np.all(stars["elongation"] < 1.3)
    excluded = np.zeros(image.shape, bool)
    excluded[22, 62] = True
    assert len(tamrix.detect_stars(image, mask=excluded)) == len(STARS) - 1
    assert excluded.sum() == 1  # not modified
    never = tamrix.Network([121, 1])  # rates every window 1 / (1 + e^10)
    never.set_weights(1, np.zeros((1, 121), np.float32), np.full(1, -10, np.float32))
    assert len(tamrix.detect_stars(image, network=never, level=0.5)) == 0
