"""The Dask example runs on a small folder and gives the numbers of the serial loop."""

import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

import dask_calibrate  # noqa: E402

pytest.importorskip("dask.distributed")


def synthetic_folder(folder, count=6, shape=(96, 128)):
    """A folder of light frames with a few stars, plus a dark and a flat."""
    rng = np.random.default_rng(7)
    y, x = np.mgrid[: shape[0], : shape[1]]
    dark = rng.integers(90, 110, shape, dtype=np.uint16, endpoint=True)
    flat = (20000 + 3000 * np.cos((x - shape[1] / 2) / shape[1])).astype(np.uint16)
    np.save(folder / "dark.npy", dark)
    np.save(folder / "flat.npy", flat)
    for i in range(count):
        sky = rng.poisson(500 + 40 * i, shape).astype(np.float64)
        for cx, cy in [(20, 20), (60, 25), (100, 30), (35, 70), (85, 75)]:
            sx, sy = cx + rng.uniform(-2, 2), cy + rng.uniform(-2, 2)
            sky += 8000 * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / 4.0)
        light = np.clip(sky * flat / 20000 + dark, 0, 65535).astype(np.uint16)
        np.save(folder / f"light_{i:03d}.npy", light)
    return folder / "dark.npy", folder / "flat.npy"


def test_parallel_run_gives_the_serial_numbers(tmp_path):
    dark_path, flat_path = synthetic_folder(tmp_path)
    output = tmp_path / "results.json"
    env = dict(os.environ)
    completed = subprocess.run(
        [sys.executable, str(EXAMPLES / "dask_calibrate.py"), str(tmp_path), "--dark", str(dark_path),
         "--flat", str(flat_path), "--workers", "3", "--output", str(output)],
        env=env, capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr
    parallel = json.loads(output.read_text())

    paths = dask_calibrate.frame_paths(tmp_path, exclude=[dark_path, flat_path])
    serial = dask_calibrate.measure_serial(paths, np.load(dark_path), np.load(flat_path))

    assert [r["name"] for r in parallel] == [f"light_{i:03d}.npy" for i in range(6)]
    assert all(r["stars"] == 5 for r in serial)
    # The frame statistics sum per thread, and the workers run one thread
    # each: their last bits may differ from those of the serial loop.
    for p, s in zip(parallel, serial):
        for key in ("mean", "std"):
            assert p.pop(key) == pytest.approx(s.pop(key), rel=1e-12)
    assert parallel == serial
