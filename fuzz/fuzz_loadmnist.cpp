// libFuzzer target: LoadMNIST on an image file and a label file cut from one
// input (its first two bytes give the image file's length), into a set that
// the destructor must free whatever happens.
#include "fuzz_support.h"
#include "nnet.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const tamrix::fuzz::ScratchFile images("images"), labels("labels");
    if (size < 2)
        return 0;
    const size_t rest = size - 2;
    size_t split = static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8;
    if (split > rest)
        split = rest;
    const std::string& imagePath = images.Write(data + 2, split);
    const std::string& labelPath = labels.Write(data + 2 + split, rest - split);
    nnet::CMNIST set;
    if (set.LoadMNIST(1000, imagePath.c_str(), 1000, labelPath.c_str(), &set.TrainCount, &set.TrainInputSize,
            &set.TrainInputs, &set.TrainOutputSize, &set.TrainOutputs)) {
        for (int k = 0; k < set.TrainCount; ++k) {
            float sum = 0.0f;
            for (int c = 0; c < 10; ++c)
                sum += set.TrainOutputs[k][c];
            if (sum != 1.0f || (set.TrainInputSize > 0 && set.TrainInputs[k][0] < -1.0f))
                std::abort();
        }
    }
    return 0;
}
