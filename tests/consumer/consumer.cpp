// A program outside the tamrix tree, built against an installed tamrix: bins a
// small frame, runs a network and reads the shipped network's header.
//
//   consumer STARS_NET
#include "nnet.h"
#include "tamrix.h"
#include "tamrix_version.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer STARS_NET\n");
        return 2;
    }
    uint16_t frame[4 * 4];
    for (int i = 0; i < 16; ++i)
        frame[i] = static_cast<uint16_t>(i + 1);
    uint32_t binned[2 * 2] = {};
    tamrix::Bin(2, 2, frame, binned, 4, 4, 2);
    if (binned[0] != 1 + 2 + 5 + 6 || binned[3] != 11 + 12 + 15 + 16) {
        std::fprintf(stderr, "Bin gave %u .. %u\n", binned[0], binned[3]);
        return 1;
    }

    const int sizes[] = {2, 1};
    nnet::CNetwork net(2, sizes);
    const float input[2] = {0.5f, -0.5f};
    float output = -1;
    if (!net.Infer(2, input, 1, &output) || !(output > 0 && output < 1)) {
        std::fprintf(stderr, "Infer failed\n");
        return 1;
    }

    int layers = 0, neurons[8] = {};
    char message[256] = "";
    if (!net.LoadNetParameters(int(std::strlen(argv[1])) + 1, argv[1], &layers, 7, neurons, sizeof message, message)
        || layers != 3 || neurons[0] != 121 || neurons[2] != 1) {
        std::fprintf(stderr, "%s: %s\n", argv[1], message);
        return 1;
    }
    std::printf("tamrix %s: ok\n", TAMRIX_VERSION_STRING);
    return 0;
}
