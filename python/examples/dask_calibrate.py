"""Calibrate and measure a folder of frames in parallel with Dask.

Every frame of the folder (a .npy file of uint16 or uint32 pixels) is
dark-subtracted, flat-fielded, binned 2 x 2 and measured: its statistics and
its stars. One frame is one
task: the tamrix functions run inside the task as they would in a plain loop,
and Dask spreads the tasks over worker processes.

Here the workers are processes of this machine (a LocalCluster). A user who
outgrows one machine changes only where the Client connects: start a
scheduler and workers on the cluster::

    dask scheduler                          # on one node; prints tcp://HOST:8786
    dask worker tcp://HOST:8786             # on every node, with tamrix importable
                                            # (pip install . or the Debian package)
    python3 dask_calibrate.py FOLDER --dark dark.npy --flat flat.npy --scheduler tcp://HOST:8786

The per-frame function and the calibration frames travel to the workers (the
tamrix functions pickle by reference, so client.map(tamrix.median, frames,
radius=12) works as well); the frames are read where the task runs, so the
folder must be visible to every worker (a shared file system). Arrays a worker
receives may lie unaligned in the message buffer; tamrix copies such an input
once per call.

Dask's nanny starts each worker with OMP_NUM_THREADS=1, so the tamrix calls
of one task stay on one core and the cores are shared by frames instead.

Usage::

    python3 dask_calibrate.py FOLDER --dark dark.npy --flat flat.npy --workers 4
"""

import argparse
import json
import pathlib
import sys

import numpy as np

import tamrix


def measure_frame(path, dark, flat):
    """Calibrate one frame file and measure it; returns a dict of plain numbers."""
    frame = np.load(path)
    tamrix.diff_dark(frame, dark, out=frame)
    frame, level = tamrix.flat(frame, flat, out=frame, return_level=True)
    binned = tamrix.bin(frame, bin_x=2)
    # The single-threaded detector: its reports are the same on every run,
    # and the task already has its core.
    stars, _ = tamrix.find_stars(frame, half_size=8, nsigma=5.0, neighbours=2, parallel=False)
    stats = tamrix.calculate_area_statistics(frame)
    return {
        "name": pathlib.Path(path).name,
        "flat_level": level,
        "min": stats.min,
        "max": stats.max,
        "mean": stats.mean,
        "std": stats.std,
        "binned_max": int(binned.max()),
        "stars": len(stars),
        "star_flux": float(stars["flux"].sum()),
        "star_positions": [[float(s["cx"]), float(s["cy"])] for s in stars],
    }


def frame_paths(folder, exclude=()):
    """The frames of a folder in name order, without the calibration frames."""
    skip = {pathlib.Path(p).resolve() for p in exclude}
    return sorted(p for p in pathlib.Path(folder).glob("*.npy") if p.resolve() not in skip)


def measure_serial(paths, dark, flat):
    """The plain loop: what the parallel run must reproduce."""
    return [measure_frame(p, dark, flat) for p in paths]


def measure_parallel(paths, dark, flat, client):
    """One task per frame on the client's workers; results in the order of paths."""
    # Send the calibration frames to every worker once, not with every task.
    dark_future, flat_future = client.scatter([dark, flat], broadcast=True)
    futures = client.map(measure_frame, [str(p) for p in paths], dark=dark_future, flat=flat_future)
    return client.gather(futures)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", help="folder of .npy frames")
    parser.add_argument("--dark", required=True, help="dark frame (.npy)")
    parser.add_argument("--flat", required=True, help="flat frame (.npy)")
    parser.add_argument("--workers", type=int, default=4, help="worker processes of the local cluster")
    parser.add_argument("--scheduler", help="address of an existing Dask scheduler instead of a local cluster")
    parser.add_argument("--output", help="write the results as JSON to this file")
    args = parser.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    dark, flat = np.load(args.dark), np.load(args.flat)
    paths = frame_paths(args.folder, exclude=[args.dark, args.flat])
    if args.scheduler:
        client = Client(args.scheduler)
        cluster = None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        results = measure_parallel(paths, dark, flat, client)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    for r in results:
        print(f"{r['name']:24s} mean {r['mean']:10.2f}  std {r['std']:9.2f}  stars {r['stars']:4d}")
    if args.output:
        pathlib.Path(args.output).write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
