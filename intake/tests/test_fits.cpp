// FITS intake from a file's bytes in memory: files cut short or ending in a
// short block, headers that would make CFITSIO divide by zero or that it
// could not write back.
#include "intake/fits.h"

#include <fitsio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace tamrix::intake {
namespace {

// 5 x 4 signed 16-bit values 7 i - 50, in the primary HDU or tile-compressed
// (Rice) in HDU 1, with `cards` in the image's header; without the padding
// of the last block.
std::vector<char> MakeFits(bool tiled, const std::vector<std::string>& cards = {})
{
    size_t size = 2880;
    void* buffer = std::malloc(size);
    fitsfile* f = nullptr;
    int status = 0;
    fits_create_memfile(&f, &buffer, &size, 2880, std::realloc, &status);
    long axes[2] = { 5, 4 };
    if (tiled) {
        fits_create_img(f, BYTE_IMG, 0, axes, &status);
        fits_set_compression_type(f, RICE_1, &status);
    }
    fits_create_img(f, SHORT_IMG, 2, axes, &status);
    for (const std::string& card : cards)
        fits_write_record(f, card.c_str(), &status);
    short values[20];
    for (int i = 0; i < 20; ++i)
        values[i] = static_cast<short>(7 * i - 50);
    fits_write_img(f, TSHORT, 1, 20, values, &status);
    fits_flush_file(f, &status);
    // The data of a compressed image are its table and heap.
    LONGLONG head = 0, data = 0, end = 0, width = 40, rows = 1, heap = 0;
    fits_get_hduaddrll(f, &head, &data, &end, &status);
    if (tiled) {
        fits_read_key(f, TLONGLONG, "NAXIS1", &width, nullptr, &status);
        fits_read_key(f, TLONGLONG, "NAXIS2", &rows, nullptr, &status);
        fits_read_key(f, TLONGLONG, "PCOUNT", &heap, nullptr, &status);
    }
    fits_close_file(f, &status);
    EXPECT_EQ(status, 0);
    const std::vector<char> bytes(static_cast<char*>(buffer), static_cast<char*>(buffer) + data + width * rows + heap);
    std::free(buffer);
    return bytes;
}

// Replaces the first card of `key` in the header of HDU 1.
void SetCard(std::vector<char>& bytes, const std::string& key, const std::string& value)
{
    char card[81];
    std::snprintf(card, sizeof card, "%-8s= %20s%50s", key.c_str(), value.c_str(), "");
    for (size_t at = 2880; at + 80 <= bytes.size(); at += 80)
        if (std::string(bytes.data() + at, 8) == std::string(card, 8)) {
            std::copy(card, card + 80, bytes.begin() + at);
            return;
        }
    ADD_FAILURE() << "no card " << key;
}

Frame Read(const std::vector<char>& bytes, int hdu = -1, const ReadOptions& options = {})
{
    ImageName image;
    image.file = "in.fits";
    image.hdu = hdu;
    Warnings warnings;
    return ReadFrame(bytes, image, options, warnings);
}

TEST(FitsFromMemory, ReadsAFileWhoseLastBlockIsShort)
{
    for (bool tiled : { false, true }) {
        const std::vector<char> bytes = MakeFits(tiled);
        ASSERT_NE(bytes.size() % 2880, 0u);
        const Frame frame = Read(bytes, tiled ? 1 : 0);
        ASSERT_EQ(frame.Pixels(), 20u);
        for (size_t i = 0; i < 20; ++i)
            EXPECT_EQ(frame.mapping.Physical(frame.At(i)), 7.0 * i - 50) << tiled << " " << i;
    }
}

// Cards CFITSIO misparsed: a BLANK that is no number (its conversion overran
// a buffer) is none; a card of quotes (its value ran past the buffer) is
// what it is. Only cards it could write back are carried over.
TEST(FitsFromMemory, ReadsCardsThatOverranCfitsioAndCarriesOverOnlyThoseItCanWriteBack)
{
    std::vector<char> bytes = MakeFits(false,
        { "BLANK   =                   -1", "OBSERVER= 'Ann'", "EXPTIME =                    3", "FILTER  = 'R'" });
    std::string text(bytes.begin(), bytes.end());
    text.replace(text.find("BLANK   = ") + 10, 70, "'" + std::string(60, 'x') + "'" + std::string(8, ' '));
    text.replace(text.find("EXPTIME"), 7, "exptime"); // small letters
    text.replace(text.find("FILTER "), 7, "FILTER\x1e"); // CFITSIO would write "FILTER  ="
    const Frame frame = Read(std::vector<char>(text.begin(), text.end()));
    EXPECT_EQ(frame.InvalidCount(), 0u);
    std::string cards;
    for (const std::string& card : frame.cards)
        cards += card.substr(0, 8) + "|";
    EXPECT_NE(cards.find("OBSERVER|"), std::string::npos) << cards;
    EXPECT_EQ(cards.find("exptime"), std::string::npos) << cards;
    EXPECT_EQ(cards.find("FILTER"), std::string::npos) << cards;
    EXPECT_NO_THROW(FitsBytes(frame, {}, false));
    bytes = MakeFits(true);
    text.assign(bytes.begin(), bytes.end());
    text.replace(text.find("ZNAME1  ="), 80, "=    " + std::string(72, '\'') + "   ");
    EXPECT_EQ(Read(std::vector<char>(text.begin(), text.end())).Pixels(), 20u);
}

// Spoiled bytes, each refused with its problem, and images larger than asked.
TEST(FitsFromMemory, RefusesBrokenFilesWithTheirProblemAndImagesLargerThanAsked)
{
    ReadOptions small;
    small.maxPixels = 19;
    EXPECT_THROW(Read(MakeFits(true), -1, small), Error);
    using Spoil = std::function<void(std::vector<char>&)>;
    const Spoil cut = [](auto& b) { b.pop_back(); };
    const struct {
        bool tiled;
        Spoil spoil;
        std::string problem;
    } cases[] = {
        { false, cut, "truncated" },
        { true, cut, "truncated" }, // CFITSIO would read the zeros after the end as tiles
        // CFITSIO went on with a column count it had not read.
        { true, [](auto& b) { SetCard(b, "NAXIS2", "'H'"); },
            "HDU 1: a table whose header breaks the standard: its card 5 is not NAXIS2 = a whole number" },
        // CFITSIO allocated what the table said a tile takes.
        { true, [](auto& b) { b[5760] = 0x7f; }, "truncated: tile 1 lies beyond the heap" },
        // CFITSIO divides by these.
        { true, [](auto& b) { SetCard(b, "ZTILE2", "0"); },
            "HDU 1: the tile size ZTILE2 = 0 is not a whole number from 1" },
        { true, [](auto& b) { SetCard(b, "ZVAL1", "0"); }, "HDU 1: the Rice block size ZVAL1 = 0" },
        // CFITSIO moved there all the same, its tile parameters unset.
        { true, [](auto& b) { b[std::string(b.begin(), b.end()).find("ZVAL1   =") + 4] = '0'; },
            "HDU 1: a compressed image without ZVAL1" },
        { true, [](auto& b) { SetCard(b, "ZNAXIS2", "5"); }, "HDU 1: its tiles do not match the 4 rows of its table" },
        // CFITSIO's conversion of it overran a buffer.
        { true, [](auto& b) { SetCard(b, "ZVAL2", "'" + std::string(30, 'x') + "'"); },
            "HDU 1: ZVAL2 = '" + std::string(30, 'x') + "' is not a number" },
        // Read before as 64-bit floating point, then refused when written.
        { true, [](auto& b) { SetCard(b, "ZBITPIX", "61"); }, "BITPIX 61 is not a FITS pixel type" },
    };
    for (const auto& c : cases) {
        std::vector<char> bytes = MakeFits(c.tiled);
        c.spoil(bytes);
        try {
            Read(bytes);
            ADD_FAILURE() << "read despite " << c.problem;
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find("in.fits: " + c.problem), std::string::npos) << e.what();
        }
    }
}

// The values of a file's pixels as CFITSIO reads them, NaN where undefined.
std::vector<double> Pixels(std::vector<char> bytes)
{
    void* buffer = bytes.data();
    size_t size = bytes.size();
    fitsfile* f = nullptr;
    int status = 0, any = 0;
    fits_open_memfile(&f, "out.fits", READONLY, &buffer, &size, 0, nullptr, &status);
    LONGLONG axes[2] = {};
    fits_get_img_sizell(f, 2, axes, &status);
    std::vector<double> values(static_cast<size_t>(axes[0] * axes[1]));
    double undefined = std::nan("");
    fits_read_img(f, TDOUBLE, 1, LONGLONG(values.size()), &undefined, values.data(), &any, &status);
    fits_close_file(f, &status);
    EXPECT_EQ(status, 0);
    return values;
}

TEST(FitsBytes, WriteFloatingPointThatHoldsEveryValue)
{
    // A grid for 32-bit floats up to their largest: its lowest value lies
    // beyond them.
    const Mapping m { -3.4028236692093846e38, std::ldexp(1.0, 113), 4, false };
    Frame grid(2, 1, m);
    grid.outputBitpix = FLOAT_IMG;
    grid.p32 = { 0, 1 };
    EXPECT_EQ(Pixels(FitsBytes(grid, {}, false)), (std::vector<double> { m.offset, m.offset + m.scale }));
    // Integers whose undefined pixel needs floating point, which 32 bits
    // would round.
    Frame integers(2, 1, Mapping { 1e9 + 1, 1, 2, true });
    integers.invalid = { true, false };
    const std::vector<double> values = Pixels(FitsBytes(integers, {}, true));
    EXPECT_TRUE(std::isnan(values[0]));
    EXPECT_EQ(values[1], 1e9 + 1);
}

} // namespace
} // namespace tamrix::intake
