// Training windows for a star network: every pixel of a frame gets a label
// (a star's centre, or one of the kinds of pixel that must not be taken for
// one, or no label), and windows are cut around a sample of them with the
// library's SubFrameToVector, so that the network learns exactly the inputs
// FindStarsNN gives it. Used by the training program of the shipped network
// (whose simulator labels its own artefacts) and by tamrix nn train-stars
// (labels from a star list).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nnet {
class CNetwork;
}

namespace tamrix::detect {

// Pixel labels. A star's centre is the one positive kind; the others are
// negatives drawn in their own proportions; kIgnore pixels are never drawn.
enum Label : uint8_t {
    kIgnore = 0, // near a star but not its centre, or too faint to judge
    kCentre = 1, // within 1 pixel of a star's centre
    kSky = 2, // nothing there: the noise's own peaks are drawn most
    kWing = 3, // a bright star's wings, where a careless network splits it
    kArtefact = 4, // hot pixels, cosmic rays, bad columns and their neighbours
    kGalaxy = 5, // extended light that is no star
    kLabels = 6,
};

struct LabelMap {
    int width = 0, height = 0;
    std::vector<uint8_t> labels; // row-major, Label values
};

struct LabelledStar {
    double x = 0, y = 0; // centre, 0-based, pixel centres at whole numbers
    double fwhm = 2; // its width, pixels
    bool judged = true; // false: too faint to be a positive, its pixels ignored
};

// A map of kSky with, for every star, its ignore disc (radius max(2, 0.35
// FWHM)), its wings (to 2 FWHM + 2, bright stars only) and its centre pixels
// (within 1 pixel) painted on, centres last so that a close companion keeps
// its own.
LabelMap LabelStars(int width, int height, const std::vector<LabelledStar>& stars);

struct Samples {
    int inputs = 0; // floats per window
    std::vector<float> windows; // inputs floats per sample
    std::vector<float> targets; // 1 for kCentre, 0 otherwise
};

// Windows of half-size r around every kCentre pixel and, per centre, the
// given number of each negative kind (kSky half from the noise's local
// maxima, half anywhere), drawn with a generator seeded by seed; a kind
// with fewer pixels gives them all. Pixels within r of the edge and
// windows of equal pixels are left out. Appends to out.
void CutSamples(const void* frame, int width, int height, int depth, const LabelMap& map, int r,
    const double (&perCentre)[kLabels], uint32_t seed, Samples& out);

// The negatives per centre used for the shipped network.
constexpr double kDefaultMix[kLabels] = { 0, 0, 7, 2, 2, 3 };

// Windows for a network of half-size r from a frame and its star list: the
// frame's FWHM (from the classic detector's measure) sizes every star's
// discs; the mix is kDefaultMix. Returns the number of stars used.
size_t FrameSamples(const void* frame, int width, int height, int depth, std::vector<LabelledStar> stars, int r,
    uint32_t seed, Samples& out);

// The level the shipped network (data/stars.net) is used at: the lowest at
// which it made no more false detections than the classic detector with its
// defaults on simulated fields it was not trained on (train_star_net).
constexpr float kShippedLevel = 0.98f;

// A network of (2r+1)^2 inputs, `hidden` neurons and one output, trained on
// the samples with the library's Learn (batches of 16, rate 1) at the scalar
// level from Lib::FixSeed(seed): the same samples and seed give the same
// network on every machine. False when Learn refuses.
bool TrainStarNetwork(const Samples& samples, int hidden, int epochs, uint32_t seed, nnet::CNetwork& net);

} // namespace tamrix::detect
