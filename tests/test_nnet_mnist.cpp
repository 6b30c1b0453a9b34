// The data-set loader: IDX image and label files written by the test, and
// the headers it must refuse before allocating.
#include "nnet_support.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

using nnet::CMNIST;
using nnet::TSIMDlevel;
using tamrix::test::ScratchDir;
using tamrix::test::WriteFile;
constexpr auto Images = tamrix::test::IdxImages;
constexpr auto Labels = tamrix::test::IdxLabels;
using namespace nnet::test;

namespace {

// One set of outputs, filled with marks that show what LoadMNIST wrote.
struct Set {
    int count = -7, inputSize = -7, outputSize = -7;
    float** inputs = reinterpret_cast<float**>(uintptr_t { 8 });
    float** targets = reinterpret_cast<float**>(uintptr_t { 8 });
};

class Mnist : public ::testing::Test {
protected:
    // Writes the two files and loads them into set or, without one, into the
    // training set of data (by default data_, which frees it).
    bool Load(const std::string& images, const std::string& labels, Set* set = nullptr, CMNIST* data = nullptr)
    {
        const std::string i = WriteFile(dir_ / "images", images), l = WriteFile(dir_ / "labels", labels);
        CMNIST& d = data != nullptr ? *data : data_;
        if (set != nullptr)
            return d.LoadMNIST(1000, i.c_str(), 1000, l.c_str(), &set->count, &set->inputSize, &set->inputs,
                &set->outputSize, &set->targets);
        return d.LoadMNIST(1000, i.c_str(), 1000, l.c_str(), &d.TrainCount, &d.TrainInputSize, &d.TrainInputs,
            &d.TrainOutputSize, &d.TrainOutputs);
    }

    ScratchDir dir_;
    CMNIST data_;
};

TEST_F(Mnist, PixelsScaleToMinusOneToOneInAlignedVectorsLabelsBecomeOneHotTargetsAndNoImagesAnEmptySet)
{
    const std::string pixels = { 0, '\x80', '\xff', 1, 127, 2, 10, 20, 30, 40, 50, 60 };
    for (TSIMDlevel level : Levels()) {
        CMNIST data;
        data.SIMDlevel = level;
        ASSERT_TRUE(Load(Images(2, 2, 3, pixels), Labels(2, { 9, 0 }), nullptr, &data));
        ASSERT_EQ(data.TrainCount, 2);
        ASSERT_EQ(data.TrainInputSize, 6);
        ASSERT_EQ(data.TrainOutputSize, 10);
        for (int k = 0; k < 2; ++k)
            EXPECT_TRUE(Aligned(data.TrainInputs[k], level) && Aligned(data.TrainOutputs[k], level)) << k;
        const std::vector<float> first = { -1.0f, 0.0f, 0.9921875f, -0.9921875f, -0.0078125f, -0.984375f };
        EXPECT_EQ(std::vector<float>(data.TrainInputs[0], data.TrainInputs[0] + 6), first);
        EXPECT_EQ(data.TrainInputs[1][5], -0.53125f);
        EXPECT_EQ(std::vector<float>(data.TrainOutputs[0], data.TrainOutputs[0] + 10),
            (std::vector<float> { 0, 0, 0, 0, 0, 0, 0, 0, 0, 1 }));
        EXPECT_EQ(std::vector<float>(data.TrainOutputs[1], data.TrainOutputs[1] + 10),
            (std::vector<float> { 1, 0, 0, 0, 0, 0, 0, 0, 0, 0 }));
        EXPECT_EQ(data.TestInputs, nullptr); // the other set is untouched
    }
    ASSERT_TRUE(Load(Images(0, 28, 28, ""), Labels(0, "")));
    EXPECT_EQ(data_.TrainCount, 0);
    EXPECT_EQ(data_.TrainInputSize, 784);
    EXPECT_EQ(data_.TrainOutputSize, 10);
}

TEST_F(Mnist, ALabelCountOtherThanTheImagesOrALabelOf10FailsAfterTheImagesWhichStay)
{
    EXPECT_FALSE(Load(Images(3, 1, 2, { 0, 0, 0, '\x80', 0, 0 }), Labels(4, { 1, 2, 3, 4 })));
    EXPECT_EQ(data_.TrainCount, 3);
    ASSERT_NE(data_.TrainInputs, nullptr);
    EXPECT_EQ(data_.TrainInputs[1][1], 0.0f);
    EXPECT_EQ(data_.TrainOutputs, nullptr);
    // A label of 10 fails with the targets before it set.
    CMNIST ten;
    EXPECT_FALSE(Load(Images(3, 1, 1, { 0, 0, 0 }), Labels(3, { 4, 10, 2 }), nullptr, &ten));
    ASSERT_NE(ten.TrainOutputs, nullptr);
    EXPECT_EQ(ten.TrainOutputs[0][4], 1.0f);
    EXPECT_EQ(ten.TrainOutputs[2], nullptr);
}

TEST_F(Mnist, BadFilesAndHeadersAreRefusedBeforeAnythingIsWritten)
{
    const std::string labels = Labels(1, { 0 });
    const struct {
        const char* what;
        std::string images;
    } cases[] = {
        { "the label file given as the image file", Labels(10, std::string(10, 1)) },
        { "a short header", Images(1, 1, 1, "x").substr(0, 15) },
        { "an image short of its pixels", Images(2, 2, 2, std::string(7, 0)) },
        { "images of no pixels", Images(1000000, 0, 28, "") },
    };
    for (const auto& c : cases) {
        Set set;
        EXPECT_FALSE(Load(c.images, labels, &set)) << c.what;
        EXPECT_EQ(set.count, -7) << c.what;
        EXPECT_EQ(set.inputSize, -7) << c.what;
        EXPECT_EQ(set.inputs, reinterpret_cast<float**>(uintptr_t { 8 })) << c.what;
    }
    Set set;
    EXPECT_FALSE(data_.LoadMNIST(0, "x", 1000, "y", &set.count, &set.inputSize, &set.inputs, &set.outputSize,
        &set.targets)); // a name bound below 1
    EXPECT_FALSE(data_.LoadMNIST(1000, (dir_ / "missing").c_str(), 1000, "y", &set.count, &set.inputSize, &set.inputs,
        &set.outputSize, &set.targets));
    EXPECT_EQ(set.count, -7);

    // Label files: wrong magic, missing.
    const std::string images = Images(1, 1, 1, "x");
    CMNIST wrongMagic;
    EXPECT_FALSE(Load(images, images, nullptr, &wrongMagic));
    EXPECT_FALSE(data_.LoadMNIST(1000, WriteFile(dir_ / "images", images).c_str(), 1000, (dir_ / "missing").c_str(),
        &data_.TrainCount, &data_.TrainInputSize, &data_.TrainInputs, &data_.TrainOutputSize, &data_.TrainOutputs));
    EXPECT_EQ(data_.TrainCount, 1); // the images were read
}

} // namespace
