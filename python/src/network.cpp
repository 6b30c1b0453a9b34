// The network: construction, inference, training and its weights.
#include "network.h"

#include "bindings.h"
#include "stars.h"

#include "hostlib.h"
#include "intake/netfile.h"
#include "tamrix.h"

#include <pybind11/stl.h>

#include <cstring>
#include <stdexcept>

namespace tamrix::python {

std::vector<int> Network::Layers() const
{
    std::vector<int> layers;
    for (int i = 0; i < net.NumLayers; ++i)
        layers.push_back(net.Layers[i]->NumNeurons);
    return layers;
}

Network::Use::Use(Network& network)
    : network_(network)
{
    if (network.owner_.load() == std::this_thread::get_id())
        throw std::runtime_error("the network is busy in this thread (a callback cannot use the network it reports on)");
    {
        py::gil_scoped_release release;
        network.mutex_.lock();
    }
    network.owner_.store(std::this_thread::get_id());
}

Network::Use::~Use()
{
    network_.owner_.store(std::thread::id{});
    network_.mutex_.unlock();
}

void CheckLayerSizes(const std::vector<int>& layers, const char* name)
{
    try {
        intake::CheckNetworkShape(layers);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(std::string(name) + ": " + e.what());
    }
}

namespace {

std::vector<int> LayerList(py::handle layers)
{
    if (!py::isinstance<py::sequence>(layers) || py::isinstance<py::str>(layers))
        throw py::type_error("layers must be a sequence of neuron counts");
    std::vector<int> counts;
    for (py::handle item : layers)
        counts.push_back(static_cast<int>(IntArg(item, "layers", 1, 1 << 24)));
    CheckLayerSizes(counts, "layers");
    return counts;
}

// A 2-D float32 C-contiguous batch of vectors of `length` values (a 1-D
// vector is a batch of one, flagged by single).
struct Batch {
    py::array array;
    const float* data = nullptr;
    py::ssize_t rows = 0;
    bool single = false;
};

Batch BatchArg(py::handle obj, const char* name, int length, bool allowSingle)
{
    if (!py::isinstance<py::array_t<float>>(obj))
        throw py::type_error(Named(name, "must be a numpy.ndarray of dtype float32"));
    auto array = py::reinterpret_borrow<py::array>(obj);
    if (!(array.flags() & py::array::c_style))
        throw py::value_error(Named(name, "must be C-contiguous"));
    Batch batch;
    if (allowSingle && array.ndim() == 1) {
        batch.single = true;
        batch.rows = 1;
    } else if (array.ndim() == 2) {
        batch.rows = array.shape(0);
    } else {
        throw py::value_error(Named(name, allowSingle ? "must be 1-D or 2-D" : "must be 2-D (one sample per row)"));
    }
    const py::ssize_t cols = array.shape(array.ndim() - 1);
    if (cols != length)
        throw py::value_error(Named(name, "must have " + std::to_string(length) + " values per "
                                              + (batch.single ? "vector" : "row") + ", got " + std::to_string(cols)));
    batch.data = static_cast<const float*>(array.data());
    batch.array = std::move(array);
    return batch;
}

std::vector<float*> RowPointers(const Batch& b, int length)
{
    std::vector<float*> rows(static_cast<std::size_t>(b.rows));
    for (py::ssize_t i = 0; i < b.rows; ++i)
        rows[i] = const_cast<float*>(b.data) + i * length;
    return rows;
}

// The epoch message of one Learn call: it posts and must not block, so it
// only records what the caller hands to Python afterwards.
struct EpochReport {
    bool posted = false;
    uint32_t milliseconds = 0;
};

void OnEpoch(void* context, unsigned message, uintptr_t /*epoch*/, intptr_t milliseconds)
{
    if (message != nnet::kLearnEpochMessage)
        return;
    auto& report = *static_cast<EpochReport*>(context);
    report.posted = true;
    report.milliseconds = static_cast<uint32_t>(milliseconds);
}

std::unique_ptr<Network> NewNetwork(py::handle layers, py::handle simdLevel)
{
    auto network = std::make_unique<Network>();
    if (!simdLevel.is_none())
        network->net.SIMDlevel = static_cast<nnet::TSIMDlevel>(
            IntArg(simdLevel, "simd_level", 0, network->net.GetSIMDlevel()));
    if (!layers.is_none()) {
        const std::vector<int> counts = LayerList(layers);
        network->net.Init(static_cast<int>(counts.size()), counts.data());
    }
    return network;
}

py::array Infer(Network& network, py::handle input)
{
    Network::Use use(network);
    const std::vector<int> layers = network.Layers();
    if (layers.empty())
        throw py::value_error("the network has no layers");
    const int nIn = layers.front(), nOut = layers.back();
    const Batch batch = BatchArg(input, "input", nIn, true);
    py::array_t<float> output = batch.single ? py::array_t<float>(nOut) : py::array_t<float>({batch.rows, py::ssize_t{nOut}});
    float* out = output.mutable_data();
    {
        py::gil_scoped_release release;
        for (py::ssize_t i = 0; i < batch.rows; ++i)
            network.net.Infer(nIn, batch.data + i * nIn, nOut, out + i * nOut);
    }
    return output;
}

void Learn(Network& network, py::handle inputs, py::handle targets, py::handle batchSize, py::handle learningRate,
           py::handle epochs, py::object onEpoch)
{
    Network::Use use(network);
    const std::vector<int> layers = network.Layers();
    if (layers.size() < 2)
        throw py::value_error("the network needs at least two layers to learn");
    const int nIn = layers.front(), nOut = layers.back();
    const Batch in = BatchArg(inputs, "inputs", nIn, false);
    const Batch out = BatchArg(targets, "targets", nOut, false);
    if (in.rows != out.rows)
        throw py::value_error("inputs and targets must have the same number of rows");
    if (in.rows > INT32_MAX)
        throw py::value_error("inputs must have fewer than 2^31 rows");
    const int b = static_cast<int>(IntArg(batchSize, "batch_size", 1, INT32_MAX));
    const auto rate = static_cast<float>(FloatArg(learningRate, "learning_rate"));
    const long long count = IntArg(epochs, "epochs", 0, INT32_MAX);
    if (!onEpoch.is_none() && !PyCallable_Check(onEpoch.ptr()))
        throw py::type_error("on_epoch must be callable");

    std::vector<float*> inRows = RowPointers(in, nIn), outRows = RowPointers(out, nOut);
    EpochReport report;
    THostWindow window{&report, nullptr, &OnEpoch};
    // One epoch per call: the same training as one call for all epochs (the
    // shuffles draw from one generator), and between epochs the callback
    // runs with the GIL and Ctrl-C is noticed.
    for (long long e = 0; e < count; ++e) {
        bool ok;
        {
            py::gil_scoped_release release;
            ok = network.net.Learn(static_cast<int>(in.rows), nIn, inRows.data(), nOut, outRows.data(), b, rate,
                                   0.0f, 1, onEpoch.is_none() ? nullptr : &window);
        }
        if (!ok)
            throw std::bad_alloc(); // every other refusal was ruled out above
        if (!onEpoch.is_none() && report.posted)
            onEpoch(e, report.milliseconds);
        report.posted = false;
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
    }
}

py::tuple GetWeights(Network& network, py::handle layer)
{
    Network::Use use(network);
    const int l = static_cast<int>(IntArg(layer, "layer", 1, std::max(1, network.net.NumLayers - 1)));
    if (network.net.NumLayers < 2)
        throw py::value_error("the network has no weights");
    const nnet::CLayer& L = *network.net.Layers[l];
    const int n = L.NumNeurons, m = L.Prev->NumNeurons;
    py::array_t<float> weights({n, m}), biases(n);
    for (int i = 0; i < n; ++i)
        std::memcpy(weights.mutable_data(i), L.Weights[i], sizeof(float) * m);
    std::memcpy(biases.mutable_data(), L.Biases, sizeof(float) * n);
    return py::make_tuple(weights, biases);
}

void SetWeights(Network& network, py::handle layer, py::handle weights, py::handle biases)
{
    Network::Use use(network);
    const int l = static_cast<int>(IntArg(layer, "layer", 1, std::max(1, network.net.NumLayers - 1)));
    if (network.net.NumLayers < 2)
        throw py::value_error("the network has no weights");
    nnet::CLayer& L = *network.net.Layers[l];
    const int n = L.NumNeurons, m = L.Prev->NumNeurons;
    const Batch w = BatchArg(weights, "weights", m, false);
    if (w.rows != n)
        throw py::value_error("weights must have shape (" + std::to_string(n) + ", " + std::to_string(m) + ")");
    const Batch b = BatchArg(biases, "biases", n, true);
    if (!b.single)
        throw py::value_error("biases must be 1-D");
    for (int i = 0; i < n; ++i)
        std::memcpy(L.Weights[i], w.data + static_cast<std::ptrdiff_t>(i) * m, sizeof(float) * m);
    std::memcpy(L.Biases, b.data, sizeof(float) * n);
}

py::tuple FindStarsNN(py::handle image, Network& network, py::handle halfSize, py::handle level)
{
    const Frame frame = FrameArg(image, "image");
    // The window must fit the network's input layer, at most 2^24 neurons.
    const int r = static_cast<int>(IntArg(halfSize, "half_size", 0, 2047));
    const auto threshold = static_cast<float>(FloatArg(level, "level"));
    Network::Use use(network);
    const std::vector<int> layers = network.Layers();
    const int window = (2 * r + 1) * (2 * r + 1);
    if (layers.size() < 2 || layers.front() != window || layers.back() != 1)
        throw py::value_error("network must have " + std::to_string(window)
                              + " inputs (the window of half_size) and one output");
    ClaimMask claim(frame, py::none());
    StarList stars;
    {
        py::gil_scoped_release release;
        tamrix::FindStarsNN(&network.net, r, threshold, frame.data, frame.width, frame.height, frame.depth,
                            claim.Words(), &stars, &CollectStar);
    }
    return py::make_tuple(stars.ToArray(), claim.Unpack());
}

} // namespace

void BindNetwork(py::module_& m)
{
    m.def(
        "random_seed",
        [](py::handle seed) {
            if (seed.is_none())
                Lib::UnfixSeed();
            else
                Lib::FixSeed(static_cast<uint64_t>(IntArg(seed, "seed", 0, INT64_MAX)));
        },
        py::arg("seed"),
        R"doc(random_seed(seed)

Make the library's random numbers (initial network weights, training
shuffles) reproducible from an integer seed; None returns to seeding from the
clock. Process-wide: call it while no other thread builds or trains a network.)doc");

    auto cls = py::class_<Network>(m, "Network", R"doc(Network(layers=None, *, simd_level=None)

A fully connected feed-forward network with logistic activations, trained by
mini-batch backpropagation on the squared error, in single precision.

Parameters
----------
layers : sequence of int, optional
    Neuron counts, input layer first (1 to 100 layers). None gives an empty
    network, to be filled by load().
simd_level : int, optional
    Force a vector level below the detected one (0 scalar, 1 SSE3, 2 AVX,
    3 AVX2).

The GIL is released while the network computes; one network serves one
thread at a time (other threads wait).)doc");
    cls.def(py::init(&NewNetwork), py::arg("layers") = py::none(), py::kw_only(), py::arg("simd_level") = py::none());
    cls.def_property_readonly(
        "layers", [](Network& n) { return py::tuple(py::cast(n.Layers())); }, "Neuron counts, input layer first.");
    cls.def_property_readonly(
        "simd_level", [](Network& n) { return static_cast<int>(n.net.GetSIMDlevel()); },
        "The vector level the network evaluates with (0 scalar, 1 SSE3, 2 AVX, 3 AVX2).");
    cls.def("infer", &Infer, py::arg("input"), R"doc(infer(input)

Evaluate the network.

Parameters
----------
input : float32 array of shape (n_in,) or (n, n_in)

Returns
-------
float32 array of shape (n_out,) or (n, n_out).)doc");
    cls.def("learn", &Learn, py::arg("inputs"), py::arg("targets"), py::kw_only(), py::arg("batch_size"),
            py::arg("learning_rate"), py::arg("epochs") = 1, py::arg("on_epoch") = py::none(),
            R"doc(learn(inputs, targets, *, batch_size, learning_rate, epochs=1, on_epoch=None)

Train by mini-batch gradient descent: every epoch shuffles the samples and
runs batches while the batch start is below n - batch_size (so the last
batch of each epoch is left out), each followed by
w -= learning_rate / batch_size * (sum of the batch's gradients).

Parameters
----------
inputs : float32 array of shape (n, n_in)
targets : float32 array of shape (n, n_out)
batch_size : int >= 1
learning_rate : float
epochs : int >= 0
on_epoch : callable, optional
    Called as on_epoch(epoch, milliseconds) after every epoch (epoch from 0),
    on the calling thread; an exception it raises stops the training.)doc");
    cls.def("check_nans", [](Network& n) {
        Network::Use use(n);
        return n.net.CheckNANs();
    }, "check_nans()\n\nTrue when no weight or bias is NaN (infinities pass).");
    m.def("find_stars_nn", &FindStarsNN, py::arg("image"), py::arg("network"), py::kw_only(), py::arg("half_size"),
          py::arg("level"), R"doc(find_stars_nn(image, network, *, half_size, level)

Find stars with a trained network, on the calling thread.

Every pixel at least half_size from each edge has its (2 half_size + 1)^2
window (as sub_frame_to_vector gives it) put to the network; it is a
candidate when the output is at least level. Each 4-connected group of
candidates is one star, in the raster order of its first pixel, with the
centroid weighted by raw values, the sum of raw values as flux and the
largest value as peak.

Parameters
----------
image : 2-D uint16 or uint32 array
network : tamrix.Network with (2 half_size + 1)^2 inputs and one output
half_size : int >= 0
level : float

Returns
-------
stars : structured array as find_stars returns it.
mask : 2-D bool array marking exactly the reported stars' pixels.)doc");

    cls.def("get_weights", &GetWeights, py::arg("layer"), R"doc(get_weights(layer)

Copies of the weights (float32, shape (n, m): row i holds the weights of
neuron i from the m neurons of the previous layer) and biases (n,) of layer
1 .. len(layers) - 1.)doc");
    BindNetworkFiles(m, cls);

    cls.def("set_weights", &SetWeights, py::arg("layer"), py::arg("weights"), py::arg("biases"),
            "set_weights(layer, weights, biases)\n\nReplace the weights and biases of a layer (shapes as get_weights).");
}

} // namespace tamrix::python
