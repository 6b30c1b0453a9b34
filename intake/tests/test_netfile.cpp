// Network files: the header reader against the library's LoadNet, and the
// shortest file of a shape against what SaveNet writes.
#include "intake/netfile.h"

#include "nnet_support.h"
#include "support.h"

#include <gtest/gtest.h>

#include <stdexcept>

using tamrix::intake::CheckNetworkShape;
using tamrix::intake::LibraryMessage;
using tamrix::intake::ReadNetworkShape;
using tamrix::intake::ShortestNetworkFile;
using tamrix::test::ScratchDir;
using tamrix::test::WriteFile;

namespace {

// A network of these sizes, every value 0, as SaveNet writes it into `path`.
std::string SavedZeros(const std::vector<int>& sizes, const std::string& path)
{
    const auto net = nnet::test::Build(nnet::SIMD_NONE, sizes);
    for (int i = 1; i < net->NumLayers; ++i)
        for (int j = 0; j < sizes[i]; ++j) {
            net->Layers[i]->Biases[j] = 0.0f;
            std::fill_n(net->Layers[i]->Weights[j], sizes[i - 1], 0.0f);
        }
    char message[200] = {};
    EXPECT_TRUE(net->SaveNet(1000, path.c_str(), 199, message)) << message;
    return tamrix::test::ReadFile(path);
}

// Windows-1250 to UTF-8: ASCII as it is, letters of one, two and three
// UTF-8 bytes, and the bytes the code page leaves undefined as U+FFFD.
TEST(LibraryMessage, DecodesWindows1250)
{
    EXPECT_EQ(LibraryMessage("a\x80\x81\x8A\x9F\xA0\xFF, line: 3"), "a\u20ac\ufffd\u0160\u017a\u00a0\u02d9, line: 3");
}

// Whole files, LoadNet's verdict the reference: the same shape when it loads
// them, its message (in UTF-8, after the file name) when it refuses them.
TEST(NetworkShape, ReadsTheHeadersLoadNetReadsWithItsMessagesAndNoWindow)
{
    ScratchDir dir;
    const std::string one = SavedZeros({ 1, 1 }, dir / "net.txt"), single = SavedZeros({ 8388608 }, dir / "net.txt");
    auto replaced = [](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    const std::string files[] = {
        one,
        SavedZeros(std::vector<int>(100, 1), dir / "net.txt"), // the last layer line ends past byte 1024
        replaced(one, "\r\nversion", "\nversion"),
        replaced(one, "version;1", "version;2"),
        replaced(one, "layers;2", "layers;0"),
        replaced(one, "layers;2", "layers;101"),
        replaced(one, "layer;1;1", "layer;2;1"),
        replaced(one, "layer;1;1", "layer;1;0"),
        replaced(one, "layer;1;1", "layer;1;2147483648"),
        replaced(one, "layer;1;1\r\n", "layer;1;1"),
        one + std::string(nnet::kNetFileMaxBytes, ' '),
        single,
        replaced(single, "8388608", "8388609"),
    };
    const std::string cp1250 = nnet::kNetFileReadError;
    const std::string utf8 = "Chyba \u010dten\u00ed neuronov\u00e9 s\u00edt\u011b";
    for (const std::string& text : files) {
        const std::string path = WriteFile(dir / "net.txt", text);
        nnet::CNetwork net;
        char message[300] = {};
        const bool loads = net.LoadNet(1000, path.c_str(), 299, message);
        try {
            const std::vector<int> sizes = ReadNetworkShape(path);
            ASSERT_TRUE(loads) << message;
            ASSERT_EQ(sizes.size(), static_cast<size_t>(net.NumLayers));
            for (int i = 0; i < net.NumLayers; ++i)
                EXPECT_EQ(sizes[i], net.Layers[i]->NumNeurons);
        } catch (const std::runtime_error& e) {
            ASSERT_FALSE(loads) << e.what();
            ASSERT_EQ(std::string(message).rfind(cp1250, 0), 0u);
            EXPECT_EQ(e.what(), path + ": " + utf8 + (message + cp1250.size()));
        }
    }
}

// The largest shape that passes the check saves, as zeros, into a file of
// exactly the computed size that LoadNet reads back; one more neuron fails.
TEST(NetworkShape, TheShortestFileIsWhatSaveNetWritesForZerosAndBoundsTheShape)
{
    ScratchDir dir;
    auto savedBytes = [&](const std::vector<int>& sizes) {
        const auto bytes = static_cast<int64_t>(SavedZeros(sizes, dir / "net.txt").size());
        nnet::CNetwork net;
        char message[200] = {};
        EXPECT_TRUE(net.LoadNet(1000, (dir / "net.txt").c_str(), 199, message)) << message;
        return bytes;
    };
    // Indices and counts of one, two and three digits.
    const std::vector<int> digits = { 12, 105, 3, 1, 1, 1, 1, 1, 1, 1, 1, 2 };
    EXPECT_EQ(ShortestNetworkFile(digits), savedBytes(digits));

    int inputs = 0;
    for (int step = 1 << 30; step > 0; step /= 2)
        if (ShortestNetworkFile({ inputs + step, 1 }) <= nnet::kNetFileMaxBytes)
            inputs += step;
    EXPECT_NO_THROW(CheckNetworkShape({ inputs, 1 }));
    EXPECT_EQ(savedBytes({ inputs, 1 }), ShortestNetworkFile({ inputs, 1 }));
    EXPECT_THROW(CheckNetworkShape({ inputs + 1, 1 }), std::invalid_argument);

    EXPECT_THROW(CheckNetworkShape({ 4, 65536, 65536, 10 }), std::invalid_argument); // 17 GB in memory
    EXPECT_NO_THROW(CheckNetworkShape({ 8388608 })); // no values: a single layer has a cap of its own
    EXPECT_THROW(CheckNetworkShape({ 8388609 }), std::invalid_argument);
}

} // namespace
