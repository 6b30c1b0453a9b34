// The header of a network file, read with the token rules of the library's
// reader, and the size of the shortest file of a shape.
#include "intake/netfile.h"

#include "hostlib.h"
#include "nnet.h"

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace tamrix::intake {
namespace {

// Windows-1250 bytes 0x80 .. 0xFF as Unicode code points.
constexpr char16_t kWindows1250[128] = {
    0x20AC, 0xFFFD, 0x201A, 0xFFFD, 0x201E, 0x2026, 0x2020, 0x2021, 0xFFFD, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164,
    0x017D, 0x0179, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0xFFFD, 0x2122, 0x0161, 0x203A,
    0x015B, 0x0165, 0x017E, 0x017A, 0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7, 0x00A8, 0x00A9,
    0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B, 0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C, 0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139,
    0x0106, 0x00C7, 0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3,
    0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF, 0x0155, 0x00E1,
    0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7, 0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7, 0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD,
    0x0163, 0x02D9,
};

// The library's reader begins its messages with this; here in UTF-8, so that
// a fault reads the same whichever reader finds it.
std::string ReadError()
{
    return LibraryMessage(nnet::kNetFileReadError);
}

std::string ShapeText(const std::vector<int>& sizes)
{
    std::string text;
    for (int n : sizes)
        text += (text.empty() ? "" : "-") + std::to_string(n);
    return text;
}

class FileCloser {
public:
    explicit FileCloser(FIO::THandle file)
        : file_(file)
    {
    }
    ~FileCloser() { FIO::Close(file_); }
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;

private:
    FIO::THandle file_;
};

// Tokens as the library reads them: spaces and tabs may precede each, a
// number must not run into the end of the text, lines end in CR LF.
class HeaderReader {
public:
    HeaderReader(const std::string& path, const std::string& text)
        : path_(path)
        , text_(text)
    {
    }

    void BeginLine() { ++line_; }

    [[noreturn]] void Fail(const std::string& what) const
    {
        throw std::runtime_error(path_ + ": " + ReadError() + ", line: " + std::to_string(line_) + ", " + what);
    }

    void Keyword(const std::string& word)
    {
        SkipBlanks();
        if (text_.compare(pos_, word.size(), word) != 0)
            Fail("Expected keyword: " + word);
        pos_ += word.size();
    }

    void Separator()
    {
        SkipBlanks();
        if (pos_ >= text_.size() || text_[pos_] != ';')
            Fail("Expected ;");
        ++pos_;
    }

    // Decimal digits, no sign, at most INT_MAX.
    int Whole()
    {
        SkipBlanks();
        const size_t start = pos_;
        int64_t value = 0;
        for (; pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9'; ++pos_) {
            value = value * 10 + (text_[pos_] - '0');
            if (value > INT_MAX)
                Fail("Integer number too large");
        }
        if (pos_ == start || pos_ == text_.size())
            Fail("Expected integer number");
        return static_cast<int>(value);
    }

    void Index(int expected)
    {
        if (Whole() != expected)
            Fail("Wrong index");
    }

    void LineEnd()
    {
        SkipBlanks();
        if (text_.compare(pos_, 2, "\r\n") != 0)
            Fail("Expected CRLF");
        pos_ += 2;
    }

private:
    void SkipBlanks()
    {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t'))
            ++pos_;
    }

    const std::string& path_;
    const std::string& text_;
    size_t pos_ = 0;
    int line_ = 0;
};

int Digits(int64_t value)
{
    int digits = 1;
    for (; value >= 10; value /= 10)
        ++digits;
    return digits;
}

// The digits of 0, 1, ..., n - 1 written out.
double DigitsBelow(int64_t n)
{
    double sum = 0.0;
    int64_t low = 0, high = 10;
    for (int digits = 1; low < n; ++digits, low = high, high *= 10)
        sum += static_cast<double>(std::min(n, high) - low) * digits;
    return sum;
}

} // namespace

std::string LibraryMessage(const char* message)
{
    std::string text;
    for (const char* p = message; *p != '\0'; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        const char32_t c = byte < 0x80 ? byte : kWindows1250[byte - 0x80];
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            text += static_cast<char>(0xE0 | (c >> 12));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

std::vector<int> ReadNetworkShape(const std::string& path)
{
    // The steps and messages of LoadNet up to its last layer line, on the
    // library's own file functions.
    auto fail = [&](const char* what) { throw std::runtime_error(path + ": " + ReadError() + ", " + what); };
    if (path.empty() || path.size() > INT_MAX)
        fail("Invalid file name");
    const FIO::THandle file = FIO::OpenReadA(static_cast<int>(path.size()), path.c_str(), 1);
    if (file == reinterpret_cast<FIO::THandle>(FIO::kFailedHandle))
        fail("Cannot open file");
    const FileCloser closer(file);
    const int64_t size = FIO::Size(file);
    if (size > nnet::kNetFileMaxBytes)
        fail("file too long");
    if (size < 0)
        fail("load file failed");
    std::string text(static_cast<size_t>(size), '\0');
    const int count = static_cast<int>(size);
    if (FIO::RdBin(file, count - 1, text.data(), count) != count)
        fail("load file failed");

    HeaderReader in(path, text);
    in.BeginLine();
    in.Keyword("neural_network");
    in.LineEnd();
    in.BeginLine();
    in.Keyword("version");
    in.Separator();
    const int version = in.Whole();
    in.LineEnd();
    if (version != 1)
        in.Fail("Wrong file version");
    in.BeginLine();
    in.Keyword("layers");
    in.Separator();
    const int layers = in.Whole();
    in.LineEnd();
    if (layers < 1 || layers > nnet::kNetFileMaxLayers)
        in.Fail("Wrong number of layers");
    std::vector<int> sizes;
    for (int i = 0; i < layers; ++i) {
        in.BeginLine();
        in.Keyword("layer");
        in.Separator();
        in.Index(i);
        in.Separator();
        const int neurons = in.Whole();
        in.LineEnd();
        if (neurons < 1 || (layers == 1 && neurons > nnet::kNetFileMaxSingleLayer))
            in.Fail("Wrong number of neurons");
        sizes.push_back(neurons);
    }
    return sizes;
}

int64_t ShortestNetworkFile(const std::vector<int>& sizes)
{
    // In double: every term is a whole number, exact while the sum stays
    // below 2^53, far above any size that is compared with the limit.
    const double value = 1 + 2 + nnet::kNetFileDecimals; // ";0.00000"
    const auto layers = static_cast<int64_t>(sizes.size());
    double bytes = 16 + 11 + 9 + Digits(layers); // "neural_network", "version;1", "layers;L", each with CR LF
    for (int64_t i = 0; i < layers; ++i) {
        bytes += 9 + Digits(i) + Digits(sizes[i]); // "layer;i;n"
        if (i == 0)
            continue;
        const double n = sizes[i], m = sizes[i - 1];
        bytes += 9 + Digits(i) + n * value; // "biases;i" and n values
        bytes += n * (11 + Digits(i) + m * value) + DigitsBelow(sizes[i]); // "weights;i;j" and m values, n times
    }
    return bytes < 9223372036854775807.0 ? static_cast<int64_t>(bytes) : INT64_MAX;
}

void CheckNetworkShape(const std::vector<int>& sizes)
{
    if (sizes.empty() || sizes.size() > static_cast<size_t>(nnet::kNetFileMaxLayers))
        throw std::invalid_argument("a network has 1 to " + std::to_string(nnet::kNetFileMaxLayers) + " layers, not "
            + std::to_string(sizes.size()));
    for (int n : sizes)
        if (n < 1)
            throw std::invalid_argument("a layer has at least one neuron, not " + std::to_string(n));
    if (sizes.size() == 1 && sizes[0] > nnet::kNetFileMaxSingleLayer)
        throw std::invalid_argument("a network of one layer has at most " + std::to_string(nnet::kNetFileMaxSingleLayer)
            + " neurons, not " + std::to_string(sizes[0]));
    const int64_t bytes = ShortestNetworkFile(sizes);
    if (bytes > nnet::kNetFileMaxBytes)
        throw std::invalid_argument("a " + ShapeText(sizes) + " network takes at least " + std::to_string(bytes)
            + " bytes as a file, and network files are read up to " + std::to_string(nnet::kNetFileMaxBytes));
}

} // namespace tamrix::intake
