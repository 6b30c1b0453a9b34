import threading

import numpy as np
import pytest

import tamrix


@pytest.fixture(autouse=True)
def fixed_seed():
    tamrix.random_seed(1234)
    yield
    tamrix.random_seed(None)


def xor_problem(repeat=16):
    inputs = np.array([[0, 0], [0, 1], [1, 0], [1, 1]], np.float32)
    targets = np.array([[0], [1], [1], [0]], np.float32)
    return np.tile(inputs, (repeat, 1)), np.tile(targets, (repeat, 1))


def test_learns_xor():
    net = tamrix.Network([2, 6, 1])
    inputs, targets = xor_problem()
    epochs = []
    net.learn(inputs, targets, batch_size=4, learning_rate=3.0, epochs=1500,
              on_epoch=lambda epoch, ms: epochs.append(epoch))
    assert epochs == list(range(1500))
    out = net.infer(inputs[:4])
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
    inputs, targets = xor_problem()
    seen = []

    def on_epoch(epoch, ms):
        seen.append(epoch)
        if epoch == 2:
            raise RuntimeError("enough")

    with pytest.raises(RuntimeError, match="enough"):
        net.learn(inputs, targets, batch_size=4, learning_rate=1.0, epochs=100, on_epoch=on_epoch)
    assert seen == [0, 1, 2]
    with pytest.raises(RuntimeError, match="busy in this thread"):
        net.learn(inputs, targets, batch_size=4, learning_rate=1.0, epochs=1,
                  on_epoch=lambda epoch, ms: net.infer(inputs[0]))


def test_threads_share_a_network_one_at_a_time():
    net = tamrix.Network([16, 32, 4])
    x = np.random.default_rng(5).normal(size=(200, 16)).astype(np.float32)
    expected = net.infer(x)
    results = [None] * 4
    threads = [threading.Thread(target=lambda i=i: results.__setitem__(i, net.infer(x))) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        np.testing.assert_array_equal(r, expected)
