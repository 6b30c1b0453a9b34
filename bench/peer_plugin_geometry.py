"""Side-by-side plugin: tamrix's resampling, shift, affine transform and area
statistics as extra columns of the peer comparison script
(../shared/anchors/frame/frame_ops.py --plugin THIS_FILE), called through
ctypes on the shared library of a Release build.

    TAMRIX_LIB=build/libtamrix.so /usr/bin/python3 frame_ops.py \\
        --only 'affine|shift|stats|resample' --plugin bench/peer_plugin_geometry.py

Each case runs with 1 and 2 OpenMP threads, like the peers' thread counts.
"""

import ctypes
import os

import numpy as np

_HERE = os.path.dirname(os.path.abspath(__file__))
_LIB = ctypes.CDLL(os.environ.get("TAMRIX_LIB", os.path.join(_HERE, "..", "build", "libtamrix.so")))
_OMP = ctypes.CDLL("libgomp.so.1")

_c_int, _c_uint, _c_double, _ptr = ctypes.c_int, ctypes.c_uint, ctypes.c_double, ctypes.c_void_p

_resample = _LIB["_ZN6tamrix8ResampleEiiPvS0_iii"]
_resample.argtypes = [_c_int, _c_int, _ptr, _ptr, _c_int, _c_int, _c_int]
_shift = _LIB["_ZN6tamrix13SubPixelShiftEiijjjjjPviiiS0_ii"]
_shift.argtypes = [_c_int, _c_int] + [_c_uint] * 5 + [_ptr, _c_int, _c_int, _c_int, _ptr, _c_int, _c_int]
_transform = _LIB["_ZN6tamrix9TransformEddddddPviiiS0_ii"]
_transform.argtypes = [_c_double] * 6 + [_ptr, _c_int, _c_int, _c_int, _ptr, _c_int, _c_int]
_stats = _LIB["_ZN6tamrix23CalculateAreaStatisticsEPviiiiiiiPjS1_PdS2_"]
_stats.argtypes = [_ptr] + [_c_int] * 7 + [ctypes.POINTER(_c_uint)] * 2 + [ctypes.POINTER(_c_double)] * 2
for _f in (_resample, _shift, _transform, _stats):
    _f.restype = None


def _depth(a):
    return 2 if a.dtype == np.uint16 else 4


def _with_threads(threads, fn):
    def run():
        _OMP.omp_set_num_threads(threads)
        return fn()
    return run


def register(reg):
    for key, case in list(reg.cases.items()):
        inp = case.inputs
        if case.op == "resample":
            a, f = inp["src"], inp["f"]
            h, w = a.shape
            out = np.empty((h * f, w * f), a.dtype)

            def fn(a=a, f=f, out=out, h=h, w=w):
                _resample(f, f, a.ctypes.data, out.ctypes.data, w, h, _depth(a))
                return out
        elif case.op == "shift":
            a = inp["src"]
            h, w = a.shape
            out = np.zeros_like(a)
            w00, w10, w01, w11 = inp["weights"]

            def fn(a=a, out=out, h=h, w=w, dx=inp["dx"], dy=inp["dy"], ws=(w00, w10, w01, w11), div=inp["div"]):
                _shift(dx, dy, *ws, div, a.ctypes.data, w, h, _depth(a), out.ctypes.data, w, h)
                return out
        elif case.op == "affine":
            a = inp["src"]
            h, w = a.shape
            out = np.zeros_like(a)

            def fn(a=a, out=out, h=h, w=w, coef=inp["coef"]):
                _transform(*coef, a.ctypes.data, w, h, _depth(a), out.ctypes.data, w, h)
                return out
        elif case.op == "stats":
            a = inp["src"]
            h, w = a.shape
            x, y, rw, rh = inp["rect"]

            def fn(a=a, h=h, w=w, x=x, y=y, rw=rw, rh=rh):
                mn, mx, mean, sd = _c_uint(), _c_uint(), _c_double(), _c_double()
                _stats(a.ctypes.data, w, h, _depth(a), x, y, rw, rh, ctypes.byref(mn), ctypes.byref(mx),
                       ctypes.byref(mean), ctypes.byref(sd))
                return mn.value, mx.value, mean.value, sd.value
        else:
            continue
        for threads in (1, 2):
            reg.add(key, "tamrix", threads, _with_threads(threads, fn), column="tamrix")
