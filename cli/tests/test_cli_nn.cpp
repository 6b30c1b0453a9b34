// End-to-end: tamrix nn train | test | info, and tamrix stars --nn.
#include "cli_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace tamrix::clitest {
namespace {

using Bytes = std::vector<unsigned char>;

void Put32(Bytes& b, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        b.push_back(static_cast<unsigned char>(v >> shift));
}

void WriteBytes(const std::string& path, const Bytes& b, bool gzip = false)
{
    if (gzip) {
        gzFile f = gzopen(path.c_str(), "wb");
        gzwrite(f, b.data(), static_cast<unsigned>(b.size()));
        gzclose(f);
    } else {
        WriteText(path, std::string(b.begin(), b.end()));
    }
}

Bytes Images(int rows, int columns, const std::vector<Bytes>& images)
{
    Bytes b;
    Put32(b, 2051);
    Put32(b, static_cast<uint32_t>(images.size()));
    Put32(b, rows);
    Put32(b, columns);
    for (const Bytes& image : images)
        b.insert(b.end(), image.begin(), image.end());
    return b;
}

Bytes Labels(const Bytes& labels)
{
    Bytes b;
    Put32(b, 2049);
    Put32(b, static_cast<uint32_t>(labels.size()));
    b.insert(b.end(), labels.begin(), labels.end());
    return b;
}

// A network file as the library writes it: one "biases" line and one line of
// weights per neuron for every layer after the first.
std::string NetFile(const std::vector<int>& sizes, const std::vector<std::vector<std::string>>& lines)
{
    std::ostringstream s;
    s << "neural_network\r\nversion;1\r\nlayers;" << sizes.size() << "\r\n";
    for (size_t i = 0; i < sizes.size(); ++i)
        s << "layer;" << i << ';' << sizes[i] << "\r\n";
    for (const auto& layer : lines)
        for (const std::string& line : layer)
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
    std::vector<std::string> lines { "biases;1;-5.00000;-5.00000;-5.00000;5.00000;-5.00000;-5.00000;-5.00000;-5.00000;"
                                     "-5.00000;-5.00000" };
    for (int j = 0; j < 10; ++j)
        lines.push_back("weights;1;" + std::to_string(j) + Repeat("0.00000", 4));
    return NetFile({ 4, 10 }, { lines });
}

// Two 2 x 2 classes: the bright pixel in the left column is digit 0, in the
// right column digit 1.
void WriteTwoClasses(const std::string& images, const std::string& labels, int count, bool gzip)
{
    std::vector<Bytes> pictures;
    Bytes digits;
    for (int k = 0; k < count; ++k) {
        const unsigned char row = static_cast<unsigned char>(k % 2 * 2), dim = static_cast<unsigned char>(k * 37 % 60);
        const bool right = k % 3 == 0;
        Bytes p(4, dim);
        p[row + (right ? 1 : 0)] = static_cast<unsigned char>(200 + k % 50);
        pictures.push_back(p);
        digits.push_back(right ? 1 : 0);
    }
    WriteBytes(images, Images(2, 2, pictures), gzip);
    WriteBytes(labels, Labels(digits), gzip);
}

void ExpectOneLineError(const Result& run, int status, const std::string& file, const std::string& problem)
{
    EXPECT_EQ(run.status, status) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_NE(run.err.find(file), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(problem), std::string::npos) << run.err;
}

class Nn : public ::testing::Test {
protected:
    Scratch dir;
};

TEST_F(Nn, InfoReadsTheHeader)
{
    WriteText(dir / "a.net", AlwaysThree());
    const Result run = Tamrix({ "nn", "info", dir / "a.net" });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, dir / "a.net" + ": 2 layers, 4-10 neurons, 50 weights and biases\n");

    // A header longer than the library's 1024-byte window of LoadNetParameters.
    const std::vector<int> hundred(100, 1);
    WriteText(dir / "long.net", NetFile(hundred, {}));
    const Result longer = Tamrix({ "nn", "info", dir / "long.net" });
    ASSERT_EQ(longer.status, 0) << longer.err;
    std::string ones = "1";
    for (int i = 1; i < 100; ++i)
        ones += "-1";
    EXPECT_EQ(longer.out, dir / "long.net" + ": 100 layers, " + ones + " neurons, 198 weights and biases\n");
}

TEST_F(Nn, TestCountsTheLargestOutputAgainstTheLabel)
{
    WriteText(dir / "a.net", AlwaysThree());
    WriteBytes(dir / "i", Images(2, 2, { Bytes(4, 0), Bytes(4, 9), Bytes(4, 255), Bytes(4, 1), Bytes(4, 7) }));
    WriteBytes(dir / "l.gz", Labels({ 3, 3, 1, 3, 0 }), true);
    const Result run = Tamrix({ "nn", "test", dir / "a.net", dir / "i", dir / "l.gz" });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, dir / "i" + ": 3 / 5 correct (60.00 %)\n");
}

TEST_F(Nn, TrainLearnsTwoClassesWithALinePerEpoch)
{
    WriteTwoClasses(dir / "i.gz", dir / "l.gz", 120, true);
    const Result run = Tamrix({ "nn", "train", dir / "i.gz", dir / "l.gz", "--hidden", "6", "-e", "40", "-b", "4",
        "--rate", "2", "--seed", "5", "-o", dir / "two.net" });
    ASSERT_EQ(run.status, 0) << run.err;
    for (int e = 1; e <= 40; ++e)
        EXPECT_NE(run.err.find("epoch " + std::to_string(e) + "/40: "), std::string::npos) << e;
    EXPECT_EQ(run.err.find("epoch 41/"), std::string::npos);
    EXPECT_NE(run.out.find("training set: 120 / 120 correct"), std::string::npos) << run.out;
    EXPECT_EQ(Tamrix({ "nn", "info", dir / "two.net" }).out,
        dir / "two.net" + ": 3 layers, 4-6-10 neurons, 100 weights and biases\n");

    // The same seed gives the same network.
    ASSERT_EQ(Tamrix({ "nn", "train", dir / "i.gz", dir / "l.gz", "--hidden", "6", "-e", "40", "-b", "4", "--rate", "2",
                         "--seed", "5", "-q", "-o", dir / "again.net" })
                  .status,
        0);
    EXPECT_EQ(ReadText(dir / "again.net"), ReadText(dir / "two.net"));
}

// A hang-up, a closed pipe or the file size limit ends the program at once;
// the network's temporary file, open all through the training, goes too.
class KilledTraining : public ::testing::TestWithParam<int> {
protected:
    Scratch dir;
};

TEST_P(KilledTraining, LeavesNoTemporary)
{
    WriteTwoClasses(dir / "i", dir / "l", 120, false);
    const Result run
        = Tamrix({ "nn", "train", dir / "i", dir / "l", "--hidden", "6", "-e", "100000", "-o", dir / "out.net" },
            "epoch 1/", GetParam());
    EXPECT_EQ(run.status, 128 + GetParam()) << run.err;
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "i", "l" }));
}

INSTANTIATE_TEST_SUITE_P(Nn, KilledTraining, ::testing::Values(SIGHUP, SIGPIPE, SIGXFSZ), [](const auto& info) {
    return info.param == SIGHUP ? "Sighup" : info.param == SIGPIPE ? "Sigpipe" : "Sigxfsz";
});

TEST_F(Nn, BadDataSetsNameTheFileAndLeaveNoNetwork)
{
    WriteTwoClasses(dir / "i", dir / "l", 20, false);
    WriteBytes(dir / "l19", Labels(Bytes(19, 1)));
    WriteBytes(dir / "l10", Labels({ 1, 2, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 }));
    Bytes cut = Images(2, 2, { Bytes(4, 1), Bytes(4, 2) });
    cut.pop_back();
    WriteBytes(dir / "cut", cut);
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
    WriteText(dir / "a.net", AlwaysThree());
    WriteBytes(dir / "i9", Images(3, 3, std::vector<Bytes>(20, Bytes(9, 1))));
    ExpectOneLineError(Tamrix({ "nn", "train", dir / "i9", dir / "l", "--from", dir / "a.net", "-o", dir / "out.net" }),
        5, dir / "a.net", "takes 4 inputs, but the images of " + dir / "i9" + " have 9 pixels");
    // A network whose file could not be read back: refused before training.
    const Result wide = Tamrix({ "nn", "train", dir / "i", dir / "l", "--hidden", "1100,1000", "-o", dir / "out.net" });
    ExpectOneLineError(wide, 2, "--hidden", "4-1100-1000-10 network takes at least");
    EXPECT_EQ(wide.err.find("training"), std::string::npos);
    for (const std::string& f : dir.Files())
        EXPECT_EQ(f.find("out"), std::string::npos) << f;
}

TEST_F(Nn, ABadNetworkFileGivesTheLoadersMessage)
{
    WriteText(dir / "bad.net", "neural_network\r\nversion;2\r\n");
    const std::string message
        = "bad.net: Chyba \u010dten\u00ed neuronov\u00e9 s\u00edt\u011b, line: 2, Wrong file version";
    ExpectOneLineError(Tamrix({ "nn", "info", dir / "bad.net" }), 3, dir / "bad.net", message);
    ExpectOneLineError(Tamrix({ "nn", "test", dir / "bad.net", dir / "i", dir / "l" }), 3, dir / "bad.net", message);
    WriteU16(dir / "sky.fits", 8, 8, std::vector<uint32_t>(64, 100));
    ExpectOneLineError(Tamrix({ "stars", dir / "sky.fits", "--network", dir / "bad.net", "--csv", dir / "out.csv" }), 3,
        dir / "bad.net", message);
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "bad.net", "sky.fits" }));
}

// A 5 x 5 window network that rates a window by its centre alone: a centre
// within a third of the window's range of its top scores at least 0.95.
std::string CentreNet()
{
    std::string weights = "weights;1;0" + Repeat("0.00000", 12) + ";20.00000" + Repeat("0.00000", 12);
    return NetFile({ 25, 1 }, { { "biases;1;-10.00000", weights } });
}

TEST_F(Nn, StarsWithANetworkFindsEachStarOnce)
{
    std::vector<uint32_t> sky(48 * 32, 500);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 48; ++x)
            for (const auto& s : { std::pair<double, double> { 12.2, 10.0 }, { 33.0, 21.7 } }) {
                const double d2 = (x - s.first) * (x - s.first) + (y - s.second) * (y - s.second);
                sky[size_t(y) * 48 + x] += uint32_t(3000 * std::exp(-d2 / 2));
            }
    WriteU16(dir / "sky.fits", 48, 32, sky);
    WriteText(dir / "c.net", CentreNet());
    const Result run = Tamrix({ "stars", dir / "sky.fits", "--network", dir / "c.net" });
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::string header, first, second, more;
    std::getline(lines, header);
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_FALSE(std::getline(lines, more)) << run.out;
    EXPECT_EQ(first.rfind("12,10,", 0), 0u) << run.out; // raster order: the upper star first
    EXPECT_EQ(second.rfind("33,22,", 0), 0u) << run.out;

    // The logistic output stays below 1: a level of 1 finds nothing.
    EXPECT_EQ(Tamrix({ "stars", dir / "sky.fits", "--network", dir / "c.net", "--level", "1" }).out, header + "\n");
    ExpectOneLineError(Tamrix({ "stars", dir / "sky.fits", "--network", dir / "c.net", "-r", "3" }), 5, dir / "c.net",
        "half-size 2, not --radius 3");
    WriteText(dir / "a.net", AlwaysThree());
    ExpectOneLineError(Tamrix({ "stars", dir / "sky.fits", "--network", dir / "a.net", "--csv", dir / "out.csv" }), 5,
        dir / "a.net", "4-10 network does not rate star windows");
    EXPECT_EQ(Tamrix({ "stars", dir / "sky.fits", "--network", dir / "c.net", "-q", "3" }).status, 2);
    EXPECT_EQ(Tamrix({ "stars", dir / "sky.fits", "--level", "0.5" }).status, 2);
    // The former form still works, with a line saying so.
    const Result former = Tamrix({ "stars", dir / "sky.fits", "--nn", dir / "c.net" });
    EXPECT_EQ(former.out, run.out);
    EXPECT_NE(former.err.find("--nn FILE is deprecated: use --network FILE"), std::string::npos) << former.err;
    // Without a file, the shipped network (here the source tree's).
    EXPECT_EQ(Tamrix({ "stars", dir / "sky.fits", "--nn" }).status, 0);
}

// A frame and the star list beside it train a network that tamrix stars
// takes; a list with a star outside its frame is refused before anything is
// written.
TEST_F(Nn, TrainStarsLearnsFromFramesAndTheirLists)
{
    std::vector<uint32_t> sky(48 * 32, 500);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 48; ++x)
            for (const auto& s : { std::pair<double, double> { 12.2, 10.0 }, { 33.0, 21.7 } }) {
                const double d2 = (x - s.first) * (x - s.first) + (y - s.second) * (y - s.second);
                sky[size_t(y) * 48 + x] += uint32_t(3000 * std::exp(-d2 / 2)) + uint32_t((x * 7 + y * 13) % 5);
            }
    WriteU16(dir / "sky.fits", 48, 32, sky);
    WriteText(dir / "sky.csv", "x,y\n12.2,10\n33,21.7\n");
    const Result run = Tamrix({ "nn", "train-stars", dir / "sky.fits", "-r", "2", "-e", "2", "-o", dir / "s.net" });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Tamrix({ "nn", "info", dir / "s.net" }).out,
        dir / "s.net" + ": 3 layers, 25-32-1 neurons, 865 weights and biases\n");
    EXPECT_EQ(Tamrix({ "stars", dir / "sky.fits", "--network", dir / "s.net" }).status, 0);
    WriteText(dir / "sky.csv", "x,y\n12.2,10\n48,21.7\n");
    ExpectOneLineError(Tamrix({ "nn", "train-stars", dir / "sky.fits", "-o", dir / "t.net" }), 5, dir / "sky.csv",
        "a star at 48, 21.7 lies outside the 48 x 32 frame");
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "s.net", "sky.csv", "sky.fits" }));
}

} // namespace
} // namespace tamrix::clitest
