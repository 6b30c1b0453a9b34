// The network text file: the writer, the strict reader, and the reader of the
// header alone.
#include "hostlib.h"
#include "nnet.h"
#include "nnet/open_file.h"
#include "platform/platform.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace nnet {
namespace {

constexpr int kFileLimit = kNetFileMaxBytes; // the reader's largest file and the writer's line buffer
constexpr int kMaxLayers = kNetFileMaxLayers;
constexpr int kHeaderBytes = 1024; // all LoadNetParameters reads
constexpr int kMaxRealChars = kNetFileMaxValueChars;
constexpr int kConstantBound = 1000; // bound passed with constant source strings
constexpr int kNumberBound = 31; // number text buffers of 32 bytes

// Messages are Windows-1250 text; the reader's begin with kNetFileReadError.
#define NNET_SAVE_ERROR "Error saving neural network, "

const char kLineCode[] = { '\r', '\n', '\0' };

// The caller's message buffer.
class Messages {
public:
    Messages(int bound, char* text)
        : bound_(bound)
        , text_(text)
    {
    }

    // Writes text, cut to the buffer; returns false for the caller's return.
    bool Fail(const char* text) const
    {
        Str::CopyA(bound_, text_, kConstantBound, text);
        return false;
    }

    template <class... Args> bool Fail(const char* format, Args... args) const
    {
        char text[256];
        std::snprintf(text, sizeof text, format, args...);
        return Fail(text);
    }

private:
    int bound_;
    char* text_;
};

using detail::OpenFile;

bool ValidName(int bound, const char* name)
{
    return bound >= 1 && Str::LengthA(bound, name) >= 1;
}

// The token reader. Every token may follow spaces and tabs; a failing token
// writes the message for the line being read and returns false.
class LineReader {
public:
    LineReader(const char* data, int size, const Messages& messages)
        : data_(data)
        , size_(size)
        , messages_(messages)
    {
    }

    void BeginLine() { ++line_; }
    void SetLine(int line) { line_ = line; }
    int Line() const { return line_; }
    int Remaining() const { return size_ - pos_; }

    bool Fail(const char* what) const
    {
        return messages_.Fail("%s, line: %i, %s", kNetFileReadError, line_, what);
    }

    bool Keyword(const char* word)
    {
        SkipBlanks();
        const auto length = static_cast<int>(std::strlen(word));
        if (length > size_ - pos_ || std::memcmp(data_ + pos_, word, static_cast<size_t>(length)) != 0)
            return messages_.Fail("%s, line: %i, Expected keyword: %s", kNetFileReadError, line_, word);
        pos_ += length;
        return true;
    }

    bool Separator()
    {
        SkipBlanks();
        if (pos_ < size_ && data_[pos_] == ';') {
            ++pos_;
            return true;
        }
        return Expected(";");
    }

    // Decimal digits, no sign. The value must fit a signed 32-bit integer:
    // counts and indices are ints, and a wrapped count would pass as a
    // different one.
    bool Whole(int& value)
    {
        SkipBlanks();
        const int start = pos_;
        int64_t v = 0;
        while (pos_ < size_ && data_[pos_] >= '0' && data_[pos_] <= '9') {
            v = v * 10 + (data_[pos_] - '0');
            if (v > INT_MAX)
                return Fail("Integer number too large");
            ++pos_;
        }
        if (pos_ == start || pos_ == size_) // a number must not run into the end of the text
            return Expected("integer number");
        value = static_cast<int>(v);
        return true;
    }

    // A whole number that must equal `expected`.
    bool Index(int expected)
    {
        int index = 0;
        if (!Whole(index))
            return false;
        return index == expected || Fail("Wrong index");
    }

    // The longest run of "+-.0123456789", at most 30 characters, all of it
    // consumed; its value is what "%f" reads from its start.
    bool Real(float& value)
    {
        SkipBlanks();
        const int start = pos_;
        while (pos_ < size_ && pos_ - start <= kMaxRealChars && IsRealChar(data_[pos_]))
            ++pos_;
        const int length = pos_ - start;
        if (length == 0 || length > kMaxRealChars || pos_ == size_ || !ReadReal(data_ + start, length, value))
            return Expected("floating point number");
        return true;
    }

    bool LineEnd()
    {
        SkipBlanks();
        if (size_ - pos_ >= 2 && data_[pos_] == '\r' && data_[pos_ + 1] == '\n') {
            pos_ += 2;
            return true;
        }
        return Expected("CRLF");
    }

private:
    static bool IsRealChar(char c) { return (c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-'; }

    // What "%f" takes from the start of a run: an optional sign, digits with
    // at most one point, at least one digit. Converted with std::from_chars,
    // which rounds as scanf does but ignores the process locale; scanf under
    // a locale with a decimal comma would read 0.12345 as 0.
    static bool ReadReal(const char* text, int length, float& value)
    {
        int i = 0;
        const bool negative = text[0] == '-';
        if (text[0] == '+' || text[0] == '-')
            ++i;
        const int digitsStart = i;
        int digits = 0;
        while (i < length && text[i] >= '0' && text[i] <= '9')
            ++i, ++digits;
        if (i < length && text[i] == '.') {
            ++i;
            while (i < length && text[i] >= '0' && text[i] <= '9')
                ++i, ++digits;
        }
        if (digits == 0)
            return false;
        float v = 0.0f;
        const auto result = std::from_chars(text + digitsStart, text + i, v, std::chars_format::fixed);
        if (result.ec != std::errc() || result.ptr != text + i)
            return false;
        value = negative ? -v : v;
        return true;
    }

    void SkipBlanks()
    {
        while (pos_ < size_ && (data_[pos_] == ' ' || data_[pos_] == '\t'))
            ++pos_;
    }

    bool Expected(const char* item) const
    {
        return messages_.Fail("%s, line: %i, Expected %s", kNetFileReadError, line_, item);
    }

    const char* data_;
    int size_;
    int pos_ = 0;
    int line_ = 0;
    const Messages& messages_;
};

// Where the header goes. layerCount and neurons[i] are written as soon as
// each is read; room is the number of entries neurons has.
struct HeaderOut {
    int* layerCount;
    int* neurons;
    int room;
    // For LoadNet: receives the first layer line whose counts call for more
    // lines than the rest of the file can hold, or 0. Null: not checked.
    int* unfitLine;
};

bool ReadHeader(LineReader& in, const Messages& messages, const HeaderOut& out)
{
    in.BeginLine();
    if (!in.Keyword("neural_network") || !in.LineEnd())
        return false;

    in.BeginLine();
    int version = 0;
    if (!in.Keyword("version") || !in.Separator() || !in.Whole(version) || !in.LineEnd())
        return false;
    if (version != 1)
        return in.Fail("Wrong file version");

    in.BeginLine();
    int layers = 0;
    if (!in.Keyword("layers") || !in.Separator() || !in.Whole(layers))
        return false;
    *out.layerCount = layers;
    if (!in.LineEnd())
        return false;
    if (layers < 1 || layers > kMaxLayers)
        return in.Fail("Wrong number of layers");
    if (layers > out.room)
        return messages.Fail(
            "%s parameters, 'NeuronsArray' too short (network has %i layers)", kNetFileReadError, layers);

    // The least the lines of the layers so far take in the file. Unsigned 64
    // bits hold every term (n < 2^31 times 15 + 2m < 2^33), and the sum stops
    // at the first that passes the rest of the file (below 2^23 bytes).
    uint64_t valueBytes = 0;
    for (int i = 0; i < layers; ++i) {
        in.BeginLine();
        int neurons = 0;
        if (!in.Keyword("layer") || !in.Separator() || !in.Index(i) || !in.Separator() || !in.Whole(neurons))
            return false;
        out.neurons[i] = neurons;
        if (!in.LineEnd())
            return false;
        if (neurons < 1) // a layer of 0 neurons cannot hold or pass on anything
            return in.Fail("Wrong number of neurons");
        if (out.unfitLine != nullptr && *out.unfitLine == 0) {
            // The shortest lines of layer i with n neurons of m inputs each:
            // "biases;i", n times ";v", CR LF, then n times "weights;i;j",
            // m times ";v", CR LF: 10 + 2n + n (13 + 2m) bytes. The network
            // takes a small multiple of that in memory. Every count but that
            // of a single-layer network has such lines: the one of layer i in
            // those of layer i + 1, the last in its biases line. A single
            // layer has none and a cap of its own.
            if (i > 0)
                valueBytes += 10
                    + uint64_t { static_cast<unsigned>(neurons) }
                        * (15 + uint64_t { 2 } * static_cast<unsigned>(out.neurons[i - 1]));
            if (valueBytes > static_cast<uint64_t>(in.Remaining()) || (layers == 1 && neurons > kNetFileMaxSingleLayer))
                *out.unfitLine = in.Line();
        }
    }
    return true;
}

// Builds each line in the 8 MiB buffer and writes it with one call; without
// a file it only measures, so that SaveNet can refuse a network whose file
// LoadNet would refuse before it creates anything.
class LineWriter {
public:
    LineWriter(FIO::THandle file, char* buffer)
        : file_(file)
        , buffer_(buffer)
    {
    }

    // False once a value, a line or the file has gone past what the reader
    // takes, or a write failed.
    bool Good() const { return valuesFit_ && fits_ && bytes_ <= kFileLimit && written_; }
    // Every value so far finite and of at most 30 characters.
    bool ValuesFit() const { return valuesFit_; }
    // Every line so far within the buffer.
    bool Fits() const { return fits_; }
    // The lines ended so far, in bytes.
    int64_t Bytes() const { return bytes_; }

    void Start(const char* keyword)
    {
        used_ = Str::CopyA(kFileLimit - 1, buffer_, kConstantBound, keyword);
    }
    void Append(const char* text)
    {
        const int want = Str::LengthA(kConstantBound, text);
        const int got = Str::AppendA(kFileLimit - 1 - used_, buffer_ + used_, kConstantBound, text);
        fits_ = fits_ && got == want;
        used_ += got;
    }
    void Int(int value)
    {
        char text[kNumberBound + 1];
        Str::IntToStrA(value, kNumberBound, text, 10, &ok_);
        Append(";");
        Append(text);
    }
    void Card(unsigned value)
    {
        char text[kNumberBound + 1];
        Str::CardToStrA(value, kNumberBound, text, 10, &ok_);
        Append(";");
        Append(text);
    }
    // "nan" and "inf" are text the reader refuses, and so is one of more
    // than 30 characters; a text the converter cuts off comes back empty.
    void Real(float value)
    {
        char text[kNumberBound + 1];
        bool converted = false;
        const int length
            = Str::FixRealToStrA(static_cast<double>(value), kNetFileDecimals, kNumberBound, text, &converted);
        valuesFit_ = valuesFit_ && std::isfinite(value) && converted && length <= kMaxRealChars;
        Append(";");
        Append(text);
    }
    // Ends the line and writes it; a line cut short is never written.
    void End()
    {
        Append(kLineCode);
        bytes_ += used_;
        if (file_ != nullptr && Good())
            written_ = FIO::WrStrA(file_, kFileLimit - 1, buffer_);
    }

private:
    FIO::THandle file_;
    char* buffer_;
    int used_ = 0;
    int64_t bytes_ = 0;
    bool valuesFit_ = true;
    bool fits_ = true;
    bool written_ = true;
    bool ok_ = false; // the integer converters' success flag, never read
};

// Every line of the file, in order; stops after the line that made the
// writer fail.
void WriteLines(const CNetwork& net, LineWriter& out)
{
    out.Start("neural_network");
    out.End();
    out.Start("version");
    out.Append(";1");
    out.End();
    out.Start("layers");
    out.Card(static_cast<unsigned>(net.NumLayers));
    out.End();
    for (int i = 0; i < net.NumLayers; ++i) {
        out.Start("layer");
        out.Int(i);
        out.Int(net.Layers[i]->NumNeurons);
        out.End();
    }
    for (int i = 1; i < net.NumLayers && out.Good(); ++i) {
        const CLayer& layer = *net.Layers[i];
        const int m = layer.Prev->NumNeurons;
        out.Start("biases");
        out.Int(i);
        for (int j = 0; j < layer.NumNeurons; ++j)
            out.Real(layer.Biases[j]);
        out.End();
        for (int j = 0; j < layer.NumNeurons && out.Good(); ++j) {
            out.Start("weights");
            out.Int(i);
            out.Int(j);
            const float* row = layer.Weights[j];
            for (int k = 0; k < m; ++k)
                out.Real(row[k]);
            out.End();
        }
    }
}

// The biases and weight lines of layers 1 to L - 1, into the network's
// layers or, with a null network, nowhere.
bool ReadValues(LineReader& in, int layers, const int* neurons, CNetwork* net)
{
    float ignored = 0.0f;
    for (int i = 1; i < layers; ++i) {
        CLayer* layer = net != nullptr ? net->Layers[i] : nullptr;
        const int n = neurons[i], m = neurons[i - 1];
        in.BeginLine();
        if (!in.Keyword("biases") || !in.Separator() || !in.Index(i))
            return false;
        for (int j = 0; j < n; ++j)
            if (!in.Separator() || !in.Real(layer != nullptr ? layer->Biases[j] : ignored))
                return false;
        if (!in.LineEnd())
            return false;
        for (int j = 0; j < n; ++j) {
            in.BeginLine();
            if (!in.Keyword("weights") || !in.Separator() || !in.Index(i) || !in.Separator() || !in.Index(j))
                return false;
            for (int k = 0; k < m; ++k)
                if (!in.Separator() || !in.Real(layer != nullptr ? layer->Weights[j][k] : ignored))
                    return false;
            if (!in.LineEnd())
                return false;
        }
    }
    return true;
}

} // namespace

bool CNetwork::SaveNet(int nameBound, const char* name, int messageBound, char* message)
{
    const Messages messages(messageBound, message);
    if (!ValidName(nameBound, name))
        return messages.Fail(NNET_SAVE_ERROR "Invalid file name");
    if (NumLayers < 1 || NumLayers > kMaxLayers)
        return messages.Fail(NNET_SAVE_ERROR "Wrong number of layers");
    if (NumLayers == 1 && Layers[0]->NumNeurons > kNetFileMaxSingleLayer)
        return messages.Fail(NNET_SAVE_ERROR "Wrong number of neurons");
    const std::unique_ptr<char[]> buffer(new (std::nothrow) char[kFileLimit]);
    if (!buffer)
        return messages.Fail(NNET_SAVE_ERROR "Not enough memory");

    // Unlike a plain sequence of writes, a file that would not load back is
    // a failure, found by a dry run before the file is created so that an
    // existing one stays as it was.
    LineWriter dryRun(nullptr, buffer.get());
    WriteLines(*this, dryRun);
    if (!dryRun.ValuesFit())
        return messages.Fail(NNET_SAVE_ERROR "Weight or bias not finite or too large");
    if (!dryRun.Fits())
        return messages.Fail(NNET_SAVE_ERROR "Line too long");
    if (dryRun.Bytes() > kFileLimit)
        return messages.Fail(NNET_SAVE_ERROR "File too long");

    const OpenFile file(FIO::CreateA(nameBound, name, 0));
    if (file.Failed())
        return messages.Fail(NNET_SAVE_ERROR "Cannot create file");
    LineWriter out(file.Get(), buffer.get());
    WriteLines(*this, out);
    if (!out.Good()) // a full disk
        return messages.Fail(NNET_SAVE_ERROR "Cannot write file");
    return true;
}

bool CNetwork::LoadNet(int nameBound, const char* name, int messageBound, char* message)
{
    const Messages messages(messageBound, message);
    if (!ValidName(nameBound, name))
        return messages.Fail("%s, Invalid file name", kNetFileReadError);
    const OpenFile file(FIO::OpenReadA(nameBound, name, 1));
    if (file.Failed())
        return messages.Fail("%s, Cannot open file", kNetFileReadError);
    const int64_t size64 = FIO::Size(file.Get());
    if (size64 > kFileLimit)
        return messages.Fail("%s, file too long", kNetFileReadError);
    if (size64 < 0)
        return messages.Fail("%s, load file failed", kNetFileReadError);
    const auto size = static_cast<int>(size64);
    const std::unique_ptr<char[]> data(new (std::nothrow) char[size > 0 ? size : 1]);
    if (!data)
        return messages.Fail("%s, Not enough memory", kNetFileReadError);
    if (FIO::RdBin(file.Get(), size - 1, data.get(), size) != size)
        return messages.Fail("%s, load file failed", kNetFileReadError);

    LineReader in(data.get(), size, messages);
    int layers = 0, unfitLine = 0;
    int neurons[kMaxLayers];
    if (!ReadHeader(in, messages, HeaderOut { &layers, neurons, kMaxLayers, &unfitLine }))
        return false;

    if (unfitLine != 0) {
        // The file is too short for the values its counts call for, so it
        // fails somewhere among them. Parse without storing to find where,
        // and give that message without allocating anything; the network
        // stays as it was. Only a single layer above its cap, which has no
        // values to read, gets past the parse.
        if (!ReadValues(in, layers, neurons, nullptr))
            return false;
        in.SetLine(unfitLine);
        return in.Fail("Wrong number of neurons");
    }

    Done();
    auto init = [&] { Init(layers, neurons); };
    if (!tamrix::platform::RunUnlessOutOfMemory(init))
        return messages.Fail("%s, Not enough memory", kNetFileReadError); // Init left the network empty
    return ReadValues(in, layers, neurons, this);
}

bool CNetwork::LoadNetParameters(int nameBound, const char* name, int* layerCount, int arrayBound,
    int* neuronsArray, int messageBound, char* message)
{
    const Messages messages(messageBound, message);
    if (!ValidName(nameBound, name))
        return messages.Fail("%s, Invalid file name", kNetFileReadError);
    const OpenFile file(FIO::OpenReadA(nameBound, name, 1));
    if (file.Failed())
        return messages.Fail("%s, Cannot open file", kNetFileReadError);
    const int64_t size64 = FIO::Size(file.Get());
    if (size64 < 0)
        return messages.Fail("%s, load file failed", kNetFileReadError);
    const int size = size64 < kHeaderBytes ? static_cast<int>(size64) : kHeaderBytes;
    char data[kHeaderBytes];
    if (FIO::RdBin(file.Get(), size - 1, data, size) != size)
        return messages.Fail("%s, load file failed", kNetFileReadError);

    // No count pointer or array from the caller: nothing to write there, and
    // an array without room.
    int unusedCount = 0;
    const int room = neuronsArray == nullptr || arrayBound < 0 ? 0
        : arrayBound >= kMaxLayers                             ? kMaxLayers
                                                               : arrayBound + 1;
    LineReader in(data, size, messages);
    return ReadHeader(
        in, messages, HeaderOut { layerCount != nullptr ? layerCount : &unusedCount, neuronsArray, room, nullptr });
}

} // namespace nnet
