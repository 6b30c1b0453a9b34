// Trains the star network shipped as data/stars.net and chooses its level.
//
//   train_star_net [output file] [epochs]     (default data/stars.net, 20)
//   train_star_net --validate NETWORK           the validation alone
//   train_star_net --field SEED PREFIX [SIZE]  one field for benchmarks
//
// --field writes PREFIX.raw (little-endian uint16, SIZE x SIZE, default
// 1024), PREFIX_truth.csv (x,y,flux,peak,fwhm,snr,saturated; snr the
// optimal one, F / sqrt(F / gain + NEA noise^2)) and PREFIX_artefacts.csv
// (kind,x0,y0,x1,y1,amplitude).
//
// Training fields: skyfield::MakeField seeds 1 .. 40 (512 x 512, each with
// its own sky, PSF, noise and artefacts, sky_fields.h). Validation fields:
// seeds 100001 .. 100012, never trained on; on them the saved network (as
// read back from its file, so with the file's rounding) finds stars through
// tamrix::detect as tamrix stars --nn does, at a ladder of levels beside the
// classic detector with the program's defaults, and the
// shipped level is the one where the most stars found less false detections
// is highest among those with no more false detections than the classic
// detector. Windows of 11 x 11 pixels (radius
// 5); labels and windows from tamrix::detect (training.h): a star's centre
// pixels are positives, its wings, the noise's peaks, artefacts and galaxies
// negatives. The network (121-32-1) is trained by detect::TrainStarNetwork
// at the scalar level from seed 2026, so the same build writes the same file
// on every machine.
#include "sky_fields.h"

#include "detect/stars.h"
#include "detect/training.h"
#include "nnet.h"
#include "tamrix.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

namespace {

constexpr int kRadius = 5;
constexpr int kHidden = 32;
constexpr uint32_t kTrainingSeeds = 40, kValidationFirst = 100001, kValidationSeeds = 12, kNetSeed = 2026;

struct Score {
    size_t stars = 0, found = 0, reports = 0, noise = 0, artefact = 0, galaxy = 0, split = 0;
    size_t False() const { return noise + artefact + galaxy + split; }
};

struct Report {
    double cx, cy;
};

// A judged star at least 6 pixels inside is found when a report lies within
// max(2, FWHM / 2) of it; a second report there is a split; a report near no
// star (nor a saturated area) is false, booked by the label under it.
void Tally(const skyfield::Field& f, const std::vector<Report>& reports, Score& score)
{
    std::vector<int> hits(f.stars.size(), 0);
    for (const Report& p : reports) {
        ++score.reports;
        size_t best = f.stars.size();
        double bestD = 1e30;
        for (size_t i = 0; i < f.stars.size(); ++i) {
            const double d = std::hypot(f.stars[i].x - p.cx, f.stars[i].y - p.cy);
            if (d <= std::max(2.0, f.stars[i].fwhm / 2) && d < bestD) {
                bestD = d;
                best = i;
            }
        }
        if (best < f.stars.size()) {
            if (hits[best]++ > 0)
                ++score.split;
            continue;
        }
        const int x = std::clamp(int(p.cx + 0.5), 0, f.width - 1), y = std::clamp(int(p.cy + 0.5), 0, f.height - 1);
        switch (f.labels.labels[size_t(y) * f.width + x]) {
        case tamrix::detect::kIgnore:
            break; // a saturated area or a faint star's surroundings
        case tamrix::detect::kArtefact:
            ++score.artefact;
            break;
        case tamrix::detect::kGalaxy:
            ++score.galaxy;
            break;
        case tamrix::detect::kWing:
            ++score.split;
            break;
        default:
            ++score.noise;
        }
    }
    for (size_t i = 0; i < f.stars.size(); ++i) {
        const skyfield::Star& s = f.stars[i];
        if (s.peak < skyfield::kJudgedPeak * f.noise || s.x < 6 || s.y < 6 || s.x > f.width - 7 || s.y > f.height - 7)
            continue;
        ++score.stars;
        score.found += hits[i] > 0;
    }
}

void Print(const std::string& name, const Score& s)
{
    std::printf("%-24s found %5zu of %5zu (%5.1f %%)  reports %6zu  false %5zu (noise %zu, artefact %zu, galaxy %zu, "
                "split %zu)\n",
        name.c_str(), s.found, s.stars, 100.0 * double(s.found) / double(std::max<size_t>(1, s.stars)), s.reports,
        s.False(), s.noise, s.artefact, s.galaxy, s.split);
}

} // namespace

int WriteField(uint32_t seed, const std::string& prefix, int size)
{
    const skyfield::Field f = skyfield::MakeField(seed, size, size);
    FILE* raw = std::fopen((prefix + ".raw").c_str(), "wb");
    FILE* truth = std::fopen((prefix + "_truth.csv").c_str(), "w");
    FILE* artefacts = std::fopen((prefix + "_artefacts.csv").c_str(), "w");
    if (!raw || !truth || !artefacts) {
        std::fprintf(stderr, "%s: cannot write\n", prefix.c_str());
        return 2;
    }
    for (uint16_t v : f.pixels) {
        const unsigned char b[2] = { static_cast<unsigned char>(v & 0xff), static_cast<unsigned char>(v >> 8) };
        std::fwrite(b, 1, 2, raw);
    }
    std::fprintf(truth, "x,y,flux,peak,fwhm,snr,saturated\n");
    for (const skyfield::Star& s : f.stars) {
        const double nea = 2.266 * s.fwhm * s.fwhm * (f.moffat ? 1.5 : 1.0);
        const double snr = s.flux / std::sqrt(s.flux / f.gain + nea * f.noise * f.noise);
        std::fprintf(
            truth, "%.4f,%.4f,%.2f,%.2f,%.3f,%.3f,%d\n", s.x, s.y, s.flux, s.peak, s.fwhm, snr, int(s.saturated));
    }
    std::fprintf(artefacts, "kind,x0,y0,x1,y1,amplitude\n");
    for (const skyfield::Artefact& a : f.artefacts)
        std::fprintf(artefacts, "%s,%.1f,%.1f,%.1f,%.1f,%.1f\n", a.kind, a.x0, a.y0, a.x1, a.y1, a.amplitude);
    const bool ok = std::fclose(raw) == 0 && std::fclose(truth) == 0 && std::fclose(artefacts) == 0;
    return ok ? 0 : 2;
}

int main(int argc, char** argv)
{
    if (argc > 3 && std::strcmp(argv[1], "--field") == 0)
        return WriteField(uint32_t(std::strtoul(argv[2], nullptr, 10)), argv[3], argc > 4 ? std::atoi(argv[4]) : 1024);
    const bool validateOnly = argc > 2 && std::strcmp(argv[1], "--validate") == 0;
    const char* output = validateOnly ? argv[2] : argc > 1 ? argv[1] : "data/stars.net";
    const int epochs = argc > 2 && !validateOnly ? std::atoi(argv[2]) : 20;
    char message[512] = "";
    if (!validateOnly) {
        tamrix::detect::Samples train;
        for (uint32_t seed = 1; seed <= kTrainingSeeds; ++seed) {
            const skyfield::Field f = skyfield::MakeField(seed);
            tamrix::detect::CutSamples(
                f.pixels.data(), f.width, f.height, 2, f.labels, kRadius, tamrix::detect::kDefaultMix, seed, train);
        }
        size_t positives = 0;
        for (float t : train.targets)
            positives += t > 0.5f;
        std::printf("training windows: %zu (%zu star centres)\n", train.targets.size(), positives);
        std::fflush(stdout);
        nnet::CNetwork trained;
        if (!tamrix::detect::TrainStarNetwork(train, kHidden, epochs, kNetSeed, trained)) {
            std::fprintf(stderr, "training refused\n");
            return 1;
        }
        if (!trained.SaveNet(int(std::strlen(output)) + 1, output, sizeof message - 1, message)) {
            std::fprintf(stderr, "%s: %s\n", output, message);
            return 2;
        }
    }
    nnet::CNetwork net;
    if (!net.LoadNet(int(std::strlen(output)) + 1, output, sizeof message - 1, message)) {
        std::fprintf(stderr, "%s: %s\n", output, message);
        return 2;
    }
    const float levels[] = { 0.5f, 0.7f, 0.8f, 0.9f, 0.95f, 0.98f, 0.99f, 0.995f, 0.998f, 0.999f };
    Score nn[std::size(levels)], classic;
    for (uint32_t seed = kValidationFirst; seed < kValidationFirst + kValidationSeeds; ++seed) {
        const skyfield::Field f = skyfield::MakeField(seed);
        auto run = [&](const tamrix::detect::Options& options, Score& score) {
            std::vector<Report> d;
            for (const auto& s : tamrix::detect::FindStars(f.pixels.data(), f.width, f.height, 2, options).stars)
                d.push_back({ s.cx, s.cy });
            Tally(f, d, score);
        };
        tamrix::detect::Options options;
        options.parallel = false;
        run(options, classic);
        options.network = &net;
        options.networkRadius = kRadius;
        for (size_t l = 0; l < std::size(levels); ++l) {
            options.level = levels[l];
            run(options, nn[l]);
        }
    }
    Print("classic (defaults)", classic);
    float shipped = -1;
    double best = -1e30;
    for (size_t l = 0; l < std::size(levels); ++l) {
        char name[64];
        std::snprintf(name, sizeof name, "network at %.3f", double(levels[l]));
        Print(name, nn[l]);
        const double gain = double(nn[l].found) - double(nn[l].False());
        if (nn[l].False() <= classic.False() && gain > best) {
            best = gain;
            shipped = levels[l];
        }
    }
    std::printf("level: %.3f\n", double(shipped));
    return 0;
}
