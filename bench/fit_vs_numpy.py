"""FitSurface beside numpy.linalg.lstsq in one run, on the same point records.

    /usr/bin/python3 bench/fit_vs_numpy.py [--count 100000] [--rounds 15] [LIB ...]

Each LIB is a libtamrix.so (default: build/libtamrix.so beside this folder);
naming a second one (another build) times both against the same numpy run.
Every round times each contestant once, one after the other, starting with a
different one each round, so that load on a shared machine and the order
favour none of them; the medians and each library's
ratio to numpy are printed. Both sides include building the design matrix;
numpy solves both right-hand sides in one call (gelsd, its default driver),
on the BLAS and LAPACK it is installed with. The coefficients are checked
against numpy's to 1e-9 (they agree to rounding).
"""

import argparse
import ctypes
import os
import statistics
import time

import numpy as np

_HERE = os.path.dirname(os.path.abspath(__file__))
_SYMBOL = "_ZN6tamrix10FitSurfaceEPdjS0_S0_S0_S0_S0_S0_S0_S0_S0_S0_S0_S0_S0_S0_S0_S0_S0_S0_S0_S0_"
_ORDER = [0, 1, 2, 3, 5, 6, 4, 7, 8, 9]  # design-matrix columns -> output term order


def points(count, seed=4):
    """Records (x, y, x', y') in [-0.5, 0.5]^2 whose differences follow two
    cubic surfaces plus 1e-4 noise."""
    rng = np.random.default_rng(seed + count)
    x = rng.uniform(-0.5, 0.5, count)
    y = rng.uniform(-0.5, 0.5, count)
    ca = np.array([1e-3, -2e-3, 5e-4, 3e-4, 2e-3, -1e-3, 4e-3, 1e-2, -3e-3, 0.5])
    cb = np.array([-5e-4, 1e-3, 2e-4, -3e-4, 1e-3, 2e-3, -2e-3, 2e-3, 1.1e-2, -0.25])
    terms = np.stack([x**3, y**3, x * x * y, x * y * y, x * x, y * y, x * y, x, y, np.ones(count)])
    dx = ca @ terms + rng.normal(0, 1e-4, count)
    dy = cb @ terms + rng.normal(0, 1e-4, count)
    return np.ascontiguousarray(np.stack([x, y, x - dx, y - dy], axis=1))


def numpy_fit(p):
    x, y = p[:, 0], p[:, 1]
    xx, yy = x * x, y * y
    a = np.stack([xx * x, yy * y, y * xx, yy * x, y * x, xx, yy, x, y, np.ones_like(x)], axis=1)
    r = np.stack([x - p[:, 2], y - p[:, 3]], axis=1)
    s = np.linalg.lstsq(a, r, rcond=1e-6)[0]
    return s[_ORDER, 0], s[_ORDER, 1]


def tamrix_fit(path):
    fn = ctypes.CDLL(path)[_SYMBOL]
    fn.restype = None
    out = (ctypes.c_double * 20)()
    refs = [ctypes.byref(out, 8 * k) for k in range(20)]

    def fit(p):
        fn(p.ctypes.data_as(ctypes.c_void_p), ctypes.c_uint(len(p)), *refs)
        return np.array(out[:10]), np.array(out[10:])

    return fit


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("libs", nargs="*", default=[os.path.normpath(os.path.join(_HERE, "..", "build", "libtamrix.so"))])
    parser.add_argument("--count", type=int, default=100000)
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()

    p = points(args.count)
    contestants = [("numpy.linalg.lstsq", numpy_fit)] + [(lib, tamrix_fit(lib)) for lib in args.libs]
    want = numpy_fit(p)
    for name, fit in contestants[1:]:
        got = fit(p)
        for g, w in zip(got, want):
            if not np.allclose(g, w, rtol=0, atol=1e-9):
                raise SystemExit(f"{name}: coefficients differ from numpy's: {g} vs {w}")
    times = {name: [] for name, _ in contestants}
    for r in range(args.rounds):
        # Each round starts with the next contestant: whoever runs right after
        # another's large frees and allocations is favoured, so no one keeps
        # that place.
        for name, fit in contestants[r % len(contestants):] + contestants[:r % len(contestants)]:
            start = time.perf_counter()
            fit(p)
            times[name].append(time.perf_counter() - start)
    base = statistics.median(times[contestants[0][0]])
    print(f"FitSurface, {args.count} points, {args.rounds} rounds, load {os.getloadavg()[0]:.2f}")
    for name, _ in contestants:
        med = statistics.median(times[name])
        print(f"  {name:40s} median {1e3 * med:8.2f} ms  min {1e3 * min(times[name]):8.2f} ms"
              f"  ratio to numpy {med / base:5.2f}")


if __name__ == "__main__":
    main()
