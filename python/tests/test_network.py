"""tamrix.Network: training and inference on float32 arrays, its callbacks,
threads and files, and the MNIST reader."""

import struct
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import tamrix

READ_ERROR = "Chyba čtení neuronové sítě"
XOR_INPUTS = np.tile(np.float32([[0, 0], [0, 1], [1, 0], [1, 1]]), (16, 1))
XOR_TARGETS = np.tile(np.float32([[0], [1], [1], [0]]), (16, 1))


@pytest.fixture(autouse=True)
def fixed_seed():
    tamrix.random_seed(1234)
    yield
    tamrix.random_seed(None)


def test_learns_xor_reporting_every_epoch():
    net = tamrix.Network([2, 6, 1])
    epochs = []
    net.learn(XOR_INPUTS, XOR_TARGETS, batch_size=4, learning_rate=3.0, epochs=1500,
              on_epoch=lambda epoch, ms: epochs.append(epoch))
    assert epochs == list(range(1500))
    out = net.infer(XOR_INPUTS[:4])
    assert out.shape == (4, 1) and out.dtype == np.float32
    np.testing.assert_array_equal(out[:, 0] > 0.5, [False, True, True, False])
    assert net.check_nans()


def test_layers_levels_and_weights():
    net = tamrix.Network([4, 3, 2])
    assert net.layers == (4, 3, 2) and 0 <= net.simd_level <= 3
    assert tamrix.Network([4, 3, 2], simd_level=0).simd_level == 0
    assert tamrix.Network().layers == ()
    w, b = net.get_weights(2)
    w[0, 1] = np.nan
    net.set_weights(2, w, b)
    assert not net.check_nans()


def test_an_exception_in_on_epoch_stops_training_and_a_callback_cannot_use_the_network():
    net = tamrix.Network([2, 3, 1])
    seen = []

    def on_epoch(epoch, ms):
        seen.append(epoch)
        if epoch == 2:
            raise RuntimeError("enough")

    with pytest.raises(RuntimeError, match="enough"):
        net.learn(XOR_INPUTS, XOR_TARGETS, batch_size=4, learning_rate=1.0, epochs=100, on_epoch=on_epoch)
    assert seen == [0, 1, 2]
    with pytest.raises(RuntimeError, match="busy in this thread"):
        net.learn(XOR_INPUTS, XOR_TARGETS, batch_size=4, learning_rate=1.0, epochs=1,
                  on_epoch=lambda epoch, ms: net.infer(XOR_INPUTS[0]))


def test_threads_share_a_network_one_at_a_time():
    net = tamrix.Network([16, 32, 4])
    x = np.random.default_rng(5).normal(size=(50000, 16)).astype(np.float32)
    expected = net.infer(x)
    with ThreadPoolExecutor(4) as pool:
        for result in pool.map(lambda _: net.infer(x), range(8)):
            np.testing.assert_array_equal(result, expected)


def test_save_load_round_trip_and_a_bad_file_that_keeps_the_network(tmp_path):
    saved, path = tamrix.Network([3, 4, 2]), tmp_path / "net.txt"
    saved.save(path)
    net = tamrix.Network()
    net.load(path)
    assert net.layers == (3, 4, 2)
    x = np.random.default_rng(2).normal(size=(5, 3)).astype(np.float32)
    before = net.infer(x)
    np.testing.assert_allclose(before, saved.infer(x), atol=1e-4)  # the file's 5 decimals
    path.write_bytes(b"neural_network\r\nversion;2\r\n")
    with pytest.raises(tamrix.NetworkFileError) as error:
        net.load(path)
    assert str(error.value) == READ_ERROR + ", line: 2, Wrong file version"
    # A value that fails after the layers were built: the library keeps the
    # file's layers, the binding keeps the network it had.
    tamrix.Network([2, 3, 1]).save(path)
    text = path.read_bytes()
    path.write_bytes(text[:text.rindex(b";") + 1] + b"x.5\r\n")
    with pytest.raises(tamrix.NetworkFileError, match="line: 12, Expected floating point number"):
        net.load(path)
    assert net.layers == (3, 4, 2)
    np.testing.assert_array_equal(net.infer(x), before)


@pytest.mark.parametrize("call, error, message", [
    (lambda d: tamrix.Network.parameters(d / "missing.txt"), OSError, READ_ERROR + ", Cannot open file"),
    (lambda d: tamrix.Network([1, 1]).save(d / "no" / "net.txt"), OSError, "Cannot create file"),
    (lambda d: tamrix.Network().load("net\0.txt"), ValueError, "NUL"),
    (lambda d: tamrix.Network().load(3), TypeError, "path"),
])
def test_file_and_argument_errors(tmp_path, call, error, message):
    with pytest.raises(error, match=message):
        call(tmp_path)


def write_idx(tmp_path, images, labels):
    image_path, label_path = tmp_path / "images.idx", tmp_path / "labels.idx"
    image_path.write_bytes(struct.pack(">IIII", 2051, *images.shape) + images.astype(np.uint8).tobytes())
    label_path.write_bytes(struct.pack(">II", 2049, len(labels)) + bytes(labels))
    return image_path, label_path


def test_load_mnist_scales_pixels_and_one_hot_labels_or_refuses_a_bad_pair(tmp_path):
    images = np.array([[[0, 128], [255, 64]], [[1, 2], [3, 4]]])
    inputs, targets = tamrix.load_mnist(*write_idx(tmp_path, images, [7, 0]))
    assert inputs.dtype == targets.dtype == np.float32 and targets.shape == (2, 10)
    np.testing.assert_array_equal(inputs, [[-1.0, 0.0, 0.9921875, -0.5],
                                           [-0.9921875, -0.984375, -0.9765625, -0.96875]])
    np.testing.assert_array_equal(targets, np.eye(10, dtype=np.float32)[[7, 0]])
    with pytest.raises(tamrix.NetworkFileError, match="as MNIST image and label files"):
        tamrix.Network.load_mnist(*write_idx(tmp_path, images, [7]))  # one label for two images
