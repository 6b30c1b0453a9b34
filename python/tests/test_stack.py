"""tamrix.combine and tamrix.stack on arrays, and tamrix.dask.stack on a cluster
of worker processes."""

import numpy as np
import pytest

import tamrix
from conftest import star_field


def test_combine_known_answer_of_mixed_dtypes_with_an_outlier_and_nan():
    frames = [np.array([[10, 20, 8, 100]], np.uint16), np.array([[10, 22, 9, 100]], np.int32),
              np.array([[1000.0, np.nan, 7.5, np.nan]])]
    clipped = tamrix.combine(frames, method="sigma-clip")
    assert clipped.dtype == np.float32
    np.testing.assert_array_equal(clipped, np.float32([[10, 21, 24.5 / 3, 100]]))
    np.testing.assert_array_equal(tamrix.combine(np.stack(frames)), np.float32([[10, 21, 8, 100]]))


SHAPE = (160, 160)
SKY, NOISE = 800.0, 10.0


def night():
    """Lights of one star field (reference -> light maps: identity, a shift,
    a turn of 2 degrees), one of another field, and their darks."""
    rng = np.random.default_rng(11)
    stars = rng.uniform(12, 148, (40, 2))
    t = np.radians(2)
    maps = [np.array([[1, 0, 0], [0, 1, 0]]), np.array([[1, 0, 3.3], [0, 1, -2.6]]),
            np.array([[np.cos(t), -np.sin(t), 2.1], [np.sin(t), np.cos(t), -1.7]])]
    dark = 50 + np.arange(SHAPE[1]) % 7  # a pattern the calibration must take out
    lights = [star_field(SHAPE, stars @ m[:, :2].T + m[:, 2], sky=SKY, noise=NOISE, seed=k) + dark
              for k, m in enumerate(maps)]
    lights.append(star_field(SHAPE, rng.uniform(12, 148, (40, 2)), sky=SKY, noise=NOISE, seed=9) + dark)
    darks = [star_field(SHAPE, [], sky=0, noise=2, seed=20 + k) + dark for k in range(3)]
    return lights, darks


def test_stack_takes_the_dark_off_puts_the_stars_in_place_and_leaves_a_stranger_out():
    lights, darks = night()
    image, coverage, reports = tamrix.stack(lights, darks=darks)

    assert image.dtype == np.float32 and coverage.dtype == np.uint16 and image.shape == SHAPE
    assert [r["stacked"] for r in reports] == [True, True, True, False] and reports[3]["reason"]
    np.testing.assert_allclose(reports[1]["transform"], [[1, 0, 3.3], [0, 1, -2.6]], atol=0.05)
    assert coverage[80, 80] == 3
    assert np.median(image[coverage == 3]) == pytest.approx(SKY, abs=1.5)  # the dark is gone


def test_dask_stack_on_worker_processes_equals_the_local_stack(tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    import tamrix.dask

    lights, darks = night()
    flats = [np.full(SHAPE, 900.0) + np.arange(SHAPE[1])]
    # Every master, a dark scaled to each light's exposure, lights weighted
    # by their noise (which differs a little from one to the next).
    options = dict(reference=1, method="winsorized", exposures=[10, 12, 8, 10], dark_exposure=10, weighted=True)
    local = tamrix.stack(lights, darks=darks, biases=darks[:2], flats=flats, **options)
    equal = tamrix.stack(lights, darks=darks, biases=darks[:2], flats=flats, **{**options, "weighted": False})
    assert not np.array_equal(local[0], equal[0])
    # The frames as files the workers read, and as arrays sent from here.
    names = {}
    for kind, frames in [("lights", lights), ("darks", darks), ("flats", flats)]:
        names[kind] = [str(tmp_path / f"{kind}{k}.npy") for k in range(len(frames))]
        for name, frame in zip(names[kind], frames):
            np.save(name, frame)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        runs = [tamrix.dask.stack(names["lights"], client=client, darks=names["darks"], biases=names["darks"][:2],
                                  flats=names["flats"], load=np.load, band_rows=50, **options),
                tamrix.dask.stack(lights, client=client, darks=darks, biases=darks[:2], flats=flats, **options)]
        # The workers refuse what tamrix.stack refuses, naming it.
        with pytest.raises(ValueError, match=r"lights\[2\] has shape \(160, 159\), but the reference has"):
            tamrix.dask.stack(lights[:2] + [lights[2][:, 1:]], client=client)
        with pytest.raises(TypeError, match=r"darks\[0\] must hold integers or floating-point numbers"):
            tamrix.dask.stack(lights, client=client, darks=[darks[0].astype(complex)])
    for image, coverage, reports in runs:
        np.testing.assert_array_equal(image, local[0])
        np.testing.assert_array_equal(coverage, local[1])
        for got, want in zip(reports, local[2]):
            assert got.keys() == want.keys()
            for key in got:
                np.testing.assert_array_equal(got[key], want[key], err_msg=key)
