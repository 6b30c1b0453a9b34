"""Every frame argument is checked the same way: a 2-D numpy array of uint16 or
uint32, or TypeError / ValueError naming the parameter. Inputs in another byte
order or layout are copied; frames that are written must be native and
C-contiguous. One checker does it for every binding: each rule is shown on a
few of them, and every binding takes a good frame."""

import numpy as np
import pytest

import tamrix

GOOD = np.arange(48, dtype=np.uint16).reshape(6, 8)

# One call per binding, with the frame under test in the named position and
# everything else valid.
CALLS = {
    "bin": lambda f: tamrix.bin(f, bin_x=2),
    "diff_dark(dark)": lambda f: tamrix.diff_dark(GOOD, f),
    "flat": lambda f: tamrix.flat(f, GOOD),
    "find_stars": lambda f: tamrix.find_stars(f, half_size=2, nsigma=3.0, neighbours=2),
    "median": lambda f: tamrix.median(f, radius=1),
    "resample": lambda f: tamrix.resample(f, fx=2),
    "sub_pixel_shift": lambda f: tamrix.sub_pixel_shift(f, dx=0, dy=0, weights=(1, 0, 0, 0), divisor=1),
    "transform": lambda f: tamrix.transform(f, matrix=[[1, 0, 0], [0, 1, 0]]),
    "calculate_area_statistics": lambda f: tamrix.calculate_area_statistics(f),
    "sub_frame_to_vector": lambda f: tamrix.sub_frame_to_vector(f, x=3, y=3, radius=1),
    "create_mono_dib": lambda f: tamrix.create_mono_dib(f, low=0, high=1),
    "create_color_dib(green)": lambda f: tamrix.create_color_dib(GOOD, f, GOOD, low=0, high=1),
    "find_stars_nn": lambda f: tamrix.find_stars_nn(f, tamrix.Network([9, 1]), half_size=1, level=0.5),
    "fill_frame_with_polynoms(frame)": lambda f: tamrix.fill_frame_with_polynoms(f, [0.0] * 10, [0.0] * 10),
}
SOME = ["bin", "diff_dark(dark)", "create_color_dib(green)", "fill_frame_with_polynoms(frame)"]


def parameter_of(call):
    return call.split("(")[1].rstrip(")") if "(" in call else "image"


@pytest.mark.parametrize("call", CALLS)
def test_the_good_frame_passes(call):
    CALLS[call](GOOD.copy())


@pytest.mark.parametrize("call", SOME)
@pytest.mark.parametrize("bad, error", [(GOOD.tolist(), TypeError), (GOOD.astype(np.float64), TypeError),
                                        (np.ma.masked_array(GOOD), TypeError), (GOOD.ravel(), ValueError),
                                        (GOOD.reshape(2, 3, 8), ValueError)], ids=["list", "float64", "masked", "1-D", "3-D"])
def test_wrong_types_and_shapes_name_the_parameter(call, bad, error):
    with pytest.raises(error, match=parameter_of(call)):
        CALLS[call](bad)


def test_second_frame_must_match_the_first():
    with pytest.raises(ValueError, match="dark must have the shape of image"):
        tamrix.diff_dark(GOOD, GOOD[:5].copy())
    with pytest.raises(TypeError, match="flat must have the dtype of image"):
        tamrix.flat(GOOD, GOOD.astype(np.uint32))


def unaligned(array):
    """The array's values in a buffer one byte off alignment."""
    moved = np.frombuffer(bytearray(array.nbytes + 1), array.dtype, count=array.size, offset=1).reshape(array.shape)
    moved[...] = array
    return moved


# What FITS readers (big-endian), Dask (unaligned buffers) and slicing hand over.
@pytest.mark.parametrize("dtype", [np.uint16, np.uint32])
@pytest.mark.parametrize("layout", [lambda a: a.astype(a.dtype.newbyteorder(">")), unaligned,
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


@pytest.mark.parametrize("dtype", [np.int16, np.float32])
def test_signed_and_floating_frames_are_pointed_to_the_mapping(dtype):
    with pytest.raises(TypeError, match=r"image must have dtype uint16 or uint32, got .*; use tamrix.to_frame\(array\) "
                                        "to map signed or floating-point data onto a frame"):
        tamrix.bin(GOOD.astype(dtype), bin_x=1)


def test_out_is_checked_like_an_input_and_read_only_inputs_are_accepted():
    with pytest.raises(ValueError, match=r"out must have shape \(6, 8\)"):
        tamrix.diff_dark(GOOD, GOOD, out=np.empty((6, 7), np.uint16))
    with pytest.raises(TypeError, match="out must have dtype uint16"):
        tamrix.diff_dark(GOOD, GOOD, out=np.empty((6, 8), np.uint32))
    readonly = GOOD.copy()
    readonly.flags.writeable = False
    with pytest.raises(ValueError, match="out must be a writable"):
        tamrix.diff_dark(GOOD, GOOD, out=readonly)
    assert tamrix.bin(readonly, bin_x=1).sum() == GOOD.sum()


def test_scalar_options_name_themselves_and_are_keyword_only():
    with pytest.raises(TypeError, match="bin_x must be an integer, not float"):
        tamrix.bin(GOOD, bin_x=2.0)
    with pytest.raises(TypeError, match="bin_y must be an integer, not bool"):
        tamrix.bin(GOOD, bin_x=2, bin_y=True)
    with pytest.raises(ValueError, match="bin_x must be in 1 .. 2147483647"):
        tamrix.bin(GOOD, bin_x=2**40)
    assert tamrix.bin(GOOD, bin_x=np.int64(2)).shape == (3, 4)
    with pytest.raises(TypeError):
        tamrix.bin(GOOD, 2)
