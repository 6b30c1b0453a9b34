// The network's files: the text format (save, load, parameters) and the
// MNIST-style IDX data sets.
#include "network.h"

#include "intake/netfile.h"
#include "nnet.h"

#include <pybind11/stl.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace tamrix::python {

namespace {

constexpr int kMessageBound = 1023; // the library's messages are far shorter

// A file name as the library takes it: the bytes of os.fsencode(path). A NUL
// would silently cut the name, so it is refused here.
std::string PathArg(py::handle path, const char* name)
{
    py::object encoded;
    try {
        encoded = py::module_::import("os").attr("fsencode")(path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError))
            throw;
        throw py::type_error(Named(name, "must be a str, bytes or os.PathLike file name"));
    }
    auto bytes = encoded.cast<std::string>();
    if (bytes.empty() || bytes.find('\0') != std::string::npos)
        throw py::value_error(Named(name, "must be a non-empty file name without NUL characters"));
    return bytes;
}

int Bound(const std::string& s)
{
    if (s.size() > static_cast<std::size_t>(INT32_MAX))
        throw py::value_error("file name too long");
    return static_cast<int>(s.size());
}

[[noreturn]] void RaiseMessage(const char* message)
{
    throw NetworkFileError(intake::LibraryMessage(message));
}

py::tuple Parameters(py::handle path)
{
    const std::string file = PathArg(path, "path");
    std::vector<int> counts;
    std::string error;
    {
        py::gil_scoped_release release;
        try {
            counts = intake::ReadNetworkShape(file);
        } catch (const std::runtime_error& e) { // names the file
            error = e.what();
        }
    }
    if (!error.empty())
        throw NetworkFileError(error);
    return py::tuple(py::cast(counts));
}

void Save(Network& network, py::handle path)
{
    const std::string file = PathArg(path, "path");
    Network::Use use(network);
    if (network.net.NumLayers < 1)
        throw py::value_error("the network has no layers to save");
    char message[kMessageBound + 1] = {};
    bool ok;
    {
        py::gil_scoped_release release;
        ok = network.net.SaveNet(Bound(file), file.c_str(), kMessageBound, message);
    }
    if (!ok)
        RaiseMessage(message);
}

void Load(Network& network, py::handle path)
{
    const std::string file = PathArg(path, "path");
    // The file is read into a network of its own: the library keeps what it
    // has read of a file that fails among its values, and a failed load must
    // leave this network as it was. The level never changes after
    // construction, so it is read without the lock.
    nnet::CNetwork loaded;
    loaded.SIMDlevel = network.net.GetSIMDlevel();
    char message[kMessageBound + 1] = {};
    bool ok;
    {
        py::gil_scoped_release release;
        ok = loaded.LoadNet(Bound(file), file.c_str(), kMessageBound, message);
    }
    if (!ok)
        RaiseMessage(message);

    Network::Use use(network);
    network.net.Done();
    network.net = loaded; // member-wise: both now hold the layers
    for (int i = 0; i < network.net.NumLayers; ++i)
        network.net.Layers[i]->Network = &network.net; // the owner whose level frees their buffers
    loaded = nnet::CNetwork(); // so that only one of the two releases them
}

py::tuple LoadMNIST(py::handle images, py::handle labels)
{
    const std::string imageFile = PathArg(images, "images"), labelFile = PathArg(labels, "labels");
    nnet::CMNIST set; // owns whatever the loader made, read in full or not
    bool ok;
    {
        py::gil_scoped_release release;
        ok = set.LoadMNIST(Bound(imageFile), imageFile.c_str(), Bound(labelFile), labelFile.c_str(), &set.TrainCount,
                           &set.TrainInputSize, &set.TrainInputs, &set.TrainOutputSize, &set.TrainOutputs);
    }
    if (!ok)
        throw NetworkFileError("cannot read " + py::str(images).cast<std::string>() + " and "
                               + py::str(labels).cast<std::string>()
                               + " as MNIST image and label files (a missing or unreadable file, a wrong magic "
                                 "number, a file shorter than its header, counts that differ or a label above 9)");
    const py::ssize_t count = set.TrainCount, in = set.TrainInputSize, out = set.TrainOutputSize;
    py::array_t<float> inputs({count, in}), targets({count, out});
    float* inData = inputs.mutable_data();
    float* outData = targets.mutable_data();
    {
        py::gil_scoped_release release;
        for (py::ssize_t i = 0; i < count; ++i) {
            std::memcpy(inData + i * in, set.TrainInputs[i], sizeof(float) * in);
            std::memcpy(outData + i * out, set.TrainOutputs[i], sizeof(float) * out);
        }
    }
    return py::make_tuple(inputs, targets);
}

constexpr const char* kLoadMnistDoc = R"doc(load_mnist(images, labels)

Read an MNIST-style IDX image file (magic 2051, count, rows, columns, one
byte per pixel) and its label file (magic 2049, the same count, one byte per
label 0 .. 9), in the form learn() takes.

Returns
-------
inputs : float32 array of shape (n, rows * columns), pixel / 128 - 1
targets : float32 array of shape (n, 10), one-hot labels

Raises tamrix.NetworkFileError when the files cannot be read or do not form
such a pair.)doc";

} // namespace

void BindNetworkFiles(py::module_& m, py::class_<Network>& cls)
{
    cls.def("save", &Save, py::arg("path"), R"doc(save(path)

Write the network to a text file (values with 5 decimals), replacing any
file of that name. Raises tamrix.NetworkFileError with the library's message
when the file cannot be written.)doc");
    cls.def("load", &Load, py::arg("path"), R"doc(load(path)

Replace the network by the one in a file written by save(). Raises
tamrix.NetworkFileError with the library's message, which names the line and
what was expected there; the network is then left as it was.)doc");
    cls.def_static("parameters", &Parameters, py::arg("path"), R"doc(Network.parameters(path)

The neuron counts of the network in a file, input layer first, read from
the file's header only, however long. Raises tamrix.NetworkFileError with the
file name and the library's message when load() would refuse the header.)doc");
    cls.def_static("load_mnist", &LoadMNIST, py::arg("images"), py::arg("labels"),
                   "Network.load_mnist(images, labels)\n\nThe same as tamrix.load_mnist.");
    m.def("load_mnist", &LoadMNIST, py::arg("images"), py::arg("labels"), kLoadMnistDoc);
}

} // namespace tamrix::python
