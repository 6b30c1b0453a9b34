// The network text file: what SaveNet writes, what LoadNet and
// LoadNetParameters accept, and every message of a file they refuse.
#include "nnet_support.h"
#include "support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <utility>

using nnet::CNetwork;
using nnet::TSIMDlevel;
using tamrix::test::ReadFile;
using tamrix::test::WriteFile;
using namespace nnet::test;

namespace {

// The reader's message prefix in Windows-1250 bytes.
const std::string kRead = "Chyba \xE8ten\xED neuronov\xE9 s\xEDt\xEC";

std::string Crlf(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += line + "\r\n";
    return text;
}

// A 2-3-1 network as SaveNet writes it, and its values.
const std::vector<std::string> kSmall = {
    "neural_network",
    "version;1",
    "layers;3",
    "layer;0;2",
    "layer;1;3",
    "layer;2;1",
    "biases;1;0.10000;-0.20000;0.12346",
    "weights;1;0;2.50000;-0.00000",
    "weights;1;1;0.00000;-1.00000",
    "weights;1;2;0.70000;0.25000", // 0.7f lies below 0.7: rounded, not cut
    "biases;2;-3.00000",
    "weights;2;0;1.00000;0.75000;-0.12500",
};

class NetFile : public ::testing::Test {
protected:
    // Loads text into net; the message when it fails, "" when it loads.
    std::string Load(const std::string& text, CNetwork& net)
    {
        const std::string path = WriteFile(dir_ / "net.txt", text);
        char message[300] = "untouched";
        const bool loaded = net.LoadNet(1000, path.c_str(), 299, message);
        if (loaded) {
            EXPECT_STREQ(message, "untouched"); // success leaves the buffer alone
        }
        return loaded ? "" : message;
    }
    std::string Save(CNetwork& net)
    {
        const std::string path = dir_ / "saved.txt";
        char message[100];
        EXPECT_TRUE(net.SaveNet(1000, path.c_str(), 99, message)) << message;
        return ReadFile(path);
    }

    tamrix::test::ScratchDir dir_;
};

TEST_F(NetFile, LoadReadsEveryValueAndSaveWritesEveryLineWithCrLfAndFiveDecimals)
{
    CNetwork net;
    ASSERT_EQ(Load(Crlf(kSmall), net), "");
    EXPECT_EQ(Parameters(net),
        (std::vector<float> {
            2.5f, -0.0f, 0.1f, 0.0f, -1.0f, -0.2f, 0.7f, 0.25f, 0.12346f, 1.0f, 0.75f, -0.125f, -3.0f }));
    EXPECT_EQ(Save(net), Crlf(kSmall));

    // The reader refuses counts the rest of the file is too short for; the
    // shortest file of a shape is not, nor a single layer up to its own cap
    // (8,388,608 neurons), which needs no lines after the header.
    EXPECT_EQ(Load(Crlf({ "neural_network", "version;1", "layers;3", "layer;0;3", "layer;1;2", "layer;2;1",
                       "biases;1;0;0", "weights;1;0;1;2;3", "weights;1;1;4;5;6", "biases;2;7", "weights;2;0;8;9" }),
                  net),
        "");
    EXPECT_EQ(Load("neural_network\r\nversion;1\r\nlayers;1\r\nlayer;0;8388608\r\n", net), "");
    EXPECT_EQ(net.Layers[0]->NumNeurons, 8388608);
}

// The small file with line `index` replaced.
std::string With(size_t index, const std::string& line)
{
    std::vector<std::string> lines = kSmall;
    lines[index] = line;
    return Crlf(lines);
}

// Each text refused with the message of its first fault.
TEST_F(NetFile, RefusedTextNamesItsLineAndFault)
{
    const std::string whole = Crlf(kSmall);
    const std::pair<std::string, std::string> cases[] = {
        { "", ", line: 1, Expected keyword: neural_network" },
        { "neural-network\r\n", ", line: 1, Expected keyword: neural_network" },
        { "neural_network\n", ", line: 1, Expected CRLF" },
        { "neural_network\r\nversion;1", ", line: 2, Expected integer number" }, // runs to the end
        { whole.substr(0, whole.size() - 2), ", line: 12, Expected floating point number" },
        { whole.substr(0, whole.size() - 1), ", line: 12, Expected CRLF" },
        { whole.substr(0, whole.find("weights;1;1")), ", line: 9, Expected keyword: weights" },
        { With(1, "version;2"), ", line: 2, Wrong file version" },
        { With(1, "version;4294967297"), ", line: 2, Integer number too large" },
        { With(2, "layers;0"), ", line: 3, Wrong number of layers" },
        { With(2, "layers;101"), ", line: 3, Wrong number of layers" },
        { With(3, "layers;0;2"), ", line: 4, Expected ;" },
        { With(4, "layer;2;3"), ", line: 5, Wrong index" },
        { With(4, "layer;1;0"), ", line: 5, Wrong number of neurons" },
        { With(6, "biases;1;0.10000;-0.20000"), ", line: 7, Expected ;" },
        { With(6, "biases;1;0.10000;-0.20000;0.12346;1.0"), ", line: 7, Expected CRLF" },
        { With(6, "biases;1;1e-05;-0.20000;0.12346"), ", line: 7, Expected ;" },
        { With(6, "biases;1;+;-0.20000;0.12346"), ", line: 7, Expected floating point number" },
        { With(6, "biases;1;0.10000;-0.20000;0000000000000000000000000001.25"),
            ", line: 7, Expected floating point number" }, // 31 characters
        { With(8, "weights;1;2;0.00000;-1.00000"), ", line: 9, Wrong index" },
    };
    CNetwork net;
    for (const auto& [text, message] : cases)
        EXPECT_EQ(Load(text, net), kRead + message) << text.substr(0, 60);
}

TEST_F(NetFile, HundredLayersLoadAndTheirHeaderNeedsMoreThan1024Bytes)
{
    std::vector<int> sizes(100, 1);
    auto saved = Build(nnet::SIMD_NONE, sizes);
    const std::string text = Save(*saved);
    CNetwork net;
    ASSERT_EQ(Load(text, net), "");
    EXPECT_EQ(net.NumLayers, 100);

    int layers = 0, neurons[100];
    char message[200];
    EXPECT_FALSE(net.LoadNetParameters(1000, (dir_ / "net.txt").c_str(), &layers, 99, neurons, 199, message));
    EXPECT_EQ(layers, 100);
    EXPECT_EQ(message, kRead + ", line: 86, Expected CRLF"); // byte 1024 falls between the CR and LF of "layer;82;1"
}

// Also when the counts call for more values than the file holds: those
// fail where the values run out, without building the layers first.
TEST_F(NetFile, AFailureBeforeTheValuesOrForWantOfThemLeavesTheNetworkAsItWas)
{
    auto net = Build(nnet::SIMD_NONE, { 4, 2 });
    nnet::CLayer* const* layers = net->Layers;
    const float weight = net->Layers[1]->Weights[1][3];
    // must fail before allocating anything
    EXPECT_EQ(Load(With(5, "layer;2;4000000000"), *net), kRead + ", line: 6, Integer number too large");
    EXPECT_EQ(Load(With(5, "layer;2;2000000000"), *net), kRead + ", line: 11, Expected ;");
    std::vector<std::string> lines = kSmall;
    lines[3] = "layer;0;2147483647"; // the bound on the lines they need must not overflow
    lines[4] = "layer;1;2147483647";
    EXPECT_EQ(Load(Crlf(lines), *net), kRead + ", line: 7, Expected ;");
    EXPECT_EQ(Load("neural_network\r\nversion;1\r\nlayers;1\r\nlayer;0;8388609\r\n", *net),
        kRead + ", line: 4, Wrong number of neurons"); // a single layer has a cap of its own
    ASSERT_EQ(net->Layers, layers);
    EXPECT_EQ(net->NumLayers, 2);
    EXPECT_EQ(net->Layers[1]->Weights[1][3], weight);

    // A failure among the values: the file's shape, the values read so far.
    EXPECT_EQ(Load(With(8, "weights;1;1;0.00000;x"), *net), kRead + ", line: 9, Expected floating point number");
    ASSERT_EQ(net->NumLayers, 3);
    EXPECT_EQ(net->Layers[1]->Weights[0][0], 2.5f);
    EXPECT_EQ(net->Layers[1]->Weights[1][0], 0.0f);
}

TEST_F(NetFile, MessagesWithoutALineNumber)
{
    CNetwork net;
    char message[200];
    auto load = [&](int bound, const std::string& name) {
        EXPECT_FALSE(net.LoadNet(bound, name.c_str(), 199, message));
        return std::string(message);
    };
    EXPECT_EQ(load(0, "x"), kRead + ", Invalid file name");
    EXPECT_EQ(load(1000, ""), kRead + ", Invalid file name");
    EXPECT_EQ(load(1000, (dir_ / "missing.txt")), kRead + ", Cannot open file");
    EXPECT_EQ(load(1000, WriteFile(dir_ / "long.txt", std::string(0x800001, ' '))), kRead + ", file too long");
    EXPECT_EQ(load(1000, WriteFile(dir_ / "limit.txt", std::string(0x800000, ' '))),
        kRead + ", line: 1, Expected keyword: neural_network");
#if !defined(_WIN32)
    EXPECT_EQ(load(1000, (dir_ / "")), kRead + ", load file failed"); // a directory opens but does not read
#endif
    int layers = 0;
    EXPECT_FALSE(net.LoadNetParameters(0, nullptr, &layers, 0, nullptr, 199, message));
    EXPECT_EQ(message, kRead + ", Invalid file name");

    auto one = Build(nnet::SIMD_NONE, { 1 });
    EXPECT_FALSE(one->SaveNet(1000, "", 199, message));
    EXPECT_STREQ(message, "Error saving neural network, Invalid file name");
    EXPECT_FALSE(one->SaveNet(1000, (dir_ / "missing/net.txt").c_str(), 199, message));
    EXPECT_STREQ(message, "Error saving neural network, Cannot create file");
#if !defined(_WIN32)
    if (std::filesystem::exists("/dev/full")) { // every write fails there, as on a full disk
        EXPECT_FALSE(one->SaveNet(1000, "/dev/full", 199, message));
        EXPECT_STREQ(message, "Error saving neural network, Cannot write file");
    }
#endif
}

TEST_F(NetFile, HeaderReaderFillsTheCallersArrayOrNamesTheLayerCount)
{
    const std::string path = WriteFile(dir_ / "net.txt", Crlf(kSmall));
    CNetwork net;
    int layers = 0, neurons[4] = { -1, -1, -1, -1 };
    char message[200] = "untouched";
    ASSERT_TRUE(net.LoadNetParameters(1000, path.c_str(), &layers, 2, neurons, 199, message)); // bound L - 1
    EXPECT_EQ(layers, 3);
    EXPECT_EQ(std::vector<int>(neurons, neurons + 4), (std::vector<int> { 2, 3, 1, -1 }));
    EXPECT_STREQ(message, "untouched");
    EXPECT_EQ(net.NumLayers, 0);

    layers = 0;
    EXPECT_FALSE(net.LoadNetParameters(1000, path.c_str(), &layers, 1, neurons, 199, message)); // bound L - 2
    EXPECT_EQ(message, kRead + " parameters, 'NeuronsArray' too short (network has 3 layers)");
    EXPECT_EQ(layers, 3);

    // Only the header is read: values after it do not matter.
    const std::string header
        = WriteFile(dir_ / "header.txt", Crlf(std::vector<std::string>(kSmall.begin(), kSmall.begin() + 6)) + "junk");
    EXPECT_TRUE(net.LoadNetParameters(1000, header.c_str(), &layers, 9, neurons, 199, message));
    EXPECT_FALSE(net.LoadNet(1000, header.c_str(), 199, message));
}

// Whatever the network holds, SaveNet writes a file LoadNet reads or fails
// before it touches the file.
TEST_F(NetFile, SaveRefusesANetworkLoadNetWouldRefuseAndKeepsTheFile)
{
    const std::string badValue = "Error saving neural network, Weight or bias not finite or too large";
    const struct {
        std::vector<int> sizes;
        int layer, neuron, input; // the value to set: none in layer 0, a bias for input -1
        float value;
        std::string message;
    } cases[] = {
        { { 2, 3, 1 }, 1, 2, 0, 1e30f, badValue }, // more characters than the converter's buffer
        { { 2, 3, 1 }, 2, 0, -1, std::nanf(""), badValue }, // "nan"
        { { 2, 3, 1 }, 1, 0, 1, -3e23f, badValue }, // 31 characters
        { { 1000, 1100 }, 0, 0, 0, 0.0f, "Error saving neural network, File too long" }, // every line fits
        { {}, 0, 0, 0, 0.0f, "Error saving neural network, Wrong number of layers" },
        { std::vector<int>(101, 1), 0, 0, 0, 0.0f, "Error saving neural network, Wrong number of layers" },
        { { 8388609 }, 0, 0, 0, 0.0f, "Error saving neural network, Wrong number of neurons" },
        { { 2000000, 1 }, 0, 0, 0, 0.0f, "Error saving neural network, Line too long" }, // 2 000 000 weights
    };
    const std::string path = WriteFile(dir_ / "kept.txt", "kept");
    for (const auto& c : cases) {
        auto net = Build(nnet::SIMD_NONE, c.sizes);
        if (c.layer > 0)
            (c.input < 0 ? net->Layers[c.layer]->Biases[c.neuron] : net->Layers[c.layer]->Weights[c.neuron][c.input])
                = c.value;
        char message[100];
        EXPECT_FALSE(net->SaveNet(1000, path.c_str(), 99, message)) << c.message;
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(ReadFile(path), "kept") << c.message;
    }

    auto net = Build(nnet::SIMD_NONE, { 2, 1 });
    net->Layers[1]->Weights[0][1] = 3e23f; // 30 characters: the longest value the reader takes
    CNetwork loaded;
    EXPECT_EQ(Load(Save(*net), loaded), "");
    EXPECT_EQ(loaded.Layers[1]->Weights[0][1], 3e23f);
}

} // namespace
