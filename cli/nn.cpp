// tamrix nn train | test | info: the network on MNIST-style data sets;
// tamrix nn train-stars: a star network from the user's frames.
#include "commands.h"
#include "failure.h"
#include "fits.h"
#include "network.h"
#include "output.h"
#include "starlist.h"

#include "detect/training.h"

#include "hostlib.h"
#include "intake/netfile.h"
#include "nnet.h"
#include "tamrix.h"

#include <chrono>
#include <cstdio>

namespace tamrix::cli {
namespace {

// Prints one line per epoch from the training loop's own messages.
class EpochLines {
public:
    EpochLines(int epochs, bool shown)
        : epochs_(epochs)
        , shown_(shown)
    {
    }

    THostWindow Window() { return THostWindow { this, nullptr, &EpochLines::Post }; }

    int Seen() const { return seen_; }

private:
    static void Post(void* context, unsigned message, uintptr_t wParam, intptr_t lParam)
    {
        if (message == nnet::kLearnEpochMessage)
            static_cast<EpochLines*>(context)->Line(wParam, static_cast<uint32_t>(lParam));
    }

    void Line(uintptr_t epoch, uint32_t ms)
    {
        ++seen_;
        if (!shown_)
            return;
        std::fprintf(stderr, "epoch %zu/%d: %u ms\n", static_cast<size_t>(epoch) + 1, epochs_, ms);
        if (Interrupted() && !warned_) {
            // The training loop cannot be stopped midway; the handler ends
            // the process on a second signal.
            std::fputs("interrupted: nothing will be saved; press Ctrl-C again to stop now\n", stderr);
            warned_ = true;
        }
        std::fflush(stderr);
    }

    int epochs_;
    bool shown_;
    int seen_ = 0;
    bool warned_ = false;
};

// A network must take the images' pixels and give one output per digit.
void RequireFit(const nnet::CNetwork& net, const std::string& netName, int inputSize, const std::string& images)
{
    const std::vector<int> sizes = LayerSizes(net);
    if (sizes.size() < 2)
        throw FileFailure(kExitMismatch, netName, "a network needs an input and an output layer");
    if (sizes.front() != inputSize)
        throw FileFailure(kExitMismatch, netName,
            "takes " + std::to_string(sizes.front()) + " inputs, but the images of " + images + " have "
                + std::to_string(inputSize) + " pixels");
    if (sizes.back() != 10)
        throw FileFailure(
            kExitMismatch, netName, "has " + std::to_string(sizes.back()) + " outputs; digit labels need 10");
}

std::string Accuracy(int correct, int count)
{
    char text[96];
    std::snprintf(
        text, sizeof text, "%d / %d correct (%.2f %%)", correct, count, count > 0 ? 100.0 * correct / count : 0.0);
    return text;
}

struct TrainArgs {
    std::string images, labels, output, from, testImages, testLabels;
    std::vector<int> hidden { 30 };
    int epochs = 10, batch = 10;
    float rate = 3.0f;
    int64_t seed = -1;
    bool quiet = false;
};

void Train(const TrainArgs& a)
{
    nnet::CMNIST data;
    const int count = LoadSet(data, DataSet::Training, a.images, a.labels);
    if (!a.testImages.empty())
        LoadSet(data, DataSet::Test, a.testImages, a.testLabels);
    // Learn leaves out the shuffled samples from the last batch start on, so
    // it needs more samples than one batch to train at all.
    if (count <= a.batch)
        throw FileFailure(kExitUsage, a.images,
            std::to_string(count) + " samples are too few for batches of " + std::to_string(a.batch)
                + " (--batch must be below the sample count)");

    if (a.seed >= 0)
        Lib::FixSeed(static_cast<uint64_t>(a.seed)); // the weights and every shuffle
    if (!a.from.empty()) {
        LoadNetwork(data, a.from);
    } else {
        std::vector<int> sizes { data.TrainInputSize };
        sizes.insert(sizes.end(), a.hidden.begin(), a.hidden.end());
        sizes.push_back(10);
        // Before allocating or training: a network whose file could not be
        // read back is of no use, and its size is what bounds the memory.
        try {
            intake::CheckNetworkShape(sizes);
        } catch (const std::invalid_argument& e) {
            throw Failure(kExitUsage, std::string("--hidden: ") + e.what() + "; give fewer or smaller hidden layers");
        }
        data.Init(static_cast<int>(sizes.size()), sizes.data());
    }
    const std::string netName = a.from.empty() ? a.output : a.from;
    RequireFit(data, netName, data.TrainInputSize, a.images);
    if (!a.testImages.empty() && data.TestInputSize != data.TrainInputSize)
        throw FileFailure(kExitMismatch, a.testImages, "images differ in size from those of " + a.images);

    // Open the output first: a bad path fails before the training.
    AtomicFile output(a.output);
    ThrowIfInterrupted(); // Ctrl-C while loading: do not start
    if (!a.quiet)
        std::fprintf(stderr, "training %s on %d samples: %d epochs, batches of %d, rate %s\n",
            ShapeText(LayerSizes(data)).c_str(), count, a.epochs, a.batch, Number(a.rate).c_str());
    EpochLines lines(a.epochs, !a.quiet);
    THostWindow window = lines.Window();
    const auto start = std::chrono::steady_clock::now();
    if (!data.Learn(count, data.TrainInputSize, data.TrainInputs, data.TrainOutputSize, data.TrainOutputs, a.batch,
            a.rate, 0.0f, a.epochs, &window))
        throw Failure(kExitFailure, "training failed: out of memory");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ThrowIfInterrupted();
    if (!data.CheckNANs())
        throw FileFailure(
            kExitFailure, a.output, "not written: training diverged to NaN weights; try a smaller --rate");

    SaveNetwork(data, output);
    std::fprintf(Messages(), "%s: %s trained, %d epochs on %d samples in %.1f s\n", a.output.c_str(),
        ShapeText(LayerSizes(data)).c_str(), a.epochs, count, seconds);
    std::fprintf(Messages(), "training set: %s\n",
        Accuracy(CountCorrect(data, count, data.TrainInputSize, data.TrainInputs, data.TrainOutputs), count).c_str());
    if (!a.testImages.empty())
        std::fprintf(Messages(), "test set: %s\n",
            Accuracy(CountCorrect(data, data.TestCount, data.TestInputSize, data.TestInputs, data.TestOutputs),
                data.TestCount)
                .c_str());
}

struct TestArgs {
    std::string net, images, labels;
};

void Test(const TestArgs& a)
{
    nnet::CMNIST data;
    LoadNetwork(data, a.net);
    const int count = LoadSet(data, DataSet::Test, a.images, a.labels);
    RequireFit(data, a.net, data.TestInputSize, a.images);
    const int correct = CountCorrect(data, count, data.TestInputSize, data.TestInputs, data.TestOutputs);
    std::printf("%s: %s\n", a.images.c_str(), Accuracy(correct, count).c_str());
}

void Info(const std::string& path)
{
    const std::vector<int> sizes = NetworkShape(path);
    // In double: a header alone may declare up to 100 layers of 2^31 - 1
    // neurons; any count a file can hold is exact.
    double parameters = 0;
    for (size_t i = 1; i < sizes.size(); ++i)
        parameters += static_cast<double>(sizes[i]) * (static_cast<double>(sizes[i - 1]) + 1);
    std::printf("%s: %zu layers, %s neurons, %.0f weights and biases\n", path.c_str(), sizes.size(),
        ShapeText(sizes).c_str(), parameters);
}

struct TrainStarsArgs {
    std::vector<std::string> frames;
    std::string output;
    int hidden = 32, epochs = 20, radius = 5;
    int64_t seed = 1;
    ReadArgs read;
};

// The star list beside a frame: the same name with .csv for its extension
// (and without a .gz or .fz after it, or an [extension] selector).
std::string StarListOf(const std::string& frame)
{
    std::string name = frame.substr(0, frame.find('['));
    for (const char* packed : { ".gz", ".fz" })
        if (name.size() > 3 && name.compare(name.size() - 3, 3, packed) == 0)
            name.resize(name.size() - 3);
    const size_t slash = name.find_last_of('/'), dot = name.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        name.resize(dot);
    return name + ".csv";
}

void TrainStars(const TrainStarsArgs& a)
{
    AtomicFile output(a.output);
    detect::Samples samples;
    size_t stars = 0;
    for (size_t i = 0; i < a.frames.size(); ++i) {
        const std::string list = StarListOf(a.frames[i]);
        std::vector<detect::LabelledStar> labelled;
        const Frame frame = ReadFrame(a.frames[i], a.read);
        for (const Star& s : ReadStarCsv(list)) {
            if (s.cx < -0.5 || s.cy < -0.5 || s.cx >= frame.width - 0.5 || s.cy >= frame.height - 0.5)
                throw FileFailure(kExitMismatch, list,
                    "a star at " + Number(s.cx) + ", " + Number(s.cy) + " lies outside the "
                        + std::to_string(frame.width) + " x " + std::to_string(frame.height) + " frame " + a.frames[i]
                        + " (positions count from 0)");
            labelled.push_back({ s.cx, s.cy, 2, true });
        }
        stars += detect::FrameSamples(frame.Data(), frame.width, frame.height, frame.Depth(), std::move(labelled),
            a.radius, static_cast<uint32_t>(a.seed) + static_cast<uint32_t>(i), samples);
        ThrowIfInterrupted();
    }
    size_t centres = 0;
    for (float t : samples.targets)
        centres += t > 0.5f;
    // Learn leaves out the last batch of every epoch.
    if (centres == 0 || samples.targets.size() <= 16)
        throw Failure(kExitUsage,
            "no star of the lists lies " + std::to_string(a.radius)
                + " pixels inside its frame: nothing to learn from");
    std::fprintf(Messages(), "%zu windows (%zu on star centres, %zu stars) from %zu frames\n", samples.targets.size(),
        centres, stars, a.frames.size());
    nnet::CNetwork net;
    const auto start = std::chrono::steady_clock::now();
    if (!detect::TrainStarNetwork(samples, a.hidden, a.epochs, static_cast<uint32_t>(a.seed), net))
        throw Failure(kExitFailure, "training failed: out of memory");
    ThrowIfInterrupted();
    if (!net.CheckNANs())
        throw FileFailure(kExitFailure, a.output, "not written: training diverged to NaN weights");
    SaveNetwork(net, output);
    std::fprintf(Messages(), "%s: %s trained, %d epochs in %.1f s; use it with tamrix stars --network %s\n",
        a.output.c_str(), ShapeText(LayerSizes(net)).c_str(), a.epochs,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), a.output.c_str());
}

} // namespace

void AddNnCommand(CLI::App& app, Action& action)
{
    CLI::App* nn
        = app.add_subcommand("nn", "the neural network: train, test, info on MNIST-style data; train-stars on frames");
    nn->require_subcommand(1);

    auto train = std::make_shared<TrainArgs>();
    CLI::App* t = nn->add_subcommand("train", "train a digit classifier; one progress line per epoch");
    t->add_option("images", train->images, "IDX image file (may be gzip'd)")->required();
    t->add_option("labels", train->labels, "IDX label file (may be gzip'd)")->required();
    CLI::Option* hidden = t->add_option("--hidden", train->hidden, "hidden layer sizes, e.g. 30 or 64,32 (default 30)")
                              ->delimiter(',')
                              ->check(CLI::Range(1, 1 << 16));
    t->add_option("--from", train->from, "go on training this network file instead of a new one")->excludes(hidden);
    t->add_option("--epochs,-e", train->epochs, "passes over the training set (default 10)")
        ->check(CLI::Range(1, 100000));
    t->add_option("--batch,-b", train->batch, "samples per gradient step (default 10)")->check(CLI::Range(1, 1 << 20));
    t->add_option("--rate", train->rate, "learning rate (default 3)")->check(CLI::Range(1e-9, 1e6) & Finite());
    t->add_option("--seed", train->seed, "fixed seed: the same network on every run")->check(CLI::NonNegativeNumber);
    CLI::Option* ti = t->add_option("--test-images", train->testImages, "test set images: report its accuracy");
    CLI::Option* tl = t->add_option("--test-labels", train->testLabels, "test set labels");
    ti->needs(tl);
    tl->needs(ti);
    t->add_flag("--quiet,-q", train->quiet, "no progress lines");
    t->add_option("--output,-o", train->output, "network file to write")
        ->required()
        ->check(OutputFile(OutputKind::Text));
    t->callback([&action, train] { action = [train] { Train(*train); }; });

    auto stars = std::make_shared<TrainStarsArgs>();
    CLI::App* ts = nn->add_subcommand("train-stars",
        "train a star network on frames, each with the star list of its name beside it (FRAME.csv: x,y or cx,cy "
        "columns, 0-based, e.g. from a catalogue or tamrix stars with quality cuts)");
    ts->add_option("frames", stars->frames, "frames (FITS)")->required();
    ts->add_option("--hidden", stars->hidden, "hidden neurons (default 32; up to 64 keep the fast detector)")
        ->check(CLI::Range(1, 4096));
    ts->add_option("--epochs,-e", stars->epochs, "passes over the windows (default 20)")->check(CLI::Range(1, 100000));
    ts->add_option("--radius,-r", stars->radius, "window half-size, 2 .. 25 (default 5)")->check(CLI::Range(2, 25));
    ts->add_option("--seed", stars->seed, "seed of the weights and the drawn windows (default 1)")
        ->check(CLI::Range(int64_t { 0 }, int64_t { UINT32_MAX }));
    ts->add_option("--output,-o", stars->output, "network file to write")
        ->required()
        ->check(OutputFile(OutputKind::Text));
    AddReadOptions(ts, stars->read);
    ts->callback([&action, stars] { action = [stars] { TrainStars(*stars); }; });

    auto test = std::make_shared<TestArgs>();
    CLI::App* s = nn->add_subcommand("test", "a network's accuracy on a labelled set");
    s->add_option("network", test->net, "network file")->required();
    s->add_option("images", test->images, "IDX image file (may be gzip'd)")->required();
    s->add_option("labels", test->labels, "IDX label file (may be gzip'd)")->required();
    s->callback([&action, test] { action = [test] { Test(*test); }; });

    auto info = std::make_shared<std::string>();
    CLI::App* i = nn->add_subcommand("info", "the layers of a network file, from its header");
    i->add_option("network", *info, "network file")->required();
    i->callback([&action, info] { action = [info] { Info(*info); }; });
}

} // namespace tamrix::cli
