#include "fits.h"

#include <fitsio.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <sys/stat.h>

namespace tamrix::intake {
namespace {

// The most a gzip'd FITS file may unpack to: far above a frame's 2 GiB, and a
// bound on what a crafted file can make us hold.
constexpr int64_t kMaxUnpacked = int64_t { 4 } << 30;

std::string StatusText(int status)
{
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    fits_clear_errmsg(); // keep CFITSIO's message stack from growing
    return text;
}

[[noreturn]] void Fail(Fault fault, const std::string& name, const std::string& problem)
{
    throw Error(fault, name + ": " + problem);
}

struct FitsCloser {
    void operator()(fitsfile* f) const
    {
        int status = 0;
        fits_close_file(f, &status);
        fits_clear_errmsg();
    }
};
using FitsHandle = std::unique_ptr<fitsfile, FitsCloser>;

// An open file: CFITSIO's handle and, for files read from memory, the bytes
// it reads. CFITSIO keeps the address of `buffer`, so an OpenFits stays
// where it was made.
struct OpenFits {
    std::vector<char> bytes;
    void* buffer = nullptr;
    size_t size = 0;
    int64_t fileBytes = 0; // what the data must fit in
    std::string path; // of a file CFITSIO reads from disk, "" for one in memory
    FitsHandle f;

    OpenFits() = default;
    OpenFits(const OpenFits&) = delete;
    OpenFits& operator=(const OpenFits&) = delete;
};

bool IsGzip(const char* m, size_t n)
{
    return n >= 2 && m[0] == '\x1f' && m[1] == '\x8b';
}

// bzip2, zip and Unix compress: packings CFITSIO would need a file name for.
bool IsOtherPacking(const char* m, size_t n)
{
    const std::string magic(m, std::min<size_t>(n, 4));
    return magic.rfind("BZh", 0) == 0 || magic.rfind("PK\x03\x04", 0) == 0
        || (n >= 2 && m[0] == '\x1f' && m[1] == '\x9d');
}

// Unpacks gzip'd data as gunzip does (members one after another, anything
// after the last ignored), to at most kMaxUnpacked bytes. `fill(to, room)`
// hands over the packed bytes piece by piece, 0 at their end.
template <typename Fill> void Unpack(Fill fill, const std::string& name, std::vector<char>& out)
{
    z_stream z {};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK)
        Fail(Fault::Failure, name, "cannot unpack: out of memory");
    const std::unique_ptr<z_stream, int (*)(z_stream*)> end(&z, inflateEnd);
    std::vector<unsigned char> in(1 << 17);
    z.next_in = in.data();
    size_t used = 0;
    out.resize(1 << 20);
    bool inMember = true;
    for (;;) {
        if (z.avail_in < 2) {
            // Two bytes at hand tell whether another member follows.
            std::memmove(in.data(), z.next_in, z.avail_in);
            z.next_in = in.data();
            z.avail_in += static_cast<uInt>(fill(in.data() + z.avail_in, in.size() - z.avail_in));
        }
        if (!inMember) {
            if (!IsGzip(reinterpret_cast<const char*>(z.next_in), z.avail_in))
                break;
            inflateReset(&z);
            inMember = true;
        }
        if (z.avail_in == 0)
            Fail(Fault::Unreadable, name, "bad gzip data: the file ends inside its packed stream");
        if (used == out.size()) {
            if (static_cast<int64_t>(out.size()) >= kMaxUnpacked)
                Fail(Fault::Unsupported, name, "unpacks to more than 4 GiB: unpack it first (gunzip)");
            out.resize(std::min<size_t>(out.size() * 2, static_cast<size_t>(kMaxUnpacked)));
        }
        z.next_out = reinterpret_cast<Bytef*>(out.data() + used);
        z.avail_out = static_cast<uInt>(std::min<size_t>(out.size() - used, 1u << 30));
        const uInt room = z.avail_out;
        const int result = inflate(&z, Z_NO_FLUSH);
        used += room - z.avail_out;
        if (result == Z_STREAM_END)
            inMember = false;
        else if (result != Z_OK)
            Fail(Fault::Unreadable, name, std::string("bad gzip data: ") + (z.msg ? z.msg : zError(result)));
    }
    out.resize(used);
}

// Opens the FITS file in `o.bytes`, as they are.
void OpenMemory(OpenFits& o, const std::string& name)
{
    // CFITSIO reads whole blocks of 2880 bytes: a short last one gets zeros
    // after the file's end, which the data must not reach into.
    o.fileBytes = static_cast<int64_t>(o.bytes.size());
    o.bytes.resize((o.bytes.size() + 2879) / 2880 * 2880, 0);
    o.buffer = o.bytes.data();
    o.size = o.bytes.size();
    fitsfile* raw = nullptr;
    int status = 0;
    fits_open_memfile(&raw, name.c_str(), READONLY, &o.buffer, &o.size, 0, nullptr, &status);
    if (status)
        Fail(Fault::Unreadable, name, "not a readable FITS file (" + StatusText(status) + ")");
    o.f.reset(raw);
}

// Opens a file's bytes, plain or gzip'd.
void OpenBytes(OpenFits& o, std::vector<char> bytes, const std::string& name)
{
    if (IsOtherPacking(bytes.data(), bytes.size()))
        Fail(Fault::Unsupported, name, "a compressed file other than gzip: unpack it first");
    if (IsGzip(bytes.data(), bytes.size())) {
        size_t at = 0;
        Unpack(
            [&](unsigned char* to, size_t room) {
                const size_t n = std::min(room, bytes.size() - at);
                std::memcpy(to, bytes.data() + at, n);
                at += n;
                return n;
            },
            name, o.bytes);
    } else {
        o.bytes = std::move(bytes);
    }
    OpenMemory(o, name);
}

void Open(OpenFits& o, const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        Fail(Fault::Unreadable, path, "no such file");
    if (S_ISDIR(st.st_mode))
        Fail(Fault::Unreadable, path, "is a folder, not a FITS file");
    struct FileCloser {
        void operator()(FILE* file) const { std::fclose(file); }
    };
    const std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        Fail(Fault::Unreadable, path, std::string("cannot open: ") + std::strerror(errno));
    char magic[4] = {};
    const size_t n = std::fread(magic, 1, sizeof magic, file.get());
    if (IsGzip(magic, n)) {
        // Unpacked in memory: CFITSIO's own unpacking goes through its
        // extended file-name syntax.
        size_t pending = n;
        Unpack(
            [&](unsigned char* to, size_t room) {
                size_t got = std::min(room, pending);
                std::memcpy(to, magic + (n - pending), got);
                pending -= got;
                return got + std::fread(to + got, 1, room - got, file.get());
            },
            path, o.bytes);
        OpenMemory(o, path);
        return;
    }
    if (IsOtherPacking(magic, n))
        Fail(Fault::Unsupported, path, "a compressed file other than gzip: unpack it first");
    o.fileBytes = static_cast<int64_t>(st.st_size);
    o.path = path;
    // The disk-file form takes the name literally: no extended syntax.
    fitsfile* raw = nullptr;
    int status = 0;
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".imh") == 0) {
        // An IRAF image (header .imh, pixels .pix), which CFITSIO converts in
        // memory: its name goes through CFITSIO's parser, so it must hold
        // nothing that parser reads as syntax.
        if (path.find_first_of("[]()!+*?") != std::string::npos)
            Fail(Fault::Usage, path, "an IRAF image name with a character of CFITSIO's syntax: rename it");
        o.fileBytes = std::numeric_limits<int64_t>::max(); // CFITSIO reads the pixel file as it builds the image
        fits_open_file(&raw, path.c_str(), READONLY, &status);
    } else {
        fits_open_diskfile(&raw, path.c_str(), READONLY, &status);
    }
    if (status)
        Fail(Fault::Unreadable, path, "not a readable FITS file (" + StatusText(status) + ")");
    o.f.reset(raw);
}

bool IsImage(fitsfile* f)
{
    int status = 0, type = 0;
    fits_get_hdu_type(f, &type, &status);
    return !status && (type == IMAGE_HDU || fits_is_compressed_image(f, &status));
}

int Naxis(fitsfile* f)
{
    int status = 0, naxis = 0;
    fits_get_img_dim(f, &naxis, &status);
    return status ? 0 : naxis;
}

template <typename T> std::optional<T> Key(fitsfile* f, int type, const char* key)
{
    T value {};
    int status = 0;
    if (fits_read_key(f, type, key, &value, nullptr, &status)) {
        fits_clear_errmsg();
        return std::nullopt;
    }
    return value;
}

// A whole-number keyword, parsed here: CFITSIO's own conversion to 64 bits
// overruns a buffer with its message about a long value that is no number.
std::optional<LONGLONG> IntegerKey(fitsfile* f, const char* key)
{
    char text[FLEN_VALUE] = {};
    int status = 0;
    if (fits_read_keyword(f, key, text, nullptr, &status)) {
        fits_clear_errmsg();
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    while (*end == ' ')
        ++end;
    if (end == text || *end != '\0' || errno == ERANGE)
        return std::nullopt;
    return value;
}

// A header card's value as CFITSIO parses it ("" when it has none).
std::string ValueOf(std::string card)
{
    // Room for a whole card each: CFITSIO fills the value past FLEN_VALUE,
    // unterminated, for some cards that break the standard.
    char value[FLEN_CARD + 1] = {}, comment[FLEN_CARD + 1] = {};
    int status = 0;
    fits_parse_value(card.data(), value, comment, &status);
    fits_clear_errmsg();
    return status ? "" : std::string(value, strnlen(value, FLEN_CARD));
}

// "0", "+64", "0032": a value written as a whole number.
std::optional<long long> WholeNumber(const std::string& text)
{
    const std::string digits = !text.empty() && text[0] == '+' ? text.substr(1) : text;
    if (digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoll(digits);
}

// Keywords CFITSIO reads as integers as it moves to a compressed image or
// a table: its conversion overruns a buffer with its message about a long
// value that is no number.
bool ReadAsInteger(const std::string& key)
{
    static const char* const kExact[] = { "ZBITPIX", "ZNAXIS", "ZDITHER0", "ZBLANK", "BLANK", "THEAP" };
    static const char* const kPrefix[] = { "ZNAXIS", "ZTILE", "ZVAL", "TNULL" };
    return std::any_of(std::begin(kExact), std::end(kExact), [&](const char* k) { return key == k; })
        || std::any_of(std::begin(kPrefix), std::end(kPrefix), [&](const char* k) { return key.rfind(k, 0) == 0; });
}

// A value CFITSIO converts to a number without complaint: a number or a
// logical.
bool Numeric(const std::string& value)
{
    char* end = nullptr;
    std::strtod(value.c_str(), &end);
    return value == "T" || value == "F" || (!value.empty() && end == value.c_str() + value.size());
}

// Keywords of the tile-compression convention and a table's column names.
bool Tiling(const std::string& key)
{
    static const char* const kPrefix[] = { "ZCMPTYPE", "ZBITPIX", "ZNAXIS", "ZTILE", "ZVAL1", "NAXIS2", "TTYPE" };
    return std::any_of(std::begin(kPrefix), std::end(kPrefix), [&](const char* k) { return key.rfind(k, 0) == 0; });
}

// CFITSIO takes an extension's header as it comes when it moves there: it
// sizes a table by its mandatory cards even when one of them is garbled (an
// uninitialised column count), converts integer keywords as above, divides
// by the tile sizes (ZTILEn) and the Rice block size (ZVAL1) of a compressed
// image, and moves on when it could not take them (a missing ZVAL1, tiles
// that do not match the rows), its tile parameters unset. A header that
// could lead it there is refused before the move. It starts at byte `at`.
void CheckHeader(const OpenFits& o, int64_t at, int index, const std::string& name)
{
    std::ifstream file;
    if (!o.path.empty()) {
        file.open(o.path, std::ios::binary);
        file.seekg(at);
    }
    static const char* const kTable[]
        = { "XTENSION", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "PCOUNT", "GCOUNT", "TFIELDS" };
    bool table = false, compressed = false, end = false;
    std::string badTable, badNumber;
    std::map<std::string, std::pair<std::string, int>> tiling; // first value, count
    char block[2880];
    for (int64_t offset = at, number = 0; !end && offset < o.fileBytes; offset += 2880) {
        // What CFITSIO reads: whole blocks, in memory with zeros after the end.
        if (o.path.empty())
            std::memcpy(block, o.bytes.data() + offset, sizeof block);
        else if (!file.read(block, sizeof block))
            break;
        for (int i = 0; i < 36 && !end; ++i, ++number) {
            const std::string card(block + 80 * i, 80);
            const std::string key = card.substr(0, std::min<size_t>(card.find_first_of(" ="), 8));
            const std::string value = ValueOf(card);
            end = key == "END";
            if (number == 0)
                table = key == "XTENSION" && (value.rfind("'BINTABLE", 0) == 0 || value.rfind("'TABLE", 0) == 0);
            else if (table && number < 8 && badTable.empty()) {
                const std::optional<long long> whole = WholeNumber(value);
                if (key != kTable[number] || !whole || (number == 7 && *whole > 999))
                    badTable
                        = "its card " + std::to_string(number + 1) + " is not " + kTable[number] + " = a whole number";
            }
            if (ReadAsInteger(key) && !Numeric(value) && badNumber.empty())
                badNumber = key + " = " + value;
            compressed |= key == "ZIMAGE" && value != "F";
            if (Tiling(key) && tiling[key].second++ == 0)
                tiling[key].first = value;
        }
    }
    const std::string hdu = "HDU " + std::to_string(index) + ": ";
    if (!badTable.empty())
        Fail(Fault::Unreadable, name, hdu + "a table whose header breaks the standard: " + badTable);
    if ((table || compressed) && !badNumber.empty())
        Fail(Fault::Unreadable, name, hdu + badNumber + " is not a number");
    if (!compressed)
        return;

    for (const auto& [key, seen] : tiling)
        if (seen.second > 1 && key.rfind("TTYPE", 0) != 0)
            Fail(Fault::Unreadable, name, hdu + key + " appears " + std::to_string(seen.second) + " times");
    auto value = [&](const std::string& key) {
        const auto it = tiling.find(key);
        if (it == tiling.end())
            Fail(Fault::Unreadable, name, hdu + "a compressed image without " + key);
        return it->second.first;
    };
    auto whole = [&](const std::string& key, long long least, const std::string& what = "") {
        const std::optional<long long> v = WholeNumber(value(key));
        if (!v || *v < least)
            Fail(Fault::Unreadable, name,
                hdu + what + key + " = " + value(key) + " is not a whole number from " + std::to_string(least));
        return *v;
    };
    std::string type; // 'RICE_1  ' as RICE_1
    for (char c : value("ZCMPTYPE"))
        if (c != '\'' && c != ' ')
            type += c;
    static const char* const kTypes[]
        = { "RICE_1", "RICE_ONE", "GZIP_1", "GZIP_2", "HCOMPRESS_1", "BZIP2_1", "PLIO_1", "NOCOMPRESS" };
    if (std::none_of(std::begin(kTypes), std::end(kTypes), [&](const char* t) { return type == t; }))
        Fail(Fault::Unsupported, name, hdu + "an unknown compression " + value("ZCMPTYPE"));
    value("ZBITPIX");
    const long long axes = whole("ZNAXIS", 1);
    if (axes > 6)
        Fail(Fault::Unsupported, name, hdu + "a compressed image of " + std::to_string(axes) + " axes");
    const long long rows = whole("NAXIS2", 0);
    long long tiles = 1;
    for (long long n = 1; n <= axes; ++n) {
        const std::string axis = std::to_string(n);
        const long long length = whole("ZNAXIS" + axis, 0);
        const long long tile = !tiling.count("ZTILE" + axis) ? (n == 1 ? std::max(length, 1LL) : 1)
                                                             : whole("ZTILE" + axis, 1, "the tile size ");
        const long long across = (length - 1) / tile + 1; // as CFITSIO counts them
        tiles = tiles > rows / std::max(across, 1LL) ? rows + 1 : tiles * across;
    }
    if (tiles != rows)
        Fail(
            Fault::Unreadable, name, hdu + "its tiles do not match the " + std::to_string(rows) + " rows of its table");
    if (type.rfind("RICE", 0) == 0)
        whole("ZVAL1", 1, "the Rice block size ");
    else if (type == "HCOMPRESS_1")
        value("ZVAL1"); // the scale
    const bool data = std::any_of(tiling.begin(), tiling.end(), [](const auto& entry) {
        std::string column = entry.second.first;
        for (char& c : column)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return entry.first.rfind("TTYPE", 0) == 0 && column.rfind("'COMPRESSED_DATA", 0) == 0;
    });
    if (!data)
        Fail(Fault::Unreadable, name, hdu + "a compressed image without a COMPRESSED_DATA column");
}

// CFITSIO allocates for each tile as many bytes as the table says it takes:
// every tile must lie within the heap, which lies within the file.
void CheckTiles(fitsfile* f, const std::string& name)
{
    int status = 0, columns = 0;
    LONGLONG rows = 0;
    fits_get_num_cols(f, &columns, &status);
    fits_get_num_rowsll(f, &rows, &status);
    const LONGLONG table = IntegerKey(f, "NAXIS1").value_or(0) * rows;
    const LONGLONG heap = IntegerKey(f, "PCOUNT").value_or(0) - (IntegerKey(f, "THEAP").value_or(table) - table);
    for (int column = 1; column <= columns && !status; ++column) {
        int type = 0;
        LONGLONG repeat = 0, width = 0;
        fits_get_coltypell(f, column, &type, &repeat, &width, &status);
        for (LONGLONG row = 1; type < 0 && row <= rows && !status; ++row) {
            LONGLONG length = 0, offset = 0;
            fits_read_descriptll(f, column, row, &length, &offset, &status);
            if (!status && (offset < 0 || length < 0 || double(offset) + double(length) * double(width) > double(heap)))
                Fail(Fault::Unreadable, name, "truncated: tile " + std::to_string(row) + " lies beyond the heap");
        }
    }
    if (status)
        Fail(Fault::Unreadable, name, "cannot read the tiles: " + StatusText(status));
}

// Moves from HDU `index - 1` to HDU `index`; false when there is none.
bool MoveOn(const OpenFits& o, int index, const std::string& name)
{
    int status = 0, type = 0;
    LONGLONG head = 0, data = 0, end = 0;
    fits_get_hduaddrll(o.f.get(), &head, &data, &end, &status);
    if (status || end >= o.fileBytes)
        return false;
    CheckHeader(o, end, index, name);
    if (fits_movrel_hdu(o.f.get(), 1, &type, &status)) {
        if (status == END_OF_FILE) {
            fits_clear_errmsg();
            return false;
        }
        Fail(Fault::Unreadable, name, "cannot read HDU " + std::to_string(index) + ": " + StatusText(status));
    }
    return true;
}

// Whether the HDU is the extension named `n.extname` (EXTNAME or HDUNAME, in
// any case) of version `n.extver` (EXTVER or HDUVER, 1 when absent; any
// version when n.extver is 0).
bool Named(fitsfile* f, const ImageName& n)
{
    auto upper = [](std::string s) {
        for (char& c : s)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return s;
    };
    char text[FLEN_VALUE] = {};
    int status = 0;
    if (fits_read_key(f, TSTRING, "EXTNAME", text, nullptr, &status)) {
        status = 0;
        fits_read_key(f, TSTRING, "HDUNAME", text, nullptr, &status);
    }
    fits_clear_errmsg();
    std::string found = text;
    found.erase(found.find_last_not_of(' ') + 1);
    if (status || upper(found) != upper(n.extname))
        return false;
    std::optional<LONGLONG> version = IntegerKey(f, "EXTVER");
    if (!version)
        version = IntegerKey(f, "HDUVER");
    return n.extver == 0 || version.value_or(1) == n.extver;
}

// Moves to the image the name asks for, or to the first HDU with one,
// HDU by HDU from the primary one.
void FindImage(const OpenFits& o, const ImageName& n, const std::string& name)
{
    fitsfile* f = o.f.get();
    for (int index = 0; index == 0 || MoveOn(o, index, name); ++index) {
        if (n.hdu >= 0) {
            if (index < n.hdu)
                continue;
            if (!IsImage(f))
                Fail(Fault::Unsupported, name, "HDU " + std::to_string(n.hdu) + " is a table, not an image");
            return;
        }
        if (!n.extname.empty()) {
            if (!Named(f, n))
                continue;
            if (!IsImage(f))
                Fail(Fault::Unsupported, name, "extension " + n.extname + " is a table, not an image");
            return;
        }
        if (IsImage(f) && Naxis(f) > 0)
            return;
    }
    if (n.hdu >= 0)
        Fail(Fault::Usage, name, "there is no HDU " + std::to_string(n.hdu));
    if (!n.extname.empty())
        Fail(Fault::Usage, name, "there is no extension named " + n.extname);
    Fail(Fault::Unsupported, name, "no image: no HDU holds image data");
}

std::string Dimensions(int naxis, const LONGLONG* axes)
{
    std::string s;
    for (int i = 0; i < naxis; ++i)
        s += (i ? " x " : "") + std::to_string(axes[i]);
    return s;
}

// Whether CFITSIO writes the card back as it is. It refuses a keyword in
// small letters; it mends characters outside printable ASCII into spaces,
// which could make another card ("BITPIX\x1e=" a second BITPIX), and writes
// the name in capitals: up to the '=' (free-format names), the first 8
// characters of commentary cards.
bool WrittenAsItIs(const std::string& card)
{
    int status = 0;
    fits_test_keyword(const_cast<char*>(card.substr(0, 8).c_str()), &status);
    fits_test_record(const_cast<char*>(card.c_str()), &status);
    fits_clear_errmsg();
    const bool commentary = card.compare(0, 8, "COMMENT ") == 0 || card.compare(0, 8, "HISTORY ") == 0
        || card.compare(0, 8, "        ") == 0 || card.compare(0, 8, "CONTINUE") == 0;
    const size_t equals = card.find('=');
    const size_t name = std::min(commentary || equals == std::string::npos ? 8 : equals, card.size());
    return status == 0 && std::none_of(card.begin(), card.begin() + static_cast<std::ptrdiff_t>(name), [](char c) {
        return std::islower(static_cast<unsigned char>(c));
    });
}

// Cards that describe the data layout (BITPIX, NAXISn, BZERO, ...), the null
// value, the checksums and the data range are set afresh or no longer hold
// for the written data; everything else travels with the frame if it can.
bool CarriedOver(const std::string& card)
{
    if (!WrittenAsItIs(card))
        return false;
    switch (fits_get_keyclass(const_cast<char*>(card.c_str()))) {
    case TYP_STRUC_KEY:
    case TYP_CMPRS_KEY:
    case TYP_SCAL_KEY:
    case TYP_NULL_KEY:
    case TYP_CKSUM_KEY:
    case TYP_RANG_KEY:
        return false;
    default:
        return card.find_first_not_of(' ') != std::string::npos; // blank cards are padding
    }
}

std::vector<std::string> HeaderCards(fitsfile* f, const std::string& name)
{
    int status = 0, count = 0;
    char* text = nullptr;
    // A tile-compressed image's header is its table's: the table and
    // compression cards fall out with the structural ones below.
    fits_hdr2str(f, 0, nullptr, 0, &text, &count, &status);
    if (status)
        Fail(Fault::Unreadable, name, "cannot read the header: " + StatusText(status));
    std::vector<std::string> cards;
    for (int i = 0; i < count; ++i) {
        std::string card(text + size_t(i) * 80, 80);
        if (card.compare(0, 8, "END     ") != 0 && CarriedOver(card))
            cards.push_back(card);
    }
    int freeStatus = 0;
    fits_free_memory(text, &freeStatus);
    return cards;
}

Sample SampleOf(int bitpix)
{
    switch (bitpix) {
    case BYTE_IMG:
        return Sample::U8;
    case SHORT_IMG:
        return Sample::I16;
    case LONG_IMG:
        return Sample::I32;
    case LONGLONG_IMG:
        return Sample::I64;
    case FLOAT_IMG:
        return Sample::F32;
    default:
        return Sample::F64;
    }
}

int CfitsioType(Sample s)
{
    switch (s) {
    case Sample::U8:
        return TBYTE;
    case Sample::I16:
        return TSHORT;
    case Sample::I32:
        return TINT;
    case Sample::I64:
        return TLONGLONG;
    case Sample::F32:
        return TFLOAT;
    default:
        return TDOUBLE;
    }
}

// The header and the stored samples of one image plane.
struct Raw {
    std::string name;
    Format format;
    int width = 0, height = 0, bitpix = 0;
    std::vector<std::string> cards;
    LONGLONG first[9] = { 1, 1, 1, 1, 1, 1, 1, 1, 1 }; // FITS coordinates of the plane's first pixel
    int64_t planes = 1;
    bool compressed = false; // tile-compressed
    int64_t tileRows = 1; // of a tile-compressed image
    std::vector<double> storage; // 8-byte aligned room for the samples
    const void* Samples() const { return storage.data(); }
    size_t Pixels() const { return static_cast<size_t>(width) * static_cast<size_t>(height); }
};

// The header of the image `n` chooses in an open file, checked against the
// file; `name` for messages. Leaves CFITSIO at that image.
Raw ReadHeader(const OpenFits& o, const ImageName& n, const std::string& name, const ReadOptions& options)
{
    const int plane = options.plane;
    FindImage(o, n, name);
    fitsfile* f = o.f.get();

    int status = 0, bitpix = 0, naxis = 0;
    LONGLONG axes[9] = {};
    fits_get_img_paramll(f, 9, &bitpix, &naxis, axes, &status);
    if (status)
        Fail(Fault::Unreadable, name, "cannot read the image size: " + StatusText(status));
    if (bitpix != BYTE_IMG && bitpix != SHORT_IMG && bitpix != LONG_IMG && bitpix != LONGLONG_IMG && bitpix != FLOAT_IMG
        && bitpix != DOUBLE_IMG)
        Fail(Fault::Unreadable, name,
            "BITPIX " + std::to_string(bitpix) + " is not a FITS pixel type (8, 16, 32, 64, -32 or -64)");
    if (naxis < 2)
        Fail(Fault::Unsupported, name, "a 1-D image (" + Dimensions(naxis, axes) + "); a frame has two axes");
    if (naxis > 9)
        Fail(Fault::Unsupported, name, "an image of " + std::to_string(naxis) + " axes");
    // One further axis may count planes; the others must be 1.
    LONGLONG planes = 1;
    for (int i = 2; i < naxis; ++i) {
        if (axes[i] < 1)
            Fail(Fault::Unsupported, name, "an empty image (" + Dimensions(naxis, axes) + ")");
        if (axes[i] > 1 && planes > 1)
            Fail(Fault::Unsupported, name,
                "an image of " + Dimensions(naxis, axes) + " pixels: only one axis beyond the second can count planes");
        planes *= axes[i];
    }
    if (axes[0] < 1 || axes[1] < 1)
        Fail(Fault::Unsupported, name, "an empty image (" + Dimensions(naxis, axes) + ")");
    if (plane < 0 && planes > 1)
        Fail(Fault::Usage, name,
            "a cube of " + std::to_string(planes) + " planes (" + Dimensions(naxis, axes)
                + "): choose one with --plane N (0 .. " + std::to_string(planes - 1) + ")");
    if (plane >= planes)
        Fail(Fault::Usage, name,
            "--plane " + std::to_string(plane) + " is beyond its " + std::to_string(planes) + " plane"
                + (planes == 1 ? "" : "s") + " (0-based)");
    try {
        CheckFrameSize(axes[0], axes[1], 2, "the image");
    } catch (const Error& e) {
        Fail(e.Kind(), name, e.what());
    }
    if (options.maxPixels > 0 && axes[0] * axes[1] > options.maxPixels)
        Fail(Fault::Unsupported, name,
            "an image of " + Dimensions(2, axes) + " pixels, more than the " + std::to_string(options.maxPixels)
                + " this reader takes");

    Raw r;
    r.name = name;
    r.bitpix = bitpix;
    r.width = static_cast<int>(axes[0]);
    r.height = static_cast<int>(axes[1]);
    r.format.name = name;
    r.format.sample = SampleOf(bitpix);
    r.format.bzero = Key<double>(f, TDOUBLE, "BZERO").value_or(0.0);
    r.format.bscale = Key<double>(f, TDOUBLE, "BSCALE").value_or(1.0);
    if (!IsFloat(r.format.sample))
        r.format.blank = IntegerKey(f, "BLANK");
    r.format.dataMin = Key<double>(f, TDOUBLE, "DATAMIN");
    r.format.dataMax = Key<double>(f, TDOUBLE, "DATAMAX");

    const int bytes = SampleBytes(r.format.sample);
    // A header that promises more data than the file holds must not make us
    // allocate for it, nor read the zeros after a short last block. A
    // compressed image's data are its table and heap, which CFITSIO checks
    // tile by tile as it unpacks them.
    LONGLONG head = 0, data = 0, end = 0;
    fits_get_hduaddrll(f, &head, &data, &end, &status);
    double dataBytes = double(axes[0]) * double(axes[1]) * double(planes) * bytes;
    const bool compressed = fits_is_compressed_image(f, &status);
    if (compressed) {
        auto table = [f](const char* key) { return double(IntegerKey(f, key).value_or(0)); };
        dataBytes = table("NAXIS1") * table("NAXIS2") + table("PCOUNT");
    }
    if (!status && double(data) + dataBytes > double(o.fileBytes))
        Fail(Fault::Unreadable, name,
            "truncated: the image data ends before its " + Dimensions(naxis, axes) + " pixels");
    if (compressed)
        CheckTiles(f, name);
    r.compressed = compressed;
    if (compressed)
        r.tileRows = std::max<LONGLONG>(1, IntegerKey(f, "ZTILE2").value_or(1));
    r.planes = planes;
    // The plane index runs over the axes beyond the second (only one is longer than 1).
    for (int i = 2; i < naxis; ++i)
        if (axes[i] > 1)
            r.first[i] = plane + 1;
    r.cards = HeaderCards(f, name);
    return r;
}

// Stored samples of rows [y, y + rows) of the image ReadHeader found.
void ReadSamples(fitsfile* f, const Raw& r, int y, int rows, void* samples)
{
    LONGLONG first[9];
    std::copy(std::begin(r.first), std::end(r.first), first);
    first[1] = y + 1;
    int status = 0, anyNull = 0;
    fits_set_bscale(f, 1.0, 0.0, &status); // stored values: the mapping scales them
    fits_read_pixll(f, CfitsioType(r.format.sample), first, static_cast<LONGLONG>(r.width) * rows, nullptr, samples,
        &anyNull, &status);
    if (status)
        Fail(Fault::Unreadable, r.name, "cannot read the pixels: " + StatusText(status));
}

Raw ReadRaw(const OpenFits& o, const ImageName& n, const std::string& name, const ReadOptions& options)
{
    Raw r = ReadHeader(o, n, name, options);
    r.storage.resize((r.Pixels() * static_cast<size_t>(SampleBytes(r.format.sample)) + 7) / 8);
    ReadSamples(o.f.get(), r, 0, r.height, r.storage.data());
    return r;
}

Raw ReadRaw(const std::string& name, const ReadOptions& options)
{
    const ImageName n = ParseImageName(name);
    OpenFits o;
    Open(o, n.file);
    return ReadRaw(o, n, name, options);
}

Frame Convert(const Raw& r, const Mapping& m, bool keepInvalid, Warnings& warnings)
{
    try {
        CheckFrameSize(r.width, r.height, m.depth, "the image");
    } catch (const Error& e) {
        Fail(e.Kind(), r.name, e.what());
    }
    Frame frame(r.width, r.height, m);
    frame.path = r.name;
    frame.cards = r.cards;
    frame.blank = r.format.blank;
    frame.outputBitpix = IsFloat(r.format.sample) ? r.bitpix : 0;
    const std::string text = MapOnto(r.Samples(), r.Pixels(), r.format, m, frame.Data(), frame.invalid, keepInvalid);
    if (!text.empty())
        warnings.push_back(text);
    return frame;
}

// Frames of raw images under one mapping.
std::vector<Frame> FramesOf(const std::vector<Raw>& raws, const ReadOptions& options, Warnings& warnings)
{
    std::vector<Format> formats;
    for (const Raw& r : raws)
        formats.push_back(r.format);
    std::optional<std::pair<double, double>> range;
    if (NeedsDataRange(formats, options.mapping)) {
        double lo = std::numeric_limits<double>::infinity(), hi = -lo;
        for (const Raw& r : raws) {
            const auto [a, b] = FiniteRange(r.Samples(), r.Pixels(), r.format);
            lo = std::min(lo, a);
            hi = std::max(hi, b);
        }
        range = std::make_pair(lo, hi);
    }
    const Mapping m = ChooseMapping(formats, options.mapping, range);
    std::vector<Frame> frames;
    for (const Raw& r : raws)
        frames.push_back(Convert(r, m, options.keepInvalid, warnings));
    return frames;
}

} // namespace

std::optional<double> CardNumber(const std::vector<std::string>& cards, const std::string& key)
{
    const std::string name = (key + "        ").substr(0, 8);
    for (const std::string& card : cards)
        if (card.size() > 10 && card.compare(0, 8, name) == 0 && card[8] == '=') {
            const std::string value = card.substr(10);
            char* end = nullptr;
            const double number = std::strtod(value.c_str(), &end);
            if (end != value.c_str() && std::isfinite(number))
                return number;
        }
    return std::nullopt;
}

bool ConcurrentReads()
{
    return fits_is_reentrant() != 0;
}

ImageName ParseImageName(const std::string& text)
{
    ImageName n;
    n.file = text;
    struct stat st;
    if (text.empty() || text.back() != ']' || stat(text.c_str(), &st) == 0)
        return n;
    const size_t open = text.rfind('[');
    if (open == std::string::npos || open == 0)
        return n;
    std::string inside = text.substr(open + 1, text.size() - open - 2);
    n.file = text.substr(0, open);
    const auto digits = [](const std::string& s) {
        return !s.empty() && s.size() <= 6 && s.find_first_not_of("0123456789") == std::string::npos;
    };
    if (digits(inside)) {
        n.hdu = std::stoi(inside);
        return n;
    }
    const size_t comma = inside.find(',');
    std::string name = inside.substr(0, comma);
    if (comma != std::string::npos) {
        const std::string version = inside.substr(comma + 1);
        if (!digits(version))
            Fail(Fault::Usage, text, "choose an image with [N] (HDU number) or [NAME] or [NAME,VERSION]");
        n.extver = std::stoi(version);
    }
    const bool plain = !name.empty() && name.size() <= 68
        && name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-. ")
            == std::string::npos;
    if (!plain)
        Fail(Fault::Usage, text, "choose an image with [N] (HDU number) or [NAME] or [NAME,VERSION]");
    n.extname = name;
    return n;
}

void CheckFrameSize(int64_t width, int64_t height, int depth, const std::string& what)
{
    if (width < 1 || height < 1)
        throw Error(
            Fault::Usage, what + " would be empty (" + std::to_string(width) + " x " + std::to_string(height) + ")");
    // Divisions, not products: the product of two huge sides overflows.
    if (width > kMaxFrameBytes / depth || height > kMaxFrameBytes / depth / width)
        throw Error(Fault::Unsupported,
            what + " of " + std::to_string(width) + " x " + std::to_string(height)
                + " pixels is too large (at most 2 GiB per frame)");
}

Frame::Frame(int w, int h, const Mapping& m)
    : width(w)
    , height(h)
    , mapping(m)
{
    if (Depth() == 2)
        p16.assign(Pixels(), 0);
    else
        p32.assign(Pixels(), 0);
}

uint32_t Frame::Max() const
{
    return Depth() == 2 ? *std::max_element(p16.begin(), p16.end()) : *std::max_element(p32.begin(), p32.end());
}

uint32_t Frame::Min() const
{
    return Depth() == 2 ? *std::min_element(p16.begin(), p16.end()) : *std::min_element(p32.begin(), p32.end());
}

size_t Frame::InvalidCount() const
{
    return static_cast<size_t>(std::count(invalid.begin(), invalid.end(), true));
}

std::vector<Frame> ReadFrames(const std::vector<std::string>& names, const ReadOptions& options, Warnings& warnings)
{
    std::vector<Raw> raws;
    for (const std::string& name : names)
        raws.push_back(ReadRaw(name, options));
    return FramesOf(raws, options, warnings);
}

Frame ReadFrame(const std::string& name, const ReadOptions& options, Warnings& warnings)
{
    return std::move(ReadFrames({ name }, options, warnings).front());
}

Frame ReadFrame(std::vector<char> bytes, const ImageName& image, const ReadOptions& options, Warnings& warnings)
{
    OpenFits o;
    OpenBytes(o, std::move(bytes), image.file);
    std::vector<Raw> raws;
    raws.push_back(ReadRaw(o, image, image.file, options));
    return std::move(FramesOf(raws, options, warnings).front());
}

Frame ReadDivisor(const std::string& name, const Frame& like, const ReadOptions& options, Warnings& warnings)
{
    const Raw r = ReadRaw(name, options);
    const Mapping m = DivisorMapping(r.format, like.Depth(), FiniteRange(r.Samples(), r.Pixels(), r.format));
    Frame frame = Convert(r, m, options.keepInvalid, warnings);
    CheckSameSize(like, frame);
    return frame;
}

void CheckSameSize(const Frame& reference, const Frame& other)
{
    if (other.width != reference.width || other.height != reference.height)
        throw Error(Fault::Mismatch,
            other.path + ": " + std::to_string(other.width) + " x " + std::to_string(other.height) + " pixels, but "
                + reference.path + " has " + std::to_string(reference.width) + " x "
                + std::to_string(reference.height));
}

std::vector<char> FitsBytes(const Frame& frame, const std::vector<std::string>& history, bool keepInvalid)
{
    const size_t n = frame.Pixels();
    const bool marks = keepInvalid && frame.InvalidCount() > 0;
    int bitpix = frame.outputBitpix;
    const IntegerLayout layout = StoredLayout(frame.mapping);
    const int64_t half = frame.Depth() == 2 ? 32768 : 2147483648LL;
    int64_t blank = -half;
    if (bitpix == 0 && marks) {
        // The input's BLANK when it fits, else the type's least value; when a
        // valid pixel holds it, floating point keeps them apart.
        if (frame.blank && *frame.blank >= -half && *frame.blank < half)
            blank = *frame.blank;
        for (size_t i = 0; i < n; ++i)
            if (!frame.invalid[i] && static_cast<int64_t>(frame.At(i)) - half == blank) {
                bitpix = frame.Depth() == 2 ? FLOAT_IMG : DOUBLE_IMG;
                break;
            }
    }

    // Floating point holds the physical values: 64 bits where 32 would
    // overflow, or round integers.
    std::vector<double> physical;
    if (bitpix != 0) {
        physical.resize(n);
        ToPhysical(frame.Data(), frame.Depth(), n, frame.mapping, physical.data(), marks ? &frame.invalid : nullptr);
        for (size_t i = 0; i < n && bitpix == FLOAT_IMG; ++i) {
            const double v = physical[i];
            if (std::abs(v) > std::numeric_limits<float>::max()
                || (frame.outputBitpix == 0 && static_cast<double>(static_cast<float>(v)) != v && !std::isnan(v)))
                bitpix = DOUBLE_IMG;
        }
    }

    // CFITSIO builds the file in memory; the caller puts it on disk.
    size_t size = 2880 * 4;
    // Zeroed: CFITSIO reads the buffer's blocks before it writes them.
    void* buffer = std::calloc(size, 1);
    fitsfile* f = nullptr;
    int status = 0;
    auto fail = [&](const std::string& what) {
        int ignored = 0;
        if (f)
            fits_close_file(f, &ignored);
        std::free(buffer);
        return Error(Fault::Failure, what + ": " + StatusText(status));
    };
    if (!buffer || fits_create_memfile(&f, &buffer, &size, 2880 * 64, std::realloc, &status))
        throw fail("cannot build the FITS file");
    long axes[2] = { frame.width, frame.height };
    fits_create_img(f, bitpix ? bitpix : layout.bitpix, 2, axes, &status);
    if (bitpix == 0) {
        // 17 significant digits: the values read back are these doubles.
        if (layout.bscale != 1)
            fits_write_key_dbl(f, "BSCALE", layout.bscale, -17, "physical = BZERO + BSCALE * stored", &status);
        fits_write_key_dbl(f, "BZERO", layout.bzero, -17, "physical = BZERO + BSCALE * stored", &status);
        if (marks) {
            LONGLONG b = blank;
            fits_write_key(f, TLONGLONG, "BLANK", &b, "stored value of undefined pixels", &status);
        }
    }
    // A card CFITSIO refuses (a keyword with characters FITS does not allow,
    // as some old writers made) is left out, and the history says so.
    std::vector<std::string> notes = history;
    for (const std::string& card : frame.cards) {
        if (!status && fits_write_record(f, card.c_str(), &status)) {
            status = 0;
            fits_clear_errmsg();
            notes.push_back(
                "card left out, its keyword is not valid FITS: " + card.substr(0, card.find_last_not_of(' ') + 1));
        }
    }
    for (const std::string& line : notes)
        fits_write_history(f, line.c_str(), &status); // continues on further cards past 72 characters
    fits_set_bscale(f, 1.0, 0.0, &status); // we write stored values
    if (bitpix == 0) {
        if (frame.Depth() == 2) {
            std::vector<int16_t> stored(n);
            for (size_t i = 0; i < n; ++i)
                stored[i] = static_cast<int16_t>(marks && frame.invalid[i] ? blank : int64_t(frame.p16[i]) - half);
            fits_write_img(f, TSHORT, 1, static_cast<LONGLONG>(n), stored.data(), &status);
        } else {
            std::vector<int32_t> stored(n);
            for (size_t i = 0; i < n; ++i)
                stored[i] = static_cast<int32_t>(marks && frame.invalid[i] ? blank : int64_t(frame.p32[i]) - half);
            fits_write_img(f, TINT, 1, static_cast<LONGLONG>(n), stored.data(), &status);
        }
    } else {
        fits_write_img(f, TDOUBLE, 1, static_cast<LONGLONG>(n), physical.data(), &status);
    }
    LONGLONG head = 0, data = 0, end = 0;
    fits_get_hduaddrll(f, &head, &data, &end, &status);
    if (status)
        throw fail("cannot build the FITS file");
    fits_close_file(f, &status); // pads the last block and finishes the header
    f = nullptr;
    if (status)
        throw fail("cannot build the FITS file");
    const size_t length = std::min((static_cast<size_t>(end) + 2879) / 2880 * 2880, size);
    std::vector<char> bytes(static_cast<char*>(buffer), static_cast<char*>(buffer) + length);
    std::free(buffer);
    return bytes;
}

} // namespace tamrix::intake

namespace tamrix::intake {

struct ImageRows::State {
    ImageName image;
    std::string name;
    ReadOptions options;
    std::unique_ptr<OpenFits> open; // null while closed
    Raw header;

    void Reopen()
    {
        open = std::make_unique<OpenFits>();
        Open(*open, image.file);
        header = ReadHeader(*open, image, name, options);
    }
};

ImageRows::ImageRows(const std::string& name, int plane)
    : s_(std::make_unique<State>())
{
    s_->image = ParseImageName(name);
    s_->name = name;
    s_->options.plane = plane;
    s_->Reopen();
}

ImageRows::~ImageRows() = default;
ImageRows::ImageRows(ImageRows&&) noexcept = default;
ImageRows& ImageRows::operator=(ImageRows&&) noexcept = default;

const std::string& ImageRows::Name() const
{
    return s_->name;
}
int ImageRows::Width() const
{
    return s_->header.width;
}
int ImageRows::Height() const
{
    return s_->header.height;
}
int64_t ImageRows::Planes() const
{
    return s_->header.planes;
}
const Format& ImageRows::Stored() const
{
    return s_->header.format;
}
const std::vector<std::string>& ImageRows::Cards() const
{
    return s_->header.cards;
}

bool ImageRows::Packed() const
{
    return s_->header.compressed || (s_->open && s_->open->path.empty());
}

void ImageRows::Read(int y, int rows, void* samples)
{
    if (!s_->open) {
        const Raw before = s_->header;
        s_->Reopen();
        if (s_->header.width != before.width || s_->header.height != before.height
            || s_->header.format.sample != before.format.sample)
            Fail(Fault::Failure, s_->name, "changed while it was being read");
    }
    ReadSamples(s_->open->f.get(), s_->header, y, rows, samples);
}

void ImageRows::Close()
{
    s_->open.reset();
}

void ImageRows::Unpack(const std::string& path)
{
    const Raw& r = s_->header;
    fitsfile* raw = nullptr;
    int status = 0;
    if (fits_create_diskfile(&raw, path.c_str(), &status))
        Fail(Fault::Failure, path, "cannot create the unpacked copy (" + StatusText(status) + ")");
    FitsHandle out(raw);
    long axes[2] = { r.width, r.height };
    fits_create_img(raw, r.bitpix, 2, axes, &status);
    fits_set_bscale(raw, 1.0, 0.0, &status);
    const size_t rowBytes = static_cast<size_t>(r.width) * static_cast<size_t>(SampleBytes(r.format.sample));
    // Whole tiles of rows, some 8 MB at a time: CFITSIO unpacks every tile a
    // read touches.
    const int64_t tiles = std::max<int64_t>(1, (int64_t { 8 } << 20) / static_cast<int64_t>(rowBytes) / r.tileRows);
    const int chunk = static_cast<int>(std::min<int64_t>(r.height, tiles * r.tileRows));
    std::vector<double> buffer((rowBytes * static_cast<size_t>(chunk) + 7) / 8);
    for (int y = 0; y < r.height && !status; y += chunk) {
        const int rows = std::min(chunk, r.height - y);
        Read(y, rows, buffer.data());
        LONGLONG first[2] = { 1, y + 1 };
        fits_write_pixll(
            raw, CfitsioType(r.format.sample), first, static_cast<LONGLONG>(r.width) * rows, buffer.data(), &status);
    }
    raw = out.release();
    if (!status)
        fits_close_file(raw, &status);
    else {
        int ignored = 0;
        fits_close_file(raw, &ignored);
    }
    if (status)
        Fail(Fault::Failure, path, "cannot write the unpacked copy (" + StatusText(status) + ")");
}

ImageWriter::ImageWriter(const std::string& path, int width, int height, Sample sample,
    const std::vector<std::string>& cards, const std::vector<std::string>& history)
    : path_(path)
    , width_(width)
    , sample_(sample)
{
    // CFITSIO creates only new files: a file in the way goes, its permissions
    // (those a caller chose for a temporary) passed on.
    struct stat st;
    const bool existed = stat(path.c_str(), &st) == 0;
    std::remove(path.c_str());
    fitsfile* f = nullptr;
    int status = 0;
    if (fits_create_diskfile(&f, path.c_str(), &status))
        Fail(Fault::Failure, path, "cannot create: " + StatusText(status));
    if (existed)
        chmod(path.c_str(), st.st_mode & 07777);
    f_ = f;
    long axes[2] = { width, height };
    fits_create_img(f, sample == Sample::F32 ? FLOAT_IMG : USHORT_IMG, 2, axes, &status);
    for (const std::string& card : cards) {
        if (!status && fits_write_record(f, card.c_str(), &status)) {
            status = 0; // a card CFITSIO refuses is left out, as FitsBytes does
            fits_clear_errmsg();
        }
    }
    for (const std::string& line : history)
        fits_write_history(f, line.c_str(), &status);
    if (status)
        Fail(Fault::Failure, path, "cannot write the header: " + StatusText(status));
}

ImageWriter::~ImageWriter()
{
    if (f_) {
        int status = 0;
        fits_close_file(static_cast<fitsfile*>(f_), &status);
        fits_clear_errmsg();
    }
}

void ImageWriter::Write(int y, int rows, const void* values)
{
    int status = 0;
    LONGLONG first[2] = { 1, y + 1 };
    fits_write_pixll(static_cast<fitsfile*>(f_), sample_ == Sample::F32 ? TFLOAT : TUSHORT, first,
        static_cast<LONGLONG>(width_) * rows, const_cast<void*>(values), &status);
    if (status)
        Fail(Fault::Failure, path_, "cannot write: " + StatusText(status));
}

void ImageWriter::Finish()
{
    int status = 0;
    fitsfile* f = static_cast<fitsfile*>(f_);
    f_ = nullptr;
    fits_close_file(f, &status);
    if (status)
        Fail(Fault::Failure, path_, "cannot write: " + StatusText(status));
}

} // namespace tamrix::intake
