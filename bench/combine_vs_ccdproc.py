#!/usr/bin/python3
"""`tamrix combine` beside ccdproc.combine on the same frames, in one run.

Writes N synthetic 16-bit frames (a bias level with Gaussian noise, a
gradient, cosmic-ray hits in some frames), then runs each combination as its
own process under /usr/bin/time -v and prints its wall time and peak
resident memory, and how far the peers' results lie from each other:

    bench/combine_vs_ccdproc.py --tamrix build/cli/tamrix [--frames 20 --size 2048]
    bench/combine_vs_ccdproc.py --tamrix build/cli/tamrix --frames 100 --size 4096 --tamrix-only

ccdproc (Debian python3-ccdproc, scripts/install-peers.sh) combines with its
own memory limit (mem_limit, set to the same budget as tamrix's --memory) and
clips with the median and mad_std as tamrix does, in one round (tamrix runs
rounds until none rejects anything).
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

import numpy as np

PEER = r"""
import sys, numpy as np, ccdproc
from astropy.stats import mad_std
files, out, method, memory = sys.argv[1].split(","), sys.argv[2], sys.argv[3], float(sys.argv[4])
clip = method == "sigma-clip"
result = ccdproc.combine(files, method="median" if method == "median" else "average", unit="adu",
                         sigma_clip=clip, sigma_clip_low_thresh=3, sigma_clip_high_thresh=3,
                         sigma_clip_func=np.ma.median, sigma_clip_dev_func=mad_std,
                         mem_limit=memory, dtype=np.float32)
np.save(out, np.asarray(result.data, dtype=np.float32))
"""


def write_frames(folder, count, size, seed=2026):
    from astropy.io import fits
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:size, :size]
    level = 1000 + 0.01 * x + 0.005 * y
    names = []
    for i in range(count):
        frame = rng.normal(level, 10.0)
        if i % 3 == 0:  # cosmic-ray hits
            hits = rng.integers(0, size, (size // 8, 2))
            frame[hits[:, 1], hits[:, 0]] += rng.uniform(500, 20000, len(hits))
        name = os.path.join(folder, f"frame{i:03d}.fits")
        fits.PrimaryHDU(np.clip(np.rint(frame), 0, 65535).astype(np.uint16)).writeto(name, overwrite=True)
        names.append(name)
    return names


def timed(command):
    """Runs a command under /usr/bin/time -v: (wall seconds, peak MiB)."""
    run = subprocess.run(["/usr/bin/time", "-v"] + command, capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"{command[0]} failed:\n{run.stderr}")
    wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", run.stderr).group(1)
    seconds = sum(float(part) * 60 ** i for i, part in enumerate(reversed(wall.split(":"))))
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", run.stderr).group(1)) / 1024
    return seconds, peak


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tamrix", required=True)
    parser.add_argument("--frames", type=int, default=20)
    parser.add_argument("--size", type=int, default=2048)
    parser.add_argument("--memory", type=int, default=256, help="MiB for both (tamrix --memory, ccdproc mem_limit)")
    parser.add_argument("--methods", default="median,sigma-clip")
    parser.add_argument("--tamrix-only", action="store_true")
    parser.add_argument("--work", help="folder for the frames (default: a temporary one)")
    a = parser.parse_args()

    from astropy.io import fits
    with tempfile.TemporaryDirectory(dir=a.work) as folder:
        names = write_frames(folder, a.frames, a.size)
        data_mib = a.frames * a.size * a.size * 2 / 2**20
        print(f"{a.frames} frames of {a.size} x {a.size} 16-bit ({data_mib:.0f} MiB of pixels), "
              f"budget {a.memory} MiB, {os.cpu_count()} cores")
        print(f"{'method':<11} {'program':<8} {'wall s':>8} {'peak MiB':>9}  result")
        for method in a.methods.split(","):
            out = os.path.join(folder, f"tamrix-{method}.fits")
            wall, peak = timed([a.tamrix, "combine", *names, "-o", out, "--method", method,
                                "--memory", str(a.memory), "-q"])
            ours = fits.getdata(out)
            print(f"{method:<11} {'tamrix':<8} {wall:8.2f} {peak:9.0f}")
            if a.tamrix_only:
                continue
            theirs_path = os.path.join(folder, f"ccdproc-{method}.npy")
            wall_p, peak_p = timed([sys.executable, "-c", PEER, ",".join(names), theirs_path, method,
                                    str(a.memory * 2**20)])
            theirs = np.load(theirs_path)
            difference = np.abs(ours.astype(np.float64) - theirs)
            print(f"{'':<11} {'ccdproc':<8} {wall_p:8.2f} {peak_p:9.0f}  "
                  f"|tamrix - ccdproc| max {difference.max():.4g}, mean {difference.mean():.3g}; "
                  f"tamrix {wall_p / wall:.1f}x faster, {peak_p / peak:.1f}x less memory")
            os.remove(theirs_path)
            os.remove(out)


if __name__ == "__main__":
    main()
