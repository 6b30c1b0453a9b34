// libFuzzer target: LoadNetParameters on any bytes, with an array shorter
// than the most layers a file may have.
#include "fuzz_support.h"
#include "nnet.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const tamrix::fuzz::ScratchFile file("loadnetparameters");
    const std::string& path = file.Write(data, size);
    nnet::CNetwork net;
    int layers = -1, neurons[8];
    char message[200];
    if (net.LoadNetParameters(1000, path.c_str(), &layers, 7, neurons, sizeof message - 1, message)) {
        if (layers < 1 || layers > 8)
            std::abort();
        for (int i = 0; i < layers; ++i)
            if (neurons[i] < 1)
                std::abort();
    } else if (std::memchr(message, '\0', sizeof message) == nullptr) {
        std::abort();
    }
    if (net.NumLayers != 0)
        std::abort();
    return 0;
}
