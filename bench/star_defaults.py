#!/usr/bin/python3
"""Star detection with the `tamrix stars` defaults against SEP and photutils.

Real frames from Debian packages (those installed are used) and synthetic
fields made by gen_field.py (its folder given with --fields, each NAME.fits
with NAME_truth.csv and score.py beside gen_field.py in --anchors), and
fields of the star network's training simulator with seeds it never saw
(--sim-seeds, written by train_star_net --field):

    bench/star_defaults.py --tamrix build/cli/tamrix [--fields DIR --anchors DIR]
        [--trainer build/tools/train_star_net --sim-seeds 200001,200002,200003]

"network" is tamrix stars --nn (the shipped network, or --network FILE).

Real frames: SEP's default background, sep.extract at 5x its global rms with
minarea 5; its unflagged sources with flux / (rms sqrt(npix)) > 50 are the
bright sources, of which astroscrappy (L.A.Cosmic) marks some as cosmic
rays. Printed: how many bright sources each detector finds within 1.5 px
(all of them, and those that are no cosmic ray), its count, how many of its
detections lie more than 2 px from every SEP detection at 3x rms (minarea 3),
and how many of those lie outside every SEP 3x rms source (its segmentation
map): not on a galaxy that SEP takes as one source, and the share within
2 px of SEP at 3x rms with ten times finer deblending (deblend_cont 0.0005
for its default 0.005), which splits a galaxy's knots from the galaxy as the
detectors do. "old" is the library's FindStars with the
former program defaults (r 8, k 4, q 2, every position examined); DAO is
photutils' DAOStarFinder at 5 sigma-clipped deviations with its FWHM from
the frame's brightest SEP sources.
"""
import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np
import astroscrappy
import sep
from astropy.io import fits
from astropy.stats import sigma_clipped_stats
from photutils.detection import DAOStarFinder

FRAMES = [
    ("python3-ccdproc", "/usr/lib/python3/dist-packages/ccdproc/tests/data/a8280271.fits", 0),
    ("iraf (dev$pix)", "/usr/lib/iraf/dev/pix.imh", None),
    ("python3-astropy (NGC 1316)", "/usr/lib/python3/dist-packages/astropy/io/fits/tests/data/comp.fits", 1),
]


def read_csv(path_or_text):
    lines = path_or_text.strip().splitlines()
    names = lines[0].split(",")
    rows = [list(map(float, line.split(","))) for line in lines[1:]]
    return {n: np.array([r[i] for r in rows]) for i, n in enumerate(names)}


EXTRA = []  # options passed to every tamrix stars run (--options)


def tamrix_stars(tamrix, path, extra=()):
    out = subprocess.run([tamrix, "stars", path, *EXTRA, *extra], check=True, capture_output=True, text=True).stdout
    t = read_csv(out)
    return np.column_stack([t["cx"], t["cy"]]) if len(t["cx"]) else np.zeros((0, 2))


def old_defaults(data):
    import tamrix as tx
    frame, _, _ = tx.to_frame(np.ascontiguousarray(data))
    stars, _ = tx.find_stars(frame, half_size=8, nsigma=4.0, neighbours=2)
    return np.column_stack([stars["cx"], stars["cy"]])


def within(a, b, r):
    """For each row of a: is there a row of b within r?"""
    if len(a) == 0 or len(b) == 0:
        return np.zeros(len(a), bool)
    d2 = ((a[:, None, :] - b[None, :, :]) ** 2).sum(-1)
    return d2.min(1) <= r * r


def real_frame(tamrix, package, path, hdu, tmp):
    if hdu is None:  # IRAF image: a FITS copy through tamrix for the Python readers
        copy = os.path.join(tmp, "copy.fits")
        subprocess.run([tamrix, "bin", "-n", "1", path, "-o", copy], check=True, capture_output=True)
        path, hdu = copy, 0
    data = fits.getdata(path, hdu).astype(np.float64)
    arg = path if hdu == 0 else f"{path}[{hdu}]"
    bkg = sep.Background(data)
    sub = data - bkg
    rms = bkg.globalrms
    o5 = sep.extract(sub, 5 * rms, minarea=5)
    snr = o5["flux"] / (rms * np.sqrt(o5["npix"]))
    bright = o5[(o5["flag"] == 0) & (snr > 50)]
    bright_xy = np.column_stack([bright["x"], bright["y"]])
    cosmic, _ = astroscrappy.detect_cosmics(data, sigclip=4.5, objlim=5.0, readnoise=rms)
    ix = np.clip(np.rint(bright_xy).astype(int), 0, [data.shape[1] - 1, data.shape[0] - 1]) if len(bright) else []
    is_cr = np.array([cosmic[y - 1:y + 2, x - 1:x + 2].any() for x, y in ix], bool)
    o3, segmap = sep.extract(sub, 3 * rms, minarea=3, segmentation_map=True)
    all3 = np.column_stack([o3["x"], o3["y"]])
    fine = sep.extract(sub, 3 * rms, minarea=3, deblend_cont=0.0005)
    fine3 = np.column_stack([fine["x"], fine["y"]])
    mean, median, std = sigma_clipped_stats(data, sigma=3.0)
    fwhm = float(np.median(2 * np.sqrt(np.log(2) * (bright["a"] ** 2 + bright["b"] ** 2)))) if len(bright) else 3.0
    dao = DAOStarFinder(fwhm=fwhm, threshold=5 * std)(data - median)
    dao_xy = np.column_stack([dao["xcentroid"], dao["ycentroid"]]) if dao is not None else np.zeros((0, 2))
    results = {
        "tamrix": tamrix_stars(tamrix, arg),
        "network": tamrix_stars(tamrix, arg, NETWORK),
        "DAO": dao_xy,
        "SEP 5": np.column_stack([o5["x"], o5["y"]]),
    }
    try:  # the former defaults through the Python module, when it is built
        results["old"] = old_defaults(data)
    except ImportError:
        pass
    name = f"{os.path.basename(path if hdu == 0 else arg)} ({package}, {data.shape[1]}x{data.shape[0]})"
    if path.endswith("copy.fits"):
        name = f"dev$pix ({package}, {data.shape[1]}x{data.shape[0]})"
    for det, xy in results.items():
        hit = within(bright_xy, xy, 1.5)
        stars = (~is_cr).sum()
        far = ~within(xy, all3, 2.0)
        pix = np.clip(np.rint(xy[far]).astype(int), 0, [data.shape[1] - 1, data.shape[0] - 1])
        outside = sum(segmap[y, x] == 0 for x, y in pix)
        split = 100 * within(xy, fine3, 2.0).sum() / max(1, len(xy))
        print(f"| {name} | {det} | {hit.sum()}/{len(bright)} ({100 * hit.sum() / max(1, len(bright)):.0f} %) "
              f"| {(hit & ~is_cr).sum()}/{stars} ({100 * (hit & ~is_cr).sum() / max(1, stars):.0f} %) "
              f"| {len(xy)} | {far.sum()} ({100 * (len(xy) - far.sum()) / max(1, len(xy)):.0f} % within) "
              f"| {outside} | {split:.0f} % |")


def peers(data):
    """SEP at 3x its global rms (minarea 5) and DAOStarFinder at 5 sigma."""
    bkg = sep.Background(data)
    o = sep.extract(data - bkg, 3 * bkg.globalrms, minarea=5)
    mean, median, std = sigma_clipped_stats(data, sigma=3.0)
    snr = o["flux"] / (bkg.globalrms * np.sqrt(o["npix"]))
    bright = o[(o["flag"] == 0) & (snr > 50)]
    fwhm = float(np.median(2 * np.sqrt(np.log(2) * (bright["a"] ** 2 + bright["b"] ** 2)))) if len(bright) else 3.0
    dao = DAOStarFinder(fwhm=fwhm, threshold=5 * std)(data - median)
    dao_xy = np.column_stack([dao["xcentroid"], dao["ycentroid"]]) if dao is not None else np.zeros((0, 2))
    return {"SEP 3": np.column_stack([o["x"], o["y"]]), "DAO": dao_xy}


def score_fields(tamrix, anchors, fields):
    """fields: (name, FITS path, truth CSV) triples."""
    sys.path.insert(0, anchors)
    from score import score
    for name, path, truth in fields:
        data = fits.getdata(path).astype(np.float64)
        dets = {"tamrix": tamrix_stars(tamrix, path), "network": tamrix_stars(tamrix, path, NETWORK)}
        dets.update(peers(data))
        for det, xy in dets.items():
            m = score(xy, truth)
            fp = m["false_positives"]
            kinds = ", ".join(f"{k} {v}" for k, v in m["fp_breakdown"].items() if v)
            bins = " ".join(f"{b['bin']}: {100 * b['completeness']:.0f}" for b in m["completeness_by_snr"] if b["n"])
            print(f"| {name} | {det} | {100 * m['completeness']:.1f} % | {len(xy)} | {fp} ({kinds}) "
                  f"| {m['centroid'].get('rms', float('nan')):.3f} | {bins} |", flush=True)


def gen_fields(folder):
    return [(n, os.path.join(folder, n + ".fits"), os.path.join(folder, n + "_truth.csv"))
            for n in sorted(f[:-5] for f in os.listdir(folder) if f.endswith(".fits"))
            if os.path.exists(os.path.join(folder, n + "_truth.csv"))]


def sim_fields(trainer, seeds, size, tmp):
    out = []
    for seed in seeds:
        prefix = os.path.join(tmp, f"sim{seed}")
        subprocess.run([trainer, "--field", str(seed), prefix, str(size)], check=True)
        data = np.fromfile(prefix + ".raw", dtype="<u2").reshape(size, size)
        fits.PrimaryHDU(data).writeto(prefix + ".fits", overwrite=True)
        out.append((f"simulator seed {seed}", prefix + ".fits", prefix + "_truth.csv"))
    return out


NETWORK = ["--nn"]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--tamrix", default="build/cli/tamrix")
    ap.add_argument("--fields", help="folder of gen_field.py fields")
    ap.add_argument("--anchors", help="folder of gen_field.py and score.py")
    ap.add_argument("--options", default="", help="more options for tamrix stars, e.g. '--start-sigma 4'")
    ap.add_argument("--network", help="network file for the network rows (default: the shipped one)")
    ap.add_argument("--level", help="its level (default: the shipped one's)")
    ap.add_argument("--trainer", help="train_star_net, for --sim-seeds")
    ap.add_argument("--sim-seeds", default="200001,200002,200003", help="simulator seeds never trained on")
    ap.add_argument("--sim-size", type=int, default=1024)
    a = ap.parse_args()
    EXTRA.extend(a.options.split())
    if a.network:
        NETWORK[:] = ["--network", a.network]
    if a.level:
        NETWORK.extend(["--level", a.level])
    print("| frame | detector | SEP bright found | bright, no cosmic ray | detections | > 2 px from SEP 3 sigma "
          "| of those outside its sources | within 2 px, finer deblending |", flush=True)
    print("|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as tmp:
        for package, path, hdu in FRAMES:
            if os.path.exists(path):
                real_frame(a.tamrix, package, path, hdu, tmp)
        fields = gen_fields(a.fields) if a.fields else []
        if a.trainer:
            fields += sim_fields(a.trainer, [int(s) for s in a.sim_seeds.split(",")], a.sim_size, tmp)
        if fields and a.anchors:
            print("\n| field | detector | completeness | detections | false positives | centroid rms | "
                  "completeness (%) by SNR |")
            print("|---|---|---|---|---|---|---|")
            score_fields(a.tamrix, a.anchors, fields)


if __name__ == "__main__":
    main()
