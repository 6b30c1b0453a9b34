// libFuzzer target: LoadNet on any bytes, into a network that already has
// layers. A loaded network must evaluate; a refused file must leave a
// terminated message.
#include "fuzz_support.h"
#include "nnet.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const tamrix::fuzz::ScratchFile file("loadnet");
    const std::string& path = file.Write(data, size);
    nnet::CNetwork net;
    const int sizes[] = { 3, 2 };
    net.Init(2, sizes);
    char message[48];
    if (net.LoadNet(1000, path.c_str(), sizeof message - 1, message)) {
        std::vector<float> in(static_cast<size_t>(net.Layers[0]->NumNeurons), 0.5f);
        std::vector<float> out(static_cast<size_t>(net.Layers[net.NumLayers - 1]->NumNeurons));
        if (!net.Infer(static_cast<int>(in.size()), in.data(), static_cast<int>(out.size()), out.data()))
            std::abort();
    } else if (std::memchr(message, '\0', sizeof message) == nullptr) {
        std::abort();
    }
    return 0;
}
