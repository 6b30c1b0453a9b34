"""Fast, exact frame operations for astronomical image processing.

Frames are 2-D numpy arrays of uint16 or uint32 pixels, indexed [y, x];
positions come back as x, y. Functions take the image first and their options
as keywords, return new arrays (or write into a checked ``out=`` array), and
release the GIL while the computation runs on all cores.

An input frame in another byte order (big-endian, as FITS readers give it),
unaligned (as Dask hands buffers over) or not C-contiguous (a strided view,
Fortran order) is copied once into a native C-contiguous array of the same
dtype. A frame that is written (``out=``, the fill functions) must already be
writable, aligned, C-contiguous and native. Any other dtype, dimension or
layout raises TypeError or ValueError naming the parameter; the pixel type is
never changed silently.

The functions are plain Python functions around the compiled module
(tamrix._tamrix), so they pickle by reference and travel to Dask or
multiprocessing workers. data_path() gives the files shipped with the package,
such as the trained star network.
"""

import functools as _functools
import os as _os
import types as _types

from . import _tamrix
from ._tamrix import __version__

_DATA = _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "data")


def _by_reference(function):
    """The compiled function in a Python function of the same name, documentation
    and module tamrix: a compiled function pickles by its bound capsule and fails."""

    @_functools.wraps(function)
    def call(*args, **kwargs):
        return function(*args, **kwargs)

    call.__module__ = __name__
    call.__qualname__ = function.__name__  # the compiled one's is PyCapsule.NAME
    return call


def _export():
    """Everything public of the compiled module, under tamrix."""
    names = []
    for name, value in vars(_tamrix).items():
        if name.startswith("_"):
            continue
        if isinstance(value, _types.BuiltinFunctionType):
            value = _by_reference(value)
        elif isinstance(value, type):
            value.__module__ = __name__  # tamrix.Network, tamrix.Cancelled: pickled and shown as such
        globals()[name] = value
        names.append(name)
    return names


def data_path(name):
    """data_path(name)

    The absolute path of a data file shipped with tamrix: "stars.net", the
    trained network of the neural star detector, for Network.load (11 x 11
    windows: half_size=5 in find_stars_nn). Raises FileNotFoundError for any
    other name.
    """
    available = sorted(_os.listdir(_DATA)) if _os.path.isdir(_DATA) else []
    if name not in available:
        raise FileNotFoundError(f"tamrix has no data file {name!r}; it ships {', '.join(available) or 'none'}")
    return _os.path.join(_DATA, name)


__all__ = _export() + ["data_path"]
