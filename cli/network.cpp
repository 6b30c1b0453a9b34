#include "network.h"

#include "failure.h"
#include "output.h"

#include "intake/netfile.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace tamrix::cli {
namespace {

// The name in the bound-and-pointer form the network functions take.
int Bound(const std::string& path)
{
    return static_cast<int>(path.size());
}

void RequireFile(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        throw FileFailure(kExitUnreadable, path, "no such file");
    if (S_ISDIR(st.st_mode))
        throw FileFailure(kExitUnreadable, path, "is a folder, not a file");
    NoteInput(path);
}

// The most a gzip'd data file may expand to; far above any real data set, and
// a bound on what a crafted file can make us write.
constexpr int64_t kMaxUnpacked = int64_t { 1 } << 30;

struct GzCloser {
    void operator()(gzFile f) const { gzclose(f); }
};

bool IsGzip(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    unsigned char magic[2] = {};
    in.read(reinterpret_cast<char*>(magic), 2);
    return in.gcount() == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
}

// A data file the loader can read by name: the file itself, or its gzip'd
// contents unpacked into a temporary file that disappears with this object.
class PlainFile {
public:
    explicit PlainFile(const std::string& path)
        : path_(path)
    {
        RequireFile(path);
        if (!IsGzip(path)) {
            plain_ = path;
            return;
        }
        const char* tmp = std::getenv("TMPDIR");
        temp_ = std::make_unique<AtomicFile>(AtomicFile::ScratchIn { tmp && *tmp ? tmp : "/tmp" });
        std::unique_ptr<gzFile_s, GzCloser> gz(gzopen(path.c_str(), "rb"));
        if (!gz)
            throw FileFailure(kExitUnreadable, path, std::string("cannot open: ") + std::strerror(errno));
        std::vector<char> buffer(1 << 16);
        int64_t total = 0;
        for (;;) {
            const int n = gzread(gz.get(), buffer.data(), static_cast<unsigned>(buffer.size()));
            if (n < 0) {
                int code = 0;
                throw FileFailure(kExitUnreadable, path, std::string("bad gzip data: ") + gzerror(gz.get(), &code));
            }
            if (n == 0)
                break;
            total += n;
            if (total > kMaxUnpacked)
                throw FileFailure(kExitUnsupported, path, "unpacks to more than 1 GiB");
            temp_->Write(buffer.data(), static_cast<size_t>(n));
        }
        if (std::fflush(temp_->Stream()) != 0)
            throw FileFailure(kExitFailure, path, std::string("cannot unpack: ") + std::strerror(errno));
        plain_ = temp_->HandOver();
    }

    const std::string& Plain() const { return plain_; }

private:
    std::string path_, plain_;
    std::unique_ptr<AtomicFile> temp_; // never committed: removed on destruction
};

uint32_t BigEndian(const unsigned char* p)
{
    return uint32_t { p[0] } << 24 | uint32_t { p[1] } << 16 | uint32_t { p[2] } << 8 | uint32_t { p[3] };
}

struct IdxHeader {
    uint32_t count = 0, rows = 0, columns = 0;
};

// Reads and checks an IDX header against the file's length. `original` is the
// name the user gave, for messages.
IdxHeader ReadIdxHeader(const std::string& plain, const std::string& original, bool images)
{
    std::ifstream in(plain, std::ios::binary | std::ios::ate);
    if (!in)
        throw FileFailure(kExitUnreadable, original, "cannot open");
    const int64_t size = static_cast<int64_t>(in.tellg());
    in.seekg(0);
    const int headerBytes = images ? 16 : 8;
    unsigned char h[16] = {};
    in.read(reinterpret_cast<char*>(h), headerBytes);
    const uint32_t expected = images ? 2051 : 2049;
    const char* kind = images ? "an IDX image file" : "an IDX label file";
    if (in.gcount() != headerBytes)
        throw FileFailure(kExitUnreadable, original, std::string("too short for ") + kind);
    if (BigEndian(h) != expected)
        throw FileFailure(kExitUnreadable, original,
            std::string("not ") + kind + " (magic number " + std::to_string(BigEndian(h)) + ", expected "
                + std::to_string(expected) + ")");
    IdxHeader header;
    header.count = BigEndian(h + 4);
    if (!images) {
        if (header.count > static_cast<uint64_t>(size - 8))
            throw FileFailure(
                kExitUnreadable, original, "too short for its " + std::to_string(header.count) + " labels");
        return header;
    }
    header.rows = BigEndian(h + 8);
    header.columns = BigEndian(h + 12);
    const uint64_t pixels = uint64_t { header.rows } * header.columns;
    const std::string shape = std::to_string(header.rows) + " x " + std::to_string(header.columns);
    if (header.count > 0 && pixels == 0)
        throw FileFailure(kExitUnreadable, original, "images of " + shape + " pixels");
    if (header.count > INT32_MAX || pixels > INT32_MAX / 4)
        throw FileFailure(kExitUnsupported, original, "too many or too large images (" + shape + ")");
    if (header.count * pixels > static_cast<uint64_t>(size - 16))
        throw FileFailure(kExitUnreadable, original,
            "too short for its " + std::to_string(header.count) + " images of " + shape + " pixels");
    return header;
}

// Names the first label outside 0 ... 9.
void CheckLabels(const std::string& plain, const std::string& original, uint32_t count)
{
    std::ifstream in(plain, std::ios::binary);
    in.seekg(8);
    std::vector<unsigned char> labels(count);
    in.read(reinterpret_cast<char*>(labels.data()), count);
    for (uint32_t k = 0; k < count; ++k)
        if (labels[k] > 9)
            throw FileFailure(kExitUnreadable, original,
                "label " + std::to_string(labels[k]) + " of sample " + std::to_string(k) + " is not a digit 0 ... 9");
}

} // namespace

void LoadNetwork(nnet::CNetwork& net, const std::string& path)
{
    RequireFile(path);
    char message[1024] = {};
    if (!net.LoadNet(Bound(path), path.c_str(), sizeof message - 1, message))
        throw FileFailure(kExitUnreadable, path, intake::LibraryMessage(message));
}

std::string ShippedNetwork()
{
    std::vector<char> exe(PATH_MAX + 1, '\0');
    const ssize_t n = readlink("/proc/self/exe", exe.data(), PATH_MAX);
    std::string folder = n > 0 ? std::string(exe.data(), static_cast<size_t>(n)) : "";
    folder = folder.substr(0, folder.find_last_of('/') + 1);
    std::vector<std::string> places { folder + TAMRIX_BIN_TO_DATADIR "/tamrix/stars.net" };
    char* build = realpath(TAMRIX_CLI_BUILD_DIR, nullptr);
    if (build && folder == std::string(build) + "/")
        places.push_back(TAMRIX_SOURCE_DATA_DIR "/stars.net");
    std::free(build);
    for (const std::string& place : places)
        if (access(place.c_str(), R_OK) == 0)
            return place;
    throw Failure(kExitUnreadable,
        "no star network installed with this program (no " + places.front() + "); name one: --network FILE");
}

std::vector<int> NetworkShape(const std::string& path)
{
    RequireFile(path);
    try {
        return intake::ReadNetworkShape(path);
    } catch (const std::runtime_error& e) { // names the file
        throw Failure(kExitUnreadable, e.what());
    }
}

void SaveNetwork(nnet::CNetwork& net, AtomicFile& file)
{
    const std::string& temp = file.HandOver();
    char message[1024] = {};
    if (!net.SaveNet(Bound(temp), temp.c_str(), sizeof message - 1, message))
        throw FileFailure(kExitFailure, file.Path(), intake::LibraryMessage(message));
    file.Commit();
}

std::vector<int> LayerSizes(const nnet::CNetwork& net)
{
    std::vector<int> sizes;
    for (int i = 0; i < net.NumLayers; ++i)
        sizes.push_back(net.Layers[i]->NumNeurons);
    return sizes;
}

std::string ShapeText(const std::vector<int>& sizes)
{
    std::string text;
    for (int n : sizes)
        text += (text.empty() ? "" : "-") + std::to_string(n);
    return text;
}

int LoadSet(nnet::CMNIST& data, DataSet set, const std::string& images, const std::string& labels)
{
    const PlainFile imageFile(images), labelFile(labels);
    const IdxHeader ih = ReadIdxHeader(imageFile.Plain(), images, true);
    const IdxHeader lh = ReadIdxHeader(labelFile.Plain(), labels, false);
    if (lh.count != ih.count)
        throw FileFailure(kExitMismatch, labels,
            std::to_string(lh.count) + " labels for the " + std::to_string(ih.count) + " images of " + images);
    CheckLabels(labelFile.Plain(), labels, lh.count);

    const bool training = set == DataSet::Training;
    const std::string& i = imageFile.Plain();
    const std::string& l = labelFile.Plain();
    const bool ok = training ? data.LoadMNIST(Bound(i), i.c_str(), Bound(l), l.c_str(), &data.TrainCount,
                        &data.TrainInputSize, &data.TrainInputs, &data.TrainOutputSize, &data.TrainOutputs)
                             : data.LoadMNIST(Bound(i), i.c_str(), Bound(l), l.c_str(), &data.TestCount,
                                 &data.TestInputSize, &data.TestInputs, &data.TestOutputSize, &data.TestOutputs);
    if (!ok) // the headers and labels passed: only the memory or the disk can have failed
        throw FileFailure(kExitFailure, images, "cannot load it with " + labels + " (out of memory or a read error)");
    return static_cast<int>(ih.count);
}

int CountCorrect(nnet::CNetwork& net, int count, int inputSize, float** inputs, float** targets)
{
    const int outputs = net.Layers[net.NumLayers - 1]->NumNeurons;
    std::vector<float> out(static_cast<size_t>(outputs));
    int correct = 0;
    for (int k = 0; k < count; ++k) {
        if (!net.Infer(inputSize, inputs[k], outputs, out.data()))
            throw Failure(kExitMismatch, "the network does not fit the data");
        const auto best = std::max_element(out.begin(), out.end()) - out.begin();
        const auto label = std::max_element(targets[k], targets[k] + outputs) - targets[k];
        correct += best == label;
    }
    return correct;
}

} // namespace tamrix::cli
