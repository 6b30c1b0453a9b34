"""Star finding and registration on numpy frames: the structured arrays
they return, in [y, x] order, and the masks and networks they take."""

import numpy as np
import pytest

import tamrix
from conftest import star_field as sky

STARS = [(20.3, 17.6), (61.8, 22.1), (37.5, 49.9), (90.2, 70.4), (15.7, 80.2)]  # (x, y)


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
def test_finds_every_star_of_a_synthetic_field_and_none_that_the_mask_excludes(dtype):
    image = sky((100, 110), STARS, dtype=dtype)
    stars, mask = tamrix.find_stars(image, half_size=6, nsigma=5.0, neighbours=2, parallel=False)
    assert stars.dtype.names == ("x", "y", "cx", "cy", "flux", "peak")
    found = np.sort(stars, order=["y", "x"])
    expected = sorted(STARS, key=lambda p: (round(p[1]), round(p[0])))
    np.testing.assert_allclose(np.column_stack([found["cx"], found["cy"]]), expected, atol=0.15)
    # The mask marks the pixels of each star, nothing far from them.
    assert mask.dtype == bool and mask.shape == (100, 110)
    assert mask[found["y"], found["x"]].all() and not mask[:8, :8].any()
    # A given mask is kept as it is; a star that touches it is not reported.
    exclude = np.zeros(image.shape, bool)
    exclude[22, 62] = True  # the core of the second star
    stars, mask = tamrix.find_stars(image, half_size=6, nsigma=5.0, neighbours=2, mask=exclude, parallel=False)
    assert len(stars) == len(STARS) - 1 and exclude.sum() == 1 and mask[22, 62]


def test_detect_stars_takes_its_settings_from_the_frame_and_measures_each_star():
    image = sky((100, 110), STARS)
    stars = tamrix.detect_stars(image, parallel=False)
    assert stars.dtype.names == ("x", "y", "cx", "cy", "flux", "peak", "fwhm", "elongation", "snr", "sharpness",
                                 "flags")
    assert len(stars) == len(STARS)
    np.testing.assert_allclose(stars["fwhm"], 2.3548 * 1.3, atol=0.5)
    assert np.all(stars["flags"] == 0) and np.all(stars["snr"] > 50) and np.all(stars["elongation"] < 1.3)
    excluded = np.zeros(image.shape, bool)
    excluded[22, 62] = True
    assert len(tamrix.detect_stars(image, mask=excluded)) == len(STARS) - 1
    # Pixels without data over 70 % of the frame, held at the sky's level,
    # are no sky: the star left keeps its SNR.
    undefined = np.zeros(image.shape, bool)
    undefined[:, :77] = True
    held = np.where(undefined, np.median(image), image).astype(np.uint16)
    left = tamrix.detect_stars(held, undefined=undefined, parallel=False)
    assert len(left) == 1 and left["snr"][0] == pytest.approx(stars["snr"][stars["cx"] > 77][0], rel=0.1)
    never = tamrix.Network([121, 1])  # rates every window 1 / (1 + e^10)
    never.set_weights(1, np.zeros((1, 121), np.float32), np.full(1, -10, np.float32))
    assert len(tamrix.detect_stars(image, network=never, level=0.5)) == 0


@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
def test_find_stars_nn_finds_the_bright_pixels(dtype):
    # A 3 x 3 window detector by hand: a bright centre whose eight neighbours
    # all sit at the window's minimum (-1) answers near 1; noise does not.
    net = tamrix.Network([9, 1])
    weights = np.full((1, 9), -2.0, np.float32)
    weights[0, 4] = 10.0
    net.set_weights(1, weights, np.array([-20.0], np.float32))
    hot = [(7, 5, 1000), (20, 12, 1500), (11, 22, 1200)]  # (x, y, value), in raster order
    image = np.full((30, 28), 100, dtype)  # a flat sky: its windows give NaN inputs, never candidates
    for x, y, value in hot:
        image[y, x] = value
    stars, mask = tamrix.find_stars_nn(image, net, half_size=1, level=0.5)
    assert [(s["x"], s["y"], s["peak"], s["flux"]) for s in stars] == [(x, y, v, v) for x, y, v in hot]
    assert sorted(zip(*np.nonzero(mask))) == [(y, x) for x, y, _ in hot]


def test_register_recovers_a_rotation_and_refuses_an_empty_frame():
    shape = (400, 400)
    stars = np.random.default_rng(5).uniform(10, 390, (45, 2))
    # Reference -> frame: 30 degrees about the centre, then a shift.
    t = np.radians(30)
    m = np.array([[np.cos(t), -np.sin(t), 0], [np.sin(t), np.cos(t), 0]])
    m[:, 2] = [199.5 + 12, 199.5 - 7] - m[:, :2] @ [199.5, 199.5]
    moved = stars @ m[:, :2].T + m[:, 2]
    frames = [sky(shape, stars, seed=1), sky(shape, moved, seed=2), sky(shape, [], seed=3)]

    transforms, reports = tamrix.register(frames, reference=0)

    corners = np.array([[0, 0, 1], [399, 0, 1], [0, 399, 1], [399, 399, 1]])
    assert np.abs(corners @ (transforms[1] - m).T).max() < 0.05
    assert reports[1]["status"] == "registered" and reports[1]["matched"] >= 25
    assert transforms[2] is None and reports[2]["status"] == "too few stars" and reports[2]["reason"]
