"""Stacking on a Dask cluster: tamrix.stack's pipeline as tasks of
dask.distributed.

stack(lights, client=client, ...) gives what tamrix.stack(lights, ...) gives
on the same frames, computed by the client's workers: the masters as one task
each, one task per light (calibrate, find stars, register onto the
reference's, warp onto its grid) whose warped frame stays in the worker's
memory, and the combination as one task per band of rows, which fetches only
that band of every warped frame. The steps are the compiled module's; this
module only lays out the tasks.

Any scheduler serves: a LocalCluster of worker processes on one machine, or a
cluster's scheduler by its address::

    dask scheduler                      # on one node; prints tcp://HOST:8786
    dask worker tcp://HOST:8786         # on every node, with tamrix importable

    from dask.distributed import Client
    import numpy as np
    import tamrix.dask
    client = Client("tcp://HOST:8786")
    image, coverage, reports = tamrix.dask.stack(paths, client=client, load=np.load)

With load=, the lights, darks, flats and biases are what load takes (file
names on a file system every worker sees, for instance) and each is read by
the task that needs it, so the client never holds the night; without it they
are arrays, sent to the workers once. Dask is imported only by the caller
(the client); this module needs none of it.
"""

import operator

import numpy as np

from . import _tamrix

__all__ = ["stack"]

# The steps, as plain functions of this module: they pickle by reference.


def _master(frames, name):
    return _tamrix._stack_master(frames, name)


def _light_range(light):
    return _tamrix._stack_light_range(light)


def _lights_range(ranges, dark, exposures, dark_exposure):
    return _tamrix._stack_lights_range(ranges, dark, exposures, dark_exposure)


def _light(light, name, bias, dark, flat, dark_exposure, range_, exposure, reference_stars, reference_shape):
    return _tamrix._stack_light(light, name, bias, dark, flat, dark_exposure, range_, exposure, reference_stars,
                                reference_shape)


def _rows(values, first, last):
    return values[first:last]


def _band(bands, method, sigma, noises, weighted):
    return _tamrix._stack_band(bands, method, sigma, noises, weighted)


def stack(lights, *, client, darks=None, flats=None, biases=None, reference=0, method="sigma-clip", sigma=(3, 3),
          exposures=None, dark_exposure=None, weighted=False, load=None, band_rows=256):
    """stack(lights, *, client, darks=None, flats=None, biases=None, reference=0, method='sigma-clip', sigma=(3, 3), exposures=None, dark_exposure=None, weighted=False, load=None, band_rows=256)

    tamrix.stack on the workers of a dask.distributed Client: the same
    parameters and the same (image, coverage, reports). load: a function the
    workers apply to each item of lights, darks, flats and biases to get its
    frame (numpy.load for .npy file names); band_rows: rows per combination
    task.
    """
    lights = list(lights)
    if not lights:
        raise ValueError("lights must hold at least one frame")
    if isinstance(reference, bool) or not isinstance(reference, (int, np.integer)):
        raise TypeError("reference must be an integer")
    if not 0 <= reference < len(lights):
        raise ValueError(f"reference must be in 0 .. {len(lights) - 1}")
    if isinstance(band_rows, bool) or not isinstance(band_rows, (int, np.integer)) or band_rows < 1:
        raise ValueError("band_rows must be a positive integer")
    if (exposures is None) != (dark_exposure is None):
        raise ValueError("exposures and dark_exposure scale the dark together: give both or neither")
    if exposures is not None and len(exposures) != len(lights):
        raise ValueError("exposures must hold one exposure time per light")

    def frames(items):
        # Fresh keys (hash=False): scattering the same arrays again, in a later
        # call, would reuse the keys of data already released, which
        # dask.distributed's workers fail to compute with.
        return client.map(load, list(items), pure=False) if load else client.scatter(list(items), hash=False)

    def master(items, name):
        return None if items is None else client.submit(_master, frames(items), name, pure=False)

    light_frames = frames(lights)
    bias, dark, flat = master(biases, "biases"), master(darks, "darks"), master(flats, "flats")
    scale = dark_exposure if dark_exposure is not None else 0.0
    ranges = client.map(_light_range, light_frames, pure=False)
    range_ = client.submit(_lights_range, ranges, dark, list(exposures or []), scale, pure=False)
    seconds = list(exposures) if exposures is not None else [None] * len(lights)

    # The reference first: its stars are what the others register onto.
    order = [reference] + [i for i in range(len(lights)) if i != reference]
    first = client.submit(_light, light_frames[reference], f"lights[{reference}]", bias, dark, flat, scale, range_,
                          seconds[reference], None, None, pure=False)
    reference_stars = client.submit(operator.getitem, first, 3, pure=False)
    shape = client.submit(np.shape, light_frames[reference], pure=False)
    results = [first] + [
        client.submit(_light, light_frames[i], f"lights[{i}]", bias, dark, flat, scale, range_, seconds[i],
                      reference_stars, shape, pure=False) for i in order[1:]]
    summaries = client.gather([client.submit(operator.getitem, r, slice(1, 3), pure=False) for r in results])
    height, width = client.gather(shape)

    reports = [None] * len(lights)
    stacked, noises = [], []
    for i, result, (report, noise) in zip(order, results, summaries):
        reports[i] = report
        if report["stacked"]:
            stacked.append(client.submit(operator.getitem, result, 0, pure=False))
            noises.append(noise)

    # One task per band of rows, over that band of every warped frame.
    rows = int(band_rows)
    bands = []
    for y in range(0, height, rows):
        parts = [client.submit(_rows, w, y, min(y + rows, height), pure=False) for w in stacked]
        bands.append(client.submit(_band, parts, method, tuple(sigma), noises, bool(weighted), pure=False))
    combined = client.gather(bands)
    image = np.concatenate([values for values, _ in combined]).reshape(height, width)
    coverage = np.concatenate([counts for _, counts in combined]).reshape(height, width)
    return image, coverage, reports
