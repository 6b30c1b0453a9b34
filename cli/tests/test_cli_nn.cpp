// End-to-end: tamrix nn train | test | info, and tamrix stars --nn.
#include "cli_support.h"

#include <algorithm>
#include <sstream>

namespace tamrix::clitest {
namespace {

using test::IdxImages;
using test::IdxLabels;

// A network file as the library writes it: one "biases" line and one line of
// weights per neuron for every layer after the first.
std::string NetFile(const std::vector<int>& sizes, const std::vector<std::string>& lines)
{
    std::ostringstream s;
    s << "neural_network\r\nversion;1\r\nlayers;" << sizes.size() << "\r\n";
    for (size_t i = 0; i < sizes.size(); ++i)
        s << "layer;" << i << ';' << sizes[i] << "\r\n";
    for (const std::string& line : lines)
        s << line << "\r\n";
    return s.str();
}

std::string Repeat(const std::string& value, int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += ";" + value;
    return s;
}

// Four inputs, ten outputs that ignore the inputs: digit 3 always wins.
std::string AlwaysThree()
{
    std::vector<std::string> lines { "biases;1" + Repeat("-5.00000", 3) + ";5.00000" + Repeat("-5.00000", 6) };
    for (int j = 0; j < 10; ++j)
        lines.push_back("weights;1;" + std::to_string(j) + Repeat("0.00000", 4));
    return NetFile({ 4, 10 }, lines);
}

// Two 2 x 2 classes: the bright pixel in the left column is digit 0, in the
// right column digit 1.
void WriteTwoClasses(const std::string& images, const std::string& labels, int count, bool gzip)
{
    std::string pictures, digits;
    for (int k = 0; k < count; ++k) {
        const int row = k % 2 * 2;
        const bool right = k % 3 == 0;
        std::string p(4, static_cast<char>(k * 37 % 60));
        p[row + (right ? 1 : 0)] = static_cast<char>(200 + k % 50);
        pictures += p;
        digits.push_back(right ? 1 : 0);
    }
    const auto write = gzip ? WriteGzip : [](const std::string& path, const std::string& b) { WriteFile(path, b); };
    write(images, IdxImages(count, 2, 2, pictures));
    write(labels, IdxLabels(count, digits));
}

using Nn = Cli;

TEST_F(Nn, TrainLearnsTwoClassesWithALinePerEpochAndTestCountsThem)
{
    WriteTwoClasses(dir / "i.gz", dir / "l.gz", 120, true);
    std::vector<std::string> args = { "nn", "train", dir / "i.gz", dir / "l.gz", "--hidden", "6", "-e", "40", "-b", "4",
        "--rate", "2", "--seed", "5", "-o", dir / "two.net" };
    const Result run = Ok(args);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1 + 40) << run.err; // the settings, each epoch
    EXPECT_TRUE(Has(run.err, "epoch 40/40: "));
    EXPECT_TRUE(Has(run.out, "training set: 120 / 120 correct"));
    EXPECT_EQ(Tamrix({ "nn", "info", dir / "two.net" }).out,
        dir / "two.net" + ": 3 layers, 4-6-10 neurons, 100 weights and biases\n");
    std::string labels; // 1, 0, 1, 0 ...: right for half the pictures
    for (int k = 0; k < 120; ++k)
        labels += char(k % 2 == 0);
    WriteFile(dir / "half", IdxLabels(120, labels));
    EXPECT_EQ(Ok({ "nn", "test", dir / "two.net", dir / "i.gz", dir / "half" }).out,
        dir / "i.gz" + ": 60 / 120 correct (50.00 %)\n");

    // The same seed gives the same network.
    args.back() = dir / "again.net";
    Ok(args);
    EXPECT_EQ(ReadFile(dir / "again.net"), ReadFile(dir / "two.net"));
}

// A hang-up, a closed pipe or the file size limit ends the program at once;
// the network's temporary file, open all through the training, goes too.
TEST_F(Nn, KilledTrainingLeavesNoTemporary)
{
    WriteTwoClasses(dir / "i", dir / "l", 120, false);
    for (const int signal : { SIGHUP, SIGPIPE, SIGXFSZ }) {
        const Result run
            = Tamrix({ "nn", "train", dir / "i", dir / "l", "--hidden", "6", "-e", "100000", "-o", dir / "out.net" },
                "epoch 1/", signal);
        EXPECT_EQ(run.status, 128 + signal) << run.err;
        EXPECT_EQ(dir.Files(), (std::vector<std::string> { "i", "l" })) << signal;
    }
}

TEST_F(Nn, BadDataSetsAndNetworksNameTheFileAndLeaveNoOutput)
{
    WriteTwoClasses(dir / "i", dir / "l", 20, false);
    WriteFile(dir / "l19", IdxLabels(19, std::string(19, 1)));
    WriteFile(dir / "l10", IdxLabels(20, std::string("\1\2\n", 3) + std::string(17, 0)));
    WriteFile(dir / "cut", IdxImages(2, 2, 2, std::string(7, 1)));
    const auto train = [&](const std::string& images, const std::string& labels) {
        return Tamrix({ "nn", "train", images, labels, "-b", "2", "-o", dir / "out.net" });
    };
    ExpectOneLineError(train(dir / "l", dir / "l"), 3, dir / "l", "not an IDX image file (magic number 2049");
    ExpectOneLineError(train(dir / "i", dir / "l19"), 5, dir / "l19", "19 labels for the 20 images");
    ExpectOneLineError(train(dir / "i", dir / "l10"), 3, dir / "l10", "label 10 of sample 2 is not a digit");
    ExpectOneLineError(train(dir / "cut", dir / "l"), 3, dir / "cut", "too short for its 2 images of 2 x 2");
    ExpectOneLineError(train(dir / "none", dir / "l"), 3, dir / "none", "no such file");
    ExpectOneLineError(Tamrix({ "nn", "train", dir / "i", dir / "l", "-b", "20", "-o", dir / "out.net" }), 2, dir / "i",
        "20 samples are too few for batches of 20");
    WriteFile(dir / "a.net", AlwaysThree());
    WriteFile(dir / "i9", IdxImages(20, 3, 3, std::string(180, 1)));
    ExpectOneLineError(Tamrix({ "nn", "train", dir / "i9", dir / "l", "--from", dir / "a.net", "-o", dir / "out.net" }),
        5, dir / "a.net", "takes 4 inputs, but the images of " + dir / "i9" + " have 9 pixels");
    // A network whose file could not be read back: refused before training.
    const Result wide = Tamrix({ "nn", "train", dir / "i", dir / "l", "--hidden", "1100,1000", "-o", dir / "out.net" });
    ExpectOneLineError(wide, 2, "--hidden", "4-1100-1000-10 network takes at least");
    EXPECT_FALSE(Has(wide.err, "training"));
    // A bad network file gives the loader's message: read for its shape alone
    // (nn info) or whole (nn test, stars).
    WriteFile(dir / "bad.net", "neural_network\r\nversion;2\r\n");
    const std::string message
        = "bad.net: Chyba \u010dten\u00ed neuronov\u00e9 s\u00edt\u011b, line: 2, Wrong file version";
    ExpectOneLineError(Tamrix({ "nn", "info", dir / "bad.net" }), 3, dir / "bad.net", message);
    WriteU16(dir / "sky.fits", 8, 8, Values(64, 100));
    ExpectOneLineError(Tamrix({ "stars", dir / "sky.fits", "--network", dir / "bad.net", "--csv", dir / "out.csv" }), 3,
        dir / "bad.net", message);
    for (const std::string& f : dir.Files())
        EXPECT_EQ(f.find("out"), std::string::npos) << f;
}

// A 5 x 5 window network that rates a window by its centre alone: a centre
// within a third of the window's range of its top scores at least 0.95.
std::string CentreNet()
{
    std::string weights = "weights;1;0" + Repeat("0.00000", 12) + ";20.00000" + Repeat("0.00000", 12);
    return NetFile({ 25, 1 }, { "biases;1;-10.00000", weights });
}

// On 48 x 32 pixels of level 500, two stars of sigma 1 px: the network given
// finds each once. The frame and the star list beside it train a network
// that tamrix stars takes; a list with a star outside its frame is refused
// before anything is written.
TEST_F(Nn, StarsWithANetworkFindsEachStarOnceAndTrainStarsLearnsFromTheFramesList)
{
    WriteSky(dir / "sky.fits", 48, 32, 500, 2, { { 12.2, 10.0, 3000, 1.0 }, { 33.0, 21.7, 3000, 1.0 } });
    WriteFile(dir / "c.net", CentreNet());
    const Result run = Ok({ "stars", dir / "sky.fits", "--network", dir / "c.net" });
    const std::string header = run.out.substr(0, run.out.find('\n') + 1);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 3) << run.out;
    // Raster order: the upper star first.
    EXPECT_EQ(run.out.find("\n12,10,"), header.size() - 1) << run.out;
    EXPECT_EQ(run.out.rfind("\n33,22,"), run.out.find('\n', header.size()));

    // The logistic output stays below 1: a level of 1 finds nothing.
    EXPECT_EQ(Tamrix({ "stars", dir / "sky.fits", "--network", dir / "c.net", "--level", "1" }).out, header);
    ExpectOneLineError(Tamrix({ "stars", dir / "sky.fits", "--network", dir / "c.net", "-r", "3" }), 5, dir / "c.net",
        "half-size 2, not --radius 3");
    WriteFile(dir / "a.net", AlwaysThree());
    ExpectOneLineError(Tamrix({ "stars", dir / "sky.fits", "--network", dir / "a.net", "--csv", dir / "out.csv" }), 5,
        dir / "a.net", "4-10 network does not rate star windows");
    EXPECT_EQ(Tamrix({ "stars", dir / "sky.fits", "--network", dir / "c.net", "-q", "3" }).status, 2);
    // The former form still works, with a line saying so.
    const Result former = Tamrix({ "stars", dir / "sky.fits", "--nn", dir / "c.net" });
    EXPECT_EQ(former.out, run.out);
    EXPECT_TRUE(Has(former.err, "--nn FILE is deprecated: use --network FILE"));
    Ok({ "stars", dir / "sky.fits", "--nn" }); // without a file, the shipped network (here the source tree's)

    WriteFile(dir / "sky.csv", "x,y\n12.2,10\n33,21.7\n");
    Ok({ "nn", "train-stars", dir / "sky.fits", "-r", "2", "-e", "2", "-o", dir / "s.net" });
    EXPECT_EQ(Tamrix({ "nn", "info", dir / "s.net" }).out,
        dir / "s.net" + ": 3 layers, 25-32-1 neurons, 865 weights and biases\n");
    Ok({ "stars", dir / "sky.fits", "--network", dir / "s.net" });
    WriteFile(dir / "sky.csv", "x,y\n12.2,10\n48,21.7\n");
    ExpectOneLineError(Tamrix({ "nn", "train-stars", dir / "sky.fits", "-o", dir / "t.net" }), 5, dir / "sky.csv",
        "a star at 48, 21.7 lies outside the 48 x 32 frame");
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "a.net", "c.net", "s.net", "sky.csv", "sky.fits" }));
}

} // namespace
} // namespace tamrix::clitest
