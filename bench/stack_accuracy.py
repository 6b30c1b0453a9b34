#!/usr/bin/python3
"""`tamrix stack` on synthetic lights with known transforms: registration
error at the frame corners and the stack's background noise against one
frame's.

Writes N 16-bit lights (default 8 of 1024 x 1024) of one star field (Moffat
stars over three decades, Gaussian noise, cosmic-ray hits in every other
frame, a satellite trail across the third), light k seen through a known map from the reference (the first
light): a shift up to +-50 px, any rotation, a scale within +-3 %. Runs
`tamrix stack --method sigma-clip --report` under /usr/bin/time -v and prints
the wall time, the peak resident memory, the rms over frames of the distance
between the reported and the true map at the four corners, and the robust
background noise (1.4826 MAD of the star-free pixels every light covers) of
the stack and of the reference, with the ratio 1 / (0.9 sqrt(N)) it should
not exceed, and the share of the trail's pixels still 5 sigma above the
stack's sky (at most 2 % wanted):

    bench/stack_accuracy.py --tamrix build/cli/tamrix [--frames 8 --size 1024]
"""
import argparse
import csv
import math
import os
import subprocess
import sys
import tempfile

import numpy as np

from combine_vs_ccdproc import timed


def write_fits(path, image):
    """A 16-bit FITS image (BZERO 32768) of non-negative integers."""
    h, w = image.shape
    cards = ["SIMPLE  =                    T", "BITPIX  =                   16", "NAXIS   =                    2",
             f"NAXIS1  = {w:20d}", f"NAXIS2  = {h:20d}", "BZERO   =                32768", "END"]
    header = "".join(c.ljust(80) for c in cards)
    header = header.ljust(-(-len(header) // 2880) * 2880).encode()
    data = (np.clip(np.rint(image), 0, 65535).astype(np.int32) - 32768).astype(">i2").tobytes()
    with open(path, "wb") as f:
        f.write(header + data + b"\0" * (-len(data) % 2880))


def read_fits(path):
    """The first image of a plain FITS file as float64 (BITPIX 16 or -32)."""
    raw = open(path, "rb").read()
    keys, offset = {}, 0
    while True:
        card = raw[offset:offset + 80].decode()
        offset += 80
        if card.startswith("END"):
            break
        if card[8:10] == "= ":
            keys[card[:8].strip()] = card[10:].split("/")[0].strip()
    offset = -(-offset // 2880) * 2880
    w, h, bitpix = int(keys["NAXIS1"]), int(keys["NAXIS2"]), int(keys["BITPIX"])
    dtype = {16: ">i2", -32: ">f4"}[bitpix]
    data = np.frombuffer(raw, dtype, w * h, offset).reshape(h, w).astype(np.float64)
    return data * float(keys.get("BSCALE", 1)) + float(keys.get("BZERO", 0))


def maps(count, size, rng):
    """Reference -> light maps (2 x 3), the first the identity."""
    out = [np.array([[1.0, 0, 0], [0, 1, 0]])]
    c = (size - 1) / 2
    for _ in range(count - 1):
        t, s = rng.uniform(0, 2 * math.pi), rng.uniform(0.97, 1.03)
        r = s * np.array([[math.cos(t), -math.sin(t)], [math.sin(t), math.cos(t)]])
        shift = rng.uniform(-50, 50, 2)
        out.append(np.hstack([r, (np.array([c, c]) + shift - r @ np.array([c, c]))[:, None]]))
    return out


def trail_distance(m, size, line):
    """Distance on the reference of each pixel of a light seen through map m
    to the line (point, unit direction) given on the reference."""
    a, t = m[:, :2], m[:, 2]
    y, x = np.mgrid[0:size, 0:size].astype(np.float64)
    inverse = np.linalg.inv(a)
    rx = inverse[0, 0] * (x - t[0]) + inverse[0, 1] * (y - t[1])
    ry = inverse[1, 0] * (x - t[0]) + inverse[1, 1] * (y - t[1])
    (px, py), (dx, dy) = line
    return np.abs((rx - px) * dy - (ry - py) * dx)


def render(stars, m, size, rng, cosmics, trail=None):
    """The field through map m: Moffat stars (alpha 2, beta 3) over a sky of
    1000 with noise 10; with `trail` (a line on the reference), a satellite
    trail of 300 across it, 1.5 px wide."""
    image = np.full((size, size), 1000.0)
    if trail is not None:
        image += 300 * np.exp(-0.5 * (trail_distance(m, size, trail) / 0.75) ** 2)
    y, x = np.mgrid[-12:13, -12:13]
    for sx, sy, peak in stars:
        fx, fy = m @ np.array([sx, sy, 1.0])
        ix, iy = int(round(fx)), int(round(fy))
        if not (12 <= ix < size - 12 and 12 <= iy < size - 12):
            continue
        d2 = (x + ix - fx) ** 2 + (y + iy - fy) ** 2
        image[iy - 12:iy + 13, ix - 12:ix + 13] += peak * (1 + d2 / 4.0) ** -3
    image += rng.normal(0, 10, image.shape)
    if cosmics:
        hits = rng.integers(0, size, (30, 2))
        image[hits[:, 1], hits[:, 0]] += rng.uniform(2000, 30000, len(hits))
    return image


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tamrix", required=True)
    parser.add_argument("--frames", type=int, default=8)
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--stars", type=int, default=400)
    parser.add_argument("--all-cosmics", action="store_true", help="30 cosmic-ray hits in every light, not every other")
    parser.add_argument("--work", help="folder for the frames (default: a temporary one)")
    parser.add_argument("--peers", help="folder of siril_stack.sh and anchor_stack.py: run them on the same lights")
    a = parser.parse_args()

    rng = np.random.default_rng(2026)
    # Stars beyond the reference too, so that shifted and rotated lights see a full field.
    margin = a.size * 0.3
    stars = np.column_stack([rng.uniform(-margin, a.size + margin, (a.stars, 2)),
                             60 * 10 ** rng.uniform(0, 3, a.stars)])
    truth = maps(a.frames, a.size, rng)
    angle = rng.uniform(0, math.pi)
    trail = ((a.size / 2, a.size / 2), (math.cos(angle), math.sin(angle)))  # in the third light
    with tempfile.TemporaryDirectory(dir=a.work) as folder:
        names = []
        for k, m in enumerate(truth):
            names.append(os.path.join(folder, f"light{k:02d}.fits"))
            write_fits(names[-1], render(stars, m, a.size, rng, a.all_cosmics or k % 2 == 1, trail if k == 2 else None))
        out, report = os.path.join(folder, "stack.fits"), os.path.join(folder, "report.csv")
        coverage = os.path.join(folder, "coverage.fits")
        seconds, peak = timed([a.tamrix, "stack", *names, "-o", out, "--method", "sigma-clip", "--report", report,
                               "--coverage", coverage, "-q"])
        rows = list(csv.DictReader(open(report)))
        corners = np.array([[0, 0, 1], [a.size - 1, 0, 1], [0, a.size - 1, 1], [a.size - 1, a.size - 1, 1]], float)
        errors = []
        for row, m in zip(rows, truth):
            if row["status"] != "stacked":
                print(f"{os.path.basename(row['file'])}: {row['status']}")
                continue
            got = np.array([[float(row[k]) for k in "abc"], [float(row[k]) for k in "def"]])
            errors.extend(np.sum((corners @ (got - m).T) ** 2, axis=1))
        stack, reference = read_fits(out), read_fits(names[0])
        covered = read_fits(coverage) == len(rows)

        def noise(image):
            values = image[covered & (reference < np.median(reference) + 30)]
            return 1.4826 * np.median(np.abs(values - np.median(values)))

        stacked = sum(r["status"] == "stacked" for r in rows)
        print(f"{a.frames} lights of {a.size}^2: {stacked} stacked in {seconds:.2f} s, peak {peak:.0f} MiB")
        print(f"registration error at the corners: {math.sqrt(np.mean(errors)):.4f} px rms")
        if a.frames > 2:
            sky = covered & (reference < np.median(reference) + 30)
            on = sky & (trail_distance(truth[0], a.size, trail) <= 1)
            level = np.median(stack[sky])
            left = np.mean(stack[on] > level + 5 * noise(stack))
            print(f"satellite trail: {100 * left:.2f} % of its {on.sum()} pixels left above 5 sigma (at most 2 % wanted)")
        ratio = noise(stack) / noise(reference)
        print(f"background noise: stack {noise(stack):.3f}, reference {noise(reference):.3f}, ratio {ratio:.3f} "
              f"(at most {1 / (0.9 * math.sqrt(a.frames)):.3f} wanted)")
        if a.peers:
            # Siril takes a folder of f*.fits, the first the reference.
            sequence = os.path.join(folder, "seq")
            os.mkdir(sequence)
            for k, name in enumerate(names):
                os.symlink(name, os.path.join(sequence, f"f{k:03d}.fits"))
            for peer, command in (("siril-cli", ["bash", os.path.join(a.peers, "siril_stack.sh"), sequence,
                                                 os.path.join(folder, "siril.fits")]),
                                  ("astroalign + ccdproc", ["/usr/bin/python3", os.path.join(a.peers, "anchor_stack.py"),
                                                            os.path.join(folder, "aa.fits"), *names])):
                try:
                    t, p = timed(command)
                    print(f"{peer}: {t:.2f} s, peak {p:.0f} MiB ({t / seconds:.1f} x tamrix's time)")
                except SystemExit as e:  # timed() exits with the peer's error output
                    print(f"{peer}: failed: {str(e).splitlines()[-1] if str(e) else ''}")
            aa = os.path.join(folder, "aa.fits")
            if os.path.exists(aa):
                print(f"astroalign + ccdproc background noise ratio {noise(read_fits(aa)) / noise(reference):.3f}")


if __name__ == "__main__":
    sys.exit(main())
