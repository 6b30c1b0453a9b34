// The Python face of nnet::CNetwork: the network with a lock, since the GIL
// is released while it computes and one network serves one thread at a time.
#pragma once

#include "args.h"

#include "nnet.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace tamrix::python {

class Network {
public:
    nnet::CNetwork net;

    // Neuron counts, input layer first (empty for an empty network).
    std::vector<int> Layers() const;

    // Holds the network for one call. Taken with the GIL released (so that a
    // thread waiting here never blocks one that needs the GIL to finish); a
    // callback that reaches for the network it is reporting on gets an error
    // instead of a deadlock.
    class Use {
    public:
        explicit Use(Network& network);
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

    private:
        Network& network_;
    };

private:
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
};

// Per-layer neuron counts the bindings accept: the shapes a network file can
// carry (intake::CheckNetworkShape), which also bounds the memory; raises
// ValueError naming the parameter.
void CheckLayerSizes(const std::vector<int>& layers, const char* name);

// Raised as tamrix.NetworkFileError (an OSError) when a network or data file
// cannot be written or read.
struct NetworkFileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Adds save, load, parameters and load_mnist to the Network class, and the
// module's load_mnist.
void BindNetworkFiles(py::module_& m, py::class_<Network>& cls);

} // namespace tamrix::python
