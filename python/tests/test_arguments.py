"""Every frame argument is checked the same way: a 2-D numpy array of uint16 or
uint32, or TypeError / ValueError naming the parameter. Inputs in another byte
order or layout are copied; frames that are written must be native and
C-contiguous. One checker does it for every binding: each rule is shown
once, on one of them, beside every binding's own refusals."""

import numpy as np
import pytest

import tamrix

GOOD = np.arange(48, dtype=np.uint16).reshape(6, 8)


# What FITS readers (big-endian), Dask (unaligned buffers) and slicing hand over.
@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
@pytest.mark.parametrize("layout", [lambda a: a.astype(a.dtype.newbyteorder(">")),
                                    lambda a: np.frombuffer(b"\0" + a.tobytes(), a.dtype, offset=1).reshape(a.shape),
                                    lambda a: np.repeat(a, 2, axis=1)[:, ::2], np.asfortranarray],
                         ids=["big-endian", "unaligned", "strided", "fortran"])
def test_inputs_in_any_layout_are_copied_and_outputs_refused(layout, dtype):
    image, dark = GOOD.astype(dtype) * 3, GOOD.astype(dtype)
    odd_image, odd_dark = layout(image), layout(dark)
    assert not (odd_image.dtype.isnative and odd_image.flags.c_contiguous and odd_image.flags.aligned)
    result = tamrix.diff_dark(odd_image, odd_dark)
    assert result.dtype == dtype and np.array_equal(result, image - dark)
    assert np.array_equal(odd_image, image)
    with pytest.raises(ValueError, match="out must be a writable, aligned, C-contiguous array in native byte order"):
        tamrix.diff_dark(image, dark, out=odd_image)


def readonly(array):
    array = array.copy()
    array.flags.writeable = False
    return array


def test_read_only_inputs_and_numpy_integers_are_accepted():
    assert tamrix.bin(readonly(GOOD), bin_x=1).sum() == GOOD.sum()
    assert tamrix.bin(GOOD, bin_x=np.int64(2)).shape == (3, 4)


U16, U32, Z44, Z10_12 = np.uint16, np.uint32, np.zeros((4, 4), np.uint16), np.zeros((10, 12), np.uint16)
Z20, NET = np.zeros((20, 20), np.uint16), tamrix.Network([3, 2])
X10, T9 = np.zeros((10, 3), np.float32), np.zeros((9, 2), np.float32)
BUFFER = np.zeros((16, 8), np.uint16)
GOOD32 = GOOD.astype(U32)
LIGHTS = [Z44, Z44]
STRAY = np.random.default_rng(1).normal(100, 5, (64, 64))  # sky whose one stray value leaves it a single step
STRAY[3, 5] = 1e30


def stars(**options):
    return tamrix.find_stars(Z44, **{"half_size": 5, "nsigma": 4.0, "neighbours": 2, **options})


# Every binding's own refusals: (call, error, message).
REFUSALS = [
    # Frames, outputs and scalar options, checked alike for every binding: each
    # checker once; below, the bounds and rules a binding works out itself.
    (lambda: tamrix.bin(GOOD.tolist(), bin_x=1), TypeError, "image must be a numpy.ndarray of uint16 .* not list"),
    (lambda: tamrix.bin(np.ma.masked_array(GOOD), bin_x=1), TypeError, "image must not be a masked array"),
    (lambda: tamrix.bin(GOOD.astype(np.float32), bin_x=1), TypeError,
     r"image must have dtype uint16 or uint32, got float32; use tamrix.to_frame\(array\) to map signed or floating"),
    (lambda: tamrix.bin(GOOD.ravel(), bin_x=1), ValueError, r"image must be a 2-D array indexed \[y, x\], got 1-D"),
    (lambda: tamrix.diff_dark(GOOD, GOOD[:5].copy()), ValueError, "dark must have the shape of image"),
    (lambda: tamrix.flat(GOOD, GOOD.astype(U32)), TypeError, "flat must have the dtype of image"),
    (lambda: tamrix.diff_dark(BUFFER[:8], BUFFER[:8], out=BUFFER[1:9]), ValueError,
     "out must be either image itself or a separate buffer"),
    (lambda: tamrix.bin(GOOD, bin_x=2.0), TypeError, "bin_x must be an integer, not float"),
    (lambda: tamrix.bin(GOOD, bin_x=2, bin_y=True), TypeError, "bin_y must be an integer, not bool"),
    (lambda: tamrix.bin(GOOD, bin_x=2**40), ValueError, r"bin_x must be in 1 \.\. 2147483647"),
    (lambda: tamrix.bin(GOOD, 2), TypeError, ""),
    (lambda: tamrix.bin(GOOD, bin_x=2, out=np.zeros((3, 4), U16)), TypeError, "out must have dtype uint32"),
    (lambda: tamrix.bin(GOOD32, bin_x=1, out=GOOD32), ValueError, "out must not share memory with image"),
    (lambda: tamrix.flat(Z44, Z44, level=0.0), ValueError, "level"),
    (lambda: tamrix.flat(Z44, Z44, level=65536.0), ValueError, "level"),
    (lambda: tamrix.median(np.zeros((4, 5), U16), radius=5), ValueError, r"radius must be in 0 \.\. 4"),
    (lambda: tamrix.median(Z44, radius=1, low=0), ValueError, "low and high apply to uint32 frames only"),
    (lambda: tamrix.median(Z44.astype(U32), radius=1, low=10, high=9), ValueError, "low must not be above high"),
    (lambda: tamrix.create_mono_dib(Z44, low=100, high=200), ValueError, "lut is needed when high > low"),
    (lambda: tamrix.create_mono_dib(Z44, low=100, high=200, shift=2, lut=np.zeros(24, np.uint8)), ValueError,
     r"lut must have at least \(\(high - 1 - low\) >> shift\) \+ 1 = 25 entries"),
    (lambda: tamrix.create_mono_dib(Z44, low=100, high=200, lut=np.zeros(100, U16)), TypeError,
     "lut must be a numpy.ndarray of dtype uint8"),
    (lambda: tamrix.create_mono_dib(Z44[:3, :3], low=0, high=1, out=np.zeros((3, 3), np.uint8)), ValueError,
     r"out must have shape \(3, 4\)"),
    (lambda: tamrix.create_color_dib(Z44, Z44, Z44, low=(0, 0), high=0), ValueError, "low must be one value or three"),
    (lambda: tamrix.resample(Z44[:2], fx=2, out=np.zeros((4, 5), U16)), ValueError, r"out must have shape \(4, 8\)"),
    (lambda: tamrix.resample(Z44, fx=2**20, fy=2**20), ValueError, r"2\^31 bytes"),
    (lambda: tamrix.transform(Z44, matrix=np.eye(3)), ValueError, r"matrix must have shape \(2, 3\)"),
    (lambda: tamrix.transform(Z44, matrix=[[1, 0, np.nan], [0, 1, 0]]), ValueError, "matrix must be finite"),
    (lambda: tamrix.transform(Z44, matrix=[[1j, 0, 0], [0, 1, 0]]), TypeError, "matrix must hold real numbers"),
    (lambda: tamrix.transform(Z44, matrix=[[1, 0, 0], [0, 1, 0]], shape=(4, 4), out=Z44.copy()), ValueError,
     "either out or shape"),
    (lambda: tamrix.sub_pixel_shift(Z44, dx=0, dy=0, weights=(1, 0, -1, 0), divisor=1), ValueError, r"weights\[2\]"),
    (lambda: tamrix.sub_pixel_shift(Z44, dx=0, dy=0, weights=(1, 0, 0), divisor=1), TypeError,
     "weights must be four integers"),
    (lambda: tamrix.calculate_area_statistics(np.zeros((8, 10), U16), x=-1), ValueError, r"x must be in 0 \.\. 9"),
    (lambda: tamrix.calculate_area_statistics(np.zeros((0, 10), U16)), ValueError, "image has no pixels"),
    (lambda: tamrix.sub_frame_to_vector(Z10_12, x=1, y=5, radius=2), ValueError, r"x must be in 2 \.\. 9"),
    (lambda: tamrix.sub_frame_to_vector(Z10_12, x=5, y=5, radius=2, out=np.zeros(24, np.float32)),
     ValueError, "out must be a writable contiguous 1-D array of 25 floats"),
    (lambda: tamrix.fit_surface(np.zeros((5, 3))), ValueError, r"points must have shape \(n, 4\)"),
    (lambda: tamrix.fit_surface(np.array([["a", "b", "c", "d"]])), TypeError, "points must hold real numbers"),
    (lambda: tamrix.fill_frame_with_polynom(Z44, [1.0] * 9), ValueError, "coefficients must hold 10 coefficients"),
    (lambda: tamrix.fill_frame_with_polynoms(Z44, [0.0] * 10, ["a"] * 10), TypeError,
     "coefficients_y must hold real numbers"),
    (lambda: tamrix.fill_frame_with_polynom(readonly(Z44), [0.0] * 10), ValueError, "frame must be a writable"),
    (lambda: stars(half_size=26), ValueError, r"half_size must be in 2 \.\. 25"),
    (lambda: stars(nsigma=float("nan")), ValueError, "nsigma must be finite"),
    (lambda: stars(mask=np.zeros((4, 4), np.uint8)), TypeError, "mask must be a numpy.ndarray of dtype bool"),
    (lambda: stars(mask=np.zeros((4, 5), bool)), ValueError, "mask must be a 2-D array of the image's shape"),
    (lambda: tamrix.detect_stars(Z44, undefined=np.zeros((4, 5), bool)), ValueError,
     "undefined must be a 2-D array of the image's shape"),
    (lambda: tamrix.find_stars_nn(Z44, tamrix.Network([9, 1]), half_size=2, level=0.5), ValueError,
     "network must have 25 inputs"),
    (lambda: tamrix.find_stars_nn(Z44, tamrix.Network([9, 2]), half_size=1, level=0.5), ValueError,
     "network must have 9 inputs"),
    (lambda: tamrix.detect_stars(Z20, max_fwhm=0), ValueError, "max_fwhm must be above 0"),
    (lambda: tamrix.detect_stars(Z20, level=0.5), ValueError, "level needs a network"),
    (lambda: tamrix.detect_stars(Z20, network=tamrix.Network([4, 3, 1])), ValueError, "network must rate star windows"),
    # Networks: their layers (the shape check's refusals, named), vectors and
    # training options.
    (lambda: tamrix.Network([]), ValueError, "layers"),
    (lambda: tamrix.Network("abc"), TypeError, "layers"),
    (lambda: NET.infer(np.zeros(3)), TypeError, "input must be a numpy.ndarray of dtype float32"),
    (lambda: NET.infer(np.zeros(4, np.float32)), ValueError, "input must have 3 values per vector, got 4"),
    (lambda: NET.learn(X10, X10, batch_size=2, learning_rate=0.1), ValueError, "targets must have 2 values per row"),
    (lambda: NET.learn(X10, T9, batch_size=2, learning_rate=0.1), ValueError, "same number of rows"),
    (lambda: tamrix.Network([3]).learn(X10, X10, batch_size=2, learning_rate=0.1), ValueError, "at least two layers"),
    (lambda: tamrix.to_frame(np.zeros((2, 2), np.int64)), ValueError, r"range=\(low, high\)"),
    (lambda: tamrix.to_frame(np.zeros((2, 2), np.complex64)), TypeError, "integers or floating-point"),
    (lambda: tamrix.from_frame(np.zeros((2, 2), U16), 0, 0), ValueError, "scale"),
    # Combining and stacking, and the stack layer's refusals.
    (lambda: tamrix.combine([]), ValueError, "frames must hold at least one frame"),
    (lambda: tamrix.combine([Z44, np.zeros((4, 5))]), ValueError, r"frames\[1\] has shape \(4, 5\)"),
    (lambda: tamrix.combine(Z44), ValueError, "not a 2-D array"),
    (lambda: tamrix.combine([np.zeros((2, 2), np.complex64)]), TypeError, r"frames\[0\] must hold"),
    (lambda: tamrix.combine([Z44], method="average"), ValueError, "method: 'average' is not a method"),
    (lambda: tamrix.combine([Z44], sigma=(3, 0)), ValueError, "sigma: both bounds must be positive"),
    (lambda: tamrix.stack(LIGHTS, darks=[np.zeros((2, 3))]), ValueError, "darks must have the lights' shape"),
    (lambda: tamrix.stack(LIGHTS, flats=["a"]), TypeError, r"flats\[0\] must hold"),
    (lambda: tamrix.stack(LIGHTS, reference=2), ValueError, r"reference must be in 0 \.\. 1"),
    (lambda: tamrix.stack(LIGHTS, darks=LIGHTS, exposures=[1, 1]), ValueError, "give both or neither"),
    (lambda: tamrix.stack(LIGHTS, exposures=[1, 1], dark_exposure=1), ValueError, "give darks too"),
    (lambda: tamrix.stack(LIGHTS, darks=LIGHTS, exposures=[1], dark_exposure=1), ValueError, "one exposure time per"),
    (lambda: tamrix.stack(LIGHTS, darks=LIGHTS, exposures=[1, 0], dark_exposure=1), ValueError, "above 0 seconds"),
    (lambda: tamrix.stack(LIGHTS), ValueError, r"lights\[0\]: the reference has 0 usable stars"),
    (lambda: tamrix.stack([STRAY, STRAY]), ValueError, r"but a few reach 0 to 1e\+30 and leave them too few steps"),
]


@pytest.mark.parametrize("call, error, message", REFUSALS, ids=[str(i) for i in range(len(REFUSALS))])
def test_refusals_name_the_parameter(call, error, message):
    with pytest.raises(error, match=message):
        call()
