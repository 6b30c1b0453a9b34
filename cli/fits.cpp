#include "fits.h"

#include "failure.h"
#include "output.h"

#include <fitsio.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <sys/stat.h>

namespace tamrix::cli {
namespace {

std::string StatusText(int status)
{
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    fits_clear_errmsg(); // keep CFITSIO's message stack from growing
    return text;
}

struct FitsCloser {
    void operator()(fitsfile* f) const
    {
        int status = 0;
        fits_close_file(f, &status);
    }
};
using FitsHandle = std::unique_ptr<fitsfile, FitsCloser>;

// Cards that describe the data layout (BITPIX, NAXISn, BZERO, ...), the null
// value, the checksums and the data range are set afresh or no longer hold
// for the written data; everything else travels with the frame.
bool CarriedOver(const char* card)
{
    switch (fits_get_keyclass(const_cast<char*>(card))) {
    case TYP_STRUC_KEY:
    case TYP_CMPRS_KEY:
    case TYP_SCAL_KEY:
    case TYP_NULL_KEY:
    case TYP_CKSUM_KEY:
    case TYP_RANG_KEY:
        return false;
    default:
        return std::string(card).find_first_not_of(' ') != std::string::npos; // blank cards are padding
    }
}

std::vector<std::string> HeaderCards(fitsfile* f, const std::string& path)
{
    int status = 0, count = 0;
    char* text = nullptr;
    if (fits_is_compressed_image(f, &status))
        fits_convert_hdr2str(f, 0, nullptr, 0, &text, &count, &status);
    else
        fits_hdr2str(f, 0, nullptr, 0, &text, &count, &status);
    if (status)
        throw FileFailure(kExitUnreadable, path, "cannot read the header: " + StatusText(status));
    std::vector<std::string> cards;
    for (int i = 0; i < count; ++i) {
        std::string card(text + size_t(i) * 80, 80);
        if (card.compare(0, 8, "END     ") == 0)
            continue;
        if (CarriedOver(card.c_str()))
            cards.push_back(card);
    }
    int freeStatus = 0;
    fits_free_memory(text, &freeStatus);
    return cards;
}

// Moves to the image: the primary HDU, or the first extension when the primary
// one holds no data.
void FindImage(fitsfile* f, const std::string& path)
{
    int status = 0, naxis = 0;
    fits_get_img_dim(f, &naxis, &status);
    if (status)
        throw FileFailure(kExitUnreadable, path, "cannot read the primary header: " + StatusText(status));
    if (naxis > 0)
        return;
    int hdus = 0, type = 0;
    fits_get_num_hdus(f, &hdus, &status);
    if (hdus < 2)
        throw FileFailure(kExitUnsupported, path, "no image: the primary HDU is empty and there is no extension");
    if (fits_movabs_hdu(f, 2, &type, &status))
        throw FileFailure(kExitUnreadable, path, "cannot read the first extension: " + StatusText(status));
    if (type != IMAGE_HDU)
        throw FileFailure(
            kExitUnsupported, path, "no image: the primary HDU is empty and the first extension is a table");
}

std::string Dimensions(int naxis, const LONGLONG* axes)
{
    std::string s;
    for (int i = 0; i < naxis; ++i)
        s += (i ? " x " : "") + std::to_string(axes[i]);
    return s;
}

} // namespace

Frame::Frame(int w, int h, int d)
    : width(w)
    , height(h)
    , depth(d == 2 ? 2 : 4)
{
    if (depth == 2)
        p16.assign(Pixels(), 0);
    else
        p32.assign(Pixels(), 0);
}

uint32_t Frame::Max() const
{
    return depth == 2 ? *std::max_element(p16.begin(), p16.end()) : *std::max_element(p32.begin(), p32.end());
}

uint32_t Frame::Min() const
{
    return depth == 2 ? *std::min_element(p16.begin(), p16.end()) : *std::min_element(p32.begin(), p32.end());
}

void CheckFrameSize(int64_t width, int64_t height, int depth, const std::string& what)
{
    if (width < 1 || height < 1)
        throw Failure(
            kExitUsage, what + " would be empty (" + std::to_string(width) + " x " + std::to_string(height) + ")");
    if (width > kMaxFrameBytes || height > kMaxFrameBytes || width * height * depth > kMaxFrameBytes)
        throw Failure(kExitUnsupported,
            what + " of " + std::to_string(width) + " x " + std::to_string(height)
                + " pixels is too large (at most 2 GiB per frame)");
}

Frame ReadFrame(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        throw FileFailure(kExitUnreadable, path, "no such file");
    if (S_ISDIR(st.st_mode))
        throw FileFailure(kExitUnreadable, path, "is a folder, not a FITS file");
    NoteInput(path);

    // The disk-file form takes the name literally: no CFITSIO filename syntax.
    fitsfile* raw = nullptr;
    int status = 0;
    if (fits_open_diskfile(&raw, path.c_str(), READONLY, &status)) {
        fits_clear_errmsg();
        throw FileFailure(kExitUnreadable, path, "not a readable FITS file (" + StatusText(status) + ")");
    }
    FitsHandle f(raw);
    FindImage(f.get(), path);

    int bitpix = 0, naxis = 0;
    LONGLONG axes[9] = {};
    fits_get_img_paramll(f.get(), 9, &bitpix, &naxis, axes, &status);
    if (status)
        throw FileFailure(kExitUnreadable, path, "cannot read the image size: " + StatusText(status));
    if (naxis < 2)
        throw FileFailure(
            kExitUnsupported, path, "a 1-D image (" + Dimensions(naxis, axes) + "); a frame has two axes");
    for (int i = 2; i < std::min(naxis, 9); ++i)
        if (axes[i] != 1)
            throw FileFailure(kExitUnsupported, path,
                "a data cube (" + Dimensions(naxis, axes) + "); only single 2-D frames are supported");
    if (axes[0] < 1 || axes[1] < 1)
        throw FileFailure(kExitUnsupported, path, "an empty image (" + Dimensions(naxis, axes) + ")");

    int type = 0;
    fits_get_img_equivtype(f.get(), &type, &status);
    int depth = 0;
    switch (type) {
    case BYTE_IMG:
    case SBYTE_IMG:
    case SHORT_IMG:
    case USHORT_IMG:
        depth = 2;
        break;
    case LONG_IMG:
    case ULONG_IMG:
        depth = 4;
        break;
    case FLOAT_IMG:
    case DOUBLE_IMG:
        if (bitpix < 0)
            throw FileFailure(kExitUnsupported, path,
                "floating-point pixels (BITPIX " + std::to_string(bitpix)
                    + "); only unsigned 16- and 32-bit integer frames are supported");
        throw FileFailure(kExitUnsupported, path,
            "integer pixels scaled by BSCALE/BZERO to non-integer values; only unsigned 16- and "
            "32-bit integer frames are supported");
    default:
        throw FileFailure(kExitUnsupported, path,
            "64-bit integer pixels (BITPIX " + std::to_string(bitpix)
                + "); only unsigned 16- and 32-bit integer frames are supported");
    }
    try {
        CheckFrameSize(axes[0], axes[1], depth, "the image");
    } catch (const Failure& e) {
        throw FileFailure(e.Status(), path, e.what());
    }

    // A header that promises more data than the file holds must not make us
    // allocate for it (compressed images are checked by CFITSIO as it reads).
    if (!fits_is_compressed_image(f.get(), &status)) {
        LONGLONG head = 0, data = 0, end = 0;
        fits_get_hduaddrll(f.get(), &head, &data, &end, &status);
        const LONGLONG bytes = axes[0] * axes[1] * (std::abs(bitpix) / 8);
        if (!status && data + bytes > static_cast<LONGLONG>(st.st_size))
            throw FileFailure(kExitUnreadable, path,
                "truncated: the image data ends before its " + std::to_string(axes[0]) + " x " + std::to_string(axes[1])
                    + " pixels");
    }

    Frame frame(static_cast<int>(axes[0]), static_cast<int>(axes[1]), depth);
    frame.path = path;
    int anyNull = 0;
    const LONGLONG n = static_cast<LONGLONG>(frame.Pixels());
    if (depth == 2)
        fits_read_img(f.get(), TUSHORT, 1, n, nullptr, frame.p16.data(), &anyNull, &status);
    else
        fits_read_img(f.get(), TUINT, 1, n, nullptr, frame.p32.data(), &anyNull, &status);
    if (status == NUM_OVERFLOW)
        throw FileFailure(kExitUnsupported, path,
            std::string("signed pixels with negative values (BITPIX ") + std::to_string(bitpix) + "), which unsigned "
                + (depth == 2 ? "16" : "32") + "-bit frames cannot represent");
    if (status)
        throw FileFailure(kExitUnreadable, path, "cannot read the pixels: " + StatusText(status));
    frame.cards = HeaderCards(f.get(), path);
    return frame;
}

void WriteFrame(const std::string& path, const Frame& frame, const std::vector<std::string>& history)
{
    AtomicFile out(path, OutputKind::Binary);
    // CFITSIO builds the file in memory; the AtomicFile then puts it on disk
    // whole, so a failure at any point leaves no output.
    size_t size = 2880 * 4;
    void* buffer = std::malloc(size);
    fitsfile* f = nullptr;
    int status = 0;
    auto fail = [&](const std::string& what) {
        int ignored = 0;
        if (f)
            fits_close_file(f, &ignored);
        std::free(buffer);
        return FileFailure(kExitFailure, path, what + ": " + StatusText(status));
    };
    if (!buffer || fits_create_memfile(&f, &buffer, &size, 2880 * 64, std::realloc, &status))
        throw fail("cannot build the FITS file");
    long axes[2] = { frame.width, frame.height };
    // USHORT_IMG and ULONG_IMG are BITPIX 16 and 32 with BZERO 32768 and 2147483648.
    fits_create_img(f, frame.depth == 2 ? USHORT_IMG : ULONG_IMG, 2, axes, &status);
    for (const std::string& card : frame.cards)
        fits_write_record(f, card.c_str(), &status);
    for (const std::string& line : history)
        fits_write_history(f, line.c_str(), &status); // continues on further cards past 72 characters
    const LONGLONG n = static_cast<LONGLONG>(frame.Pixels());
    if (frame.depth == 2)
        fits_write_img(f, TUSHORT, 1, n, const_cast<uint16_t*>(frame.p16.data()), &status);
    else
        fits_write_img(f, TUINT, 1, n, const_cast<uint32_t*>(frame.p32.data()), &status);
    LONGLONG head = 0, data = 0, end = 0;
    fits_get_hduaddrll(f, &head, &data, &end, &status);
    if (status)
        throw fail("cannot build the FITS file");
    fits_close_file(f, &status); // pads the last block and finishes the header
    f = nullptr;
    if (status)
        throw fail("cannot build the FITS file");
    const size_t length = (static_cast<size_t>(end) + 2879) / 2880 * 2880;
    try {
        out.Write(buffer, std::min(length, size));
    } catch (...) {
        std::free(buffer);
        throw;
    }
    std::free(buffer);
    out.Commit();
}

void MatchFrame(const Frame& reference, Frame& other)
{
    if (other.width != reference.width || other.height != reference.height)
        throw FileFailure(kExitMismatch, other.path,
            std::to_string(other.width) + " x " + std::to_string(other.height) + " pixels, but " + reference.path
                + " has " + std::to_string(reference.width) + " x " + std::to_string(reference.height));
    if (other.depth == reference.depth)
        return;
    Frame converted(other.width, other.height, reference.depth);
    if (reference.depth == 2 && other.Max() > 65535)
        throw FileFailure(kExitMismatch, other.path,
            "32-bit values up to " + std::to_string(other.Max()) + " do not fit the 16-bit frame " + reference.path);
    for (size_t i = 0; i < other.Pixels(); ++i)
        converted.Set(i, other.At(i));
    converted.cards = std::move(other.cards);
    converted.path = std::move(other.path);
    other = std::move(converted);
}

} // namespace tamrix::cli
