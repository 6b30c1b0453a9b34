"""The Dask example on frames of real size, on a cluster of worker processes:
the numbers of the serial loop."""

import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from conftest import star_field

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("dask.distributed")

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

import dask_calibrate  # noqa: E402

STARS = [(0.15, 0.2), (0.5, 0.25), (0.85, 0.3), (0.3, 0.7), (0.7, 0.75)]  # fractions of width, height


def synthetic_folder(folder, count=4, shape=(1024, 1024)):
    """A folder of light frames with a few stars, plus a dark and a flat."""
    rng = np.random.default_rng(7)
    dark = rng.integers(90, 110, shape, dtype=np.uint16, endpoint=True)
    flat = (20000 + 3000 * np.cos((np.arange(shape[1]) - shape[1] / 2) / shape[1])).astype(np.uint16)
    np.save(folder / "dark.npy", dark)
    np.save(folder / "flat.npy", flat + np.zeros(shape, np.uint16))
    for i in range(count):
        stars = [(fx * shape[1] + rng.uniform(-2, 2), fy * shape[0] + rng.uniform(-2, 2)) for fx, fy in STARS]
        sky = star_field(shape, stars, sky=500 + 40 * i, noise=22, sigma=2 ** 0.5, peak=8000, seed=i, dtype=np.uint32)
        light = np.clip(sky * (flat / 20000) + dark, 0, 65535).astype(np.uint16)
        np.save(folder / f"light_{i:03d}.npy", light)
    return folder / "dark.npy", folder / "flat.npy"


def test_parallel_run_on_a_scheduler_gives_the_serial_numbers(tmp_path, monkeypatch):
    dark_path, flat_path = synthetic_folder(tmp_path)
    output = tmp_path / "results.json"
    # Uncompressed (as without lz4), the arrays a worker receives lie where
    # they fell in the message: most of them unaligned.
    monkeypatch.setenv("DASK_DISTRIBUTED__COMM__COMPRESSION", "None")
    with dask.config.set({"distributed.comm.compression": None}), distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        # The example as a user runs it against a running scheduler.
        completed = subprocess.run(
            [sys.executable, str(EXAMPLES / "dask_calibrate.py"), str(tmp_path), "--dark", str(dark_path),
             "--flat", str(flat_path), "--scheduler", cluster.scheduler_address, "--output", str(output)],
            env=dict(os.environ), capture_output=True, text=True, timeout=120)
        assert completed.returncode == 0, completed.stderr
    parallel = json.loads(output.read_text())

    paths = dask_calibrate.frame_paths(tmp_path, exclude=[dark_path, flat_path])
    serial = dask_calibrate.measure_serial(paths, np.load(dark_path), np.load(flat_path))

    assert [r["name"] for r in parallel] == [f"light_{i:03d}.npy" for i in range(4)]
    assert all(r["stars"] == len(STARS) for r in serial)
    # The frame statistics sum per thread, and the workers run one thread
    # each: their last bits may differ from those of the serial loop.
    for p, s in zip(parallel, serial):
        for key in ("mean", "std"):
            assert p.pop(key) == pytest.approx(s.pop(key), rel=1e-12)
    assert parallel == serial
