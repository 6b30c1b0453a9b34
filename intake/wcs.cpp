#include "intake/wcs.h"

#include <fitsio.h>
#include <wcslib/dis.h>
#include <wcslib/wcs.h>
#include <wcslib/wcserr.h>
#include <wcslib/wcsfix.h>
#include <wcslib/wcshdr.h>
#include <wcslib/wcsutil.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <utility>

namespace tamrix::intake {

PixelMap BinMap(int bx, int by)
{
    PixelMap map;
    map.m[0][0] = bx;
    map.m[1][1] = by;
    map.t[0] = (bx - 1) / 2.0;
    map.t[1] = (by - 1) / 2.0;
    return map;
}

PixelMap ResampleMap(int fx, int fy)
{
    PixelMap map;
    map.m[0][0] = 1.0 / fx;
    map.m[1][1] = 1.0 / fy;
    return map;
}

PixelMap ShiftMap(int dx, int dy, unsigned ax, unsigned ay, unsigned s)
{
    PixelMap map;
    map.t[0] = dx + double(ax) / s;
    map.t[1] = dy + double(ay) / s;
    return map;
}

PixelMap TransformMap(const double c[6])
{
    PixelMap map;
    map.m[0][0] = c[0];
    map.m[0][1] = c[1];
    map.t[0] = c[2];
    map.m[1][0] = c[3];
    map.m[1][1] = c[4];
    map.t[1] = c[5];
    return map;
}

namespace {

// ---- cards ------------------------------------------------------------------

// The keyword of a value card ("KEYWORD = value / comment"), "" for others.
std::string KeyOf(const std::string& card)
{
    if (card.size() < 10 || card.compare(8, 2, "= ") != 0)
        return "";
    const size_t end = card.find_last_not_of(' ', 7);
    return end == std::string::npos ? "" : card.substr(0, end + 1);
}

std::string Padded(std::string card)
{
    card.resize(80, ' ');
    return card;
}

// The number and the comment of a value card.
bool ParseNumber(const std::string& card, double& value, std::string& comment)
{
    std::string text = Padded(card);
    char v[FLEN_VALUE], c[FLEN_COMMENT];
    int status = 0;
    if (ffpsvc(text.data(), v, c, &status))
        return false;
    comment = c;
    for (char* p = v; *p; ++p)
        if (*p == 'D' || *p == 'd')
            *p = 'E'; // FORTRAN double-precision exponent
    char* end = nullptr;
    value = std::strtod(v, &end);
    if (end == v)
        return false;
    while (*end == ' ')
        ++end;
    return *end == '\0' && std::isfinite(value);
}

std::string MakeCard(const std::string& key, std::string value, const std::string& comment)
{
    char card[FLEN_CARD];
    int status = 0;
    ffmkky(key.c_str(), value.data(), comment.c_str(), card, &status);
    return Padded(card);
}

// 15 significant digits: below the rounding of the composed values, so an
// exact result prints as such (3 x 37.5 as 112.5, not 112.50000000000001).
std::string FormatNumber(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.15G", value == 0 ? 0.0 : value);
    if (!std::strpbrk(text, ".E"))
        std::strcat(text, ".");
    return text;
}

using Group = std::function<bool(const std::string& key)>;

class Cards {
public:
    explicit Cards(std::vector<std::string> cards)
        : list(std::move(cards))
    {
    }

    int Find(const std::string& key) const
    {
        for (size_t i = 0; i < list.size(); ++i)
            if (KeyOf(list[i]) == key)
                return int(i);
        return -1;
    }

    bool Get(const std::string& key, double& value) const
    {
        std::string comment;
        const int i = Find(key);
        return i >= 0 && ParseNumber(list[i], value, comment);
    }

    // Rewrites the card of `key` (or of `legacy`, renamed), keeping its comment,
    // or inserts one after the last card of `group` when the value is not the
    // keyword's default.
    void Set(const std::string& key, double value, double fallback, const Group& group, const std::string& legacy = "")
    {
        int i = Find(key);
        if (i < 0 && !legacy.empty())
            i = Find(legacy);
        if (i >= 0) {
            double old = 0;
            std::string comment;
            ParseNumber(list[i], old, comment);
            if (old != value || KeyOf(list[i]) != key)
                list[i] = MakeCard(key, FormatNumber(value), comment);
            return;
        }
        if (value != fallback)
            Insert(MakeCard(key, FormatNumber(value), ""), group);
    }

    void Insert(const std::string& card, const Group& group)
    {
        size_t at = list.size();
        for (size_t i = list.size(); i-- > 0;)
            if (group(KeyOf(list[i]))) {
                at = i + 1;
                break;
            }
        list.insert(list.begin() + at, card);
    }

    void RemoveIf(const Group& which)
    {
        list.erase(std::remove_if(list.begin(), list.end(), [&](const std::string& c) { return which(KeyOf(c)); }),
            list.end());
    }

    std::vector<std::string> list;
};

// The cards of one coordinate description (alt ' ' is the primary one) that
// hold its axes and matrix; new cards of the description go after them.
Group DescriptionCards(char alt)
{
    static const std::regex core("(WCSAXES|(CRPIX|CRVAL|CDELT|CTYPE|CUNIT)[0-9]+|(PC|CD)[0-9]+_[0-9]+)([A-Z]?)");
    static const std::regex primaryOnly("CROTA[0-9]+|(PC|CD)[0-9]{6}");
    return [alt](const std::string& key) {
        std::smatch m;
        if (std::regex_match(key, m, core))
            return m[4].length() ? m[4].str()[0] == alt : alt == ' ';
        return alt == ' ' && std::regex_match(key, primaryOnly);
    };
}

// Every card of a world coordinate system, its distortions and its plate
// solutions: what goes when it cannot be carried. EQUINOX, RADESYS and the
// observation dates stay; they describe the observation, not the pixel grid.
bool IsWcsKey(const std::string& key)
{
    static const std::regex wcs("(WCSAXES|WCSNAME|LONPOLE|LATPOLE|"
                                "(CRPIX|CRVAL|CDELT|CTYPE|CUNIT|CRDER|CSYER|CNAME|CPDIS|CQDIS|CPERR|CQERR|DP|DQ)[0-9]+|"
                                "(PC|CD|PV|PS)[0-9]+_[0-9]+)[A-Z]?|"
                                "CROTA[0-9]+|(PC|CD)[0-9]{6}|"
                                "(A|B|AP|BP)_([0-9]+_[0-9]+|ORDER|DMAX)|"
                                "AMD[XY][0-9]+|PLTRA[HMS]|PLTDEC(SN|[DMS])|CNPIX[12]|[XY]PIXELSZ|PPO[0-9]+|"
                                "WAT[0-9]+_[0-9]+|D2IM(DIS|ERR)[0-9]+|D2IMEXT|D2IMFILE|NPOLEXT|NPOLFILE");
    return std::regex_match(key, wcs);
}

bool IsPhysicalKey(const std::string& key)
{
    static const std::regex ltv("LTV[12]|LTM[12]_[12]");
    return std::regex_match(key, ltv);
}

bool IsSipTerm(const std::string& key, std::string& prefix, int& p, int& q)
{
    static const std::regex term("(A|B|AP|BP)_([0-9]+)_([0-9]+)");
    std::smatch m;
    if (!std::regex_match(key, m, term))
        return false;
    prefix = m[1];
    p = std::atoi(m[2].str().c_str());
    q = std::atoi(m[3].str().c_str());
    return true;
}

// ---- wcslib -----------------------------------------------------------------

// wcslib 7.12's header parser reads past a string left open and crashes on a
// SIP coefficient or a DSS plate keyword that is not a plain number
// (PLTDECSN: not a string). It is shown only value cards of sound syntax, and
// a WCS card of unsound syntax is named here (the first one, or "").
std::string Screen(const std::vector<std::string>& cards, std::vector<std::string>& sound)
{
    static const std::string number = "[+-]?([0-9]+[.]?[0-9]*|[.][0-9]+)([EeDd][+-]?[0-9]+)?";
    static const std::regex numeric(" *" + number + " *(/.*)?");
    static const std::regex text(" *'([^']|'')*' *(/.*)?");
    static const std::regex any(
        " *(" + number + "|'([^']|'')*'|[TF]|[(] *" + number + " *, *" + number + " *[)])? *(/.*)?");
    static const std::regex numbers("(A|B|AP|BP)_[0-9]+_[0-9]+|AMD[XY][0-9]+|PLTRA[HMS]|PLTDEC[DMS]|CNPIX[0-9]+|"
                                    "[XY]PIXELSZ|PPO[0-9]+");
    std::string first;
    for (const std::string& card : cards) {
        const std::string key = KeyOf(card), value = Padded(card).substr(10);
        if (key.empty())
            continue;
        const bool ok = key == "PLTDECSN"    ? std::regex_match(value, text)
            : std::regex_match(key, numbers) ? std::regex_match(value, numeric)
                                             : std::regex_match(value, any);
        if (ok)
            sound.push_back(Padded(card));
        else if (first.empty() && IsWcsKey(key))
            first = key;
    }
    return first;
}

struct Descriptions {
    int n = 0;
    wcsprm* w = nullptr;
    Descriptions() = default;
    Descriptions(const Descriptions&) = delete;
    Descriptions& operator=(const Descriptions&) = delete;
    ~Descriptions()
    {
        if (w)
            wcsvfree(&n, &w);
    }
};

// Reads every description with wcslib and sets each up; "" or why it cannot.
std::string Read(const std::vector<std::string>& cards, Descriptions& d)
{
    wcserr_enable(1);
    std::vector<std::string> sound;
    const std::string unsound = Screen(cards, sound);
    if (!unsound.empty())
        return unsound + " holds no valid value";
    std::string text;
    for (const std::string& card : sound)
        text += card;
    int rejected = 0;
    if (wcspih(text.data(), int(sound.size()), WCSHDR_all, 0, &rejected, &d.n, &d.w))
        return "wcslib cannot parse the header";
    for (int k = 0; k < d.n; ++k) {
        if (wcsset(&d.w[k]) == 0)
            continue;
        // The non-standard forms other readers also accept; only when needed,
        // as wcsfix leaks a little on headers it cannot fix.
        int fixes[NWCSFIX];
        wcserr info[NWCSFIX] = {};
        wcsfixi(0, nullptr, &d.w[k], fixes, info);
        for (wcserr& e : info)
            wcsdealloc(e.msg);
        if (wcsset(&d.w[k]))
            return std::string("wcslib cannot use them (")
                + (d.w[k].err && d.w[k].err->msg[0] ? d.w[k].err->msg : "no reason given") + ")";
    }
    return "";
}

// Why a description's pixel-to-world chain cannot follow a new grid, or "".
std::string Unsupported(const wcsprm& w)
{
    if (w.ntab > 0)
        return "tabular axes (-TAB) cannot follow a new pixel grid";
    if (w.naxis < 2)
        return "a WCS of one pixel axis cannot follow a two-axis pixel map";
    const auto kind = [&](const disprm* dis, const char* allowed) -> std::string {
        if (!dis)
            return "";
        for (int j = 0; j < dis->naxis; ++j)
            if (dis->dtype[j][0] && std::strcmp(dis->dtype[j], allowed) != 0)
                return dis->dtype[j];
        return "";
    };
    const std::string prior = kind(w.lin.dispre, "SIP"), sequent = kind(w.lin.disseq, "TPV");
    if (sequent == "DSS")
        return "the DSS plate solution (AMDX, AMDY) cannot follow a new pixel grid";
    if (sequent == "WAT")
        return "the IRAF TNX/ZPX distortion (WAT cards) cannot follow a new pixel grid";
    if (!prior.empty() || !sequent.empty())
        return "the " + (prior.empty() ? sequent : prior) + " distortion cannot follow a new pixel grid";
    return "";
}

double Separation(double lng1, double lat1, double lng2, double lat2)
{
    const double r = M_PI / 180;
    const double a = std::sin((lat2 - lat1) * r / 2), b = std::sin((lng2 - lng1) * r / 2);
    return 2 * std::asin(std::min(1.0, std::sqrt(a * a + std::cos(lat1 * r) * std::cos(lat2 * r) * b * b))) / r;
}

// ---- the map ----------------------------------------------------------------

struct Affine {
    double m[2][2], inv[2][2];
    double t1[2]; // the translation between 1-based FITS pixel coordinates
    bool identity, diagonal;

    explicit Affine(const PixelMap& map)
    {
        std::memcpy(m, map.m, sizeof m);
        const double det = m[0][0] * m[1][1] - m[0][1] * m[1][0];
        inv[0][0] = m[1][1] / det;
        inv[0][1] = -m[0][1] / det;
        inv[1][0] = -m[1][0] / det;
        inv[1][1] = m[0][0] / det;
        for (int i = 0; i < 2; ++i)
            t1[i] = map.t[i] + 1 - (m[i][0] + m[i][1]);
        diagonal = m[0][1] == 0 && m[1][0] == 0;
        identity = diagonal && m[0][0] == 1 && m[1][1] == 1;
    }
    bool Invertible() const
    {
        for (const double* v : { &inv[0][0], &inv[0][1], &inv[1][0], &inv[1][1], &t1[0], &t1[1] })
            if (!std::isfinite(*v))
                return false;
        return true;
    }
    // The input position (1-based) of output position p (1-based).
    void Input(const double p[2], double out[2]) const
    {
        for (int i = 0; i < 2; ++i)
            out[i] = m[i][0] * p[0] + m[i][1] * p[1] + t1[i];
    }
    // The map extended to n pixel axes by the identity beyond the first two.
    double At(int k, int j) const { return k < 2 && j < 2 ? m[k][j] : k == j; }
};

std::string Alt(char alt)
{
    return alt == ' ' ? "" : std::string(1, alt);
}

std::string MatrixKey(const char* prefix, int i, int j, char alt)
{
    return prefix + std::to_string(i + 1) + "_" + std::to_string(j + 1) + Alt(alt);
}

std::string LegacyMatrixKey(const char* prefix, int i, int j, char alt)
{
    if (alt != ' ' || i > 998 || j > 998)
        return "";
    char key[16];
    std::snprintf(key, sizeof key, "%s%03d%03d", prefix, i + 1, j + 1);
    return key;
}

// Moves one description onto the new grid: intermediate world coordinates
// stay as they were at every input position, so the projection, its
// parameters and any sequent (TPV) distortion need no change.
void MapDescription(Cards& cards, const wcsprm& w, const Affine& a)
{
    const int n = w.naxis;
    const char alt = w.alt[0];
    const Group group = DescriptionCards(alt);

    // CRPIX' = M^-1 (CRPIX - t): the reference point stays on the same spot.
    for (int j = 0; j < 2; ++j) {
        const double v = a.inv[j][0] * (w.crpix[0] - a.t1[0]) + a.inv[j][1] * (w.crpix[1] - a.t1[1]);
        cards.Set("CRPIX" + std::to_string(j + 1) + Alt(alt), v, 0, group);
    }
    if (n > 2 && cards.Find("WCSAXES" + Alt(alt)) < 0) { // axes beyond NAXIS = 2 must be declared
        const int first = [&] {
            for (size_t i = 0; i < cards.list.size(); ++i)
                if (group(KeyOf(cards.list[i])))
                    return int(i);
            return int(cards.list.size());
        }();
        cards.list.insert(cards.list.begin() + first, MakeCard("WCSAXES" + Alt(alt), std::to_string(n), ""));
    }
    if (a.identity)
        return;

    // The linear part L' = L M, in the form the header uses. wcslib reads PC
    // before CD before CROTA and ignores the others, which would now mislead.
    const bool pcForm = (w.altlin & 1) || !(w.altlin & 6), cdForm = !pcForm && (w.altlin & 2);
    const auto touched = [&](const double* l, int i) { return l[i * n] != 0 || l[i * n + 1] != 0; };
    const auto product = [&](const double* l, int i, int j) {
        double v = 0;
        for (int k = 0; k < n; ++k)
            v += l[i * n + k] * a.At(k, j);
        return v;
    };
    if (cdForm) {
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < 2; ++j)
                cards.Set(MatrixKey("CD", i, j, alt), product(w.cd, i, j), 0, group, LegacyMatrixKey("CD", i, j, alt));
        for (int i = 0; i < n; ++i)
            if (touched(w.cd, i)) {
                const std::string cdelt = "CDELT" + std::to_string(i + 1) + Alt(alt);
                const std::string crota = alt == ' ' ? "CROTA" + std::to_string(i + 1) : "";
                cards.RemoveIf([&](const std::string& key) { return key == cdelt || key == crota; });
            }
        return;
    }

    // PC + CDELT (or CROTA + CDELT, whose PC wcslib has derived). A diagonal
    // map whose every world axis takes one scale moves into CDELT; anything
    // else, or a sequent distortion that works on PC (p - CRPIX), into PC.
    const double* pc = w.pc;
    bool byCdelt = a.diagonal && !w.lin.disseq && w.npv == 0;
    std::vector<double> scale(n, 1.0);
    for (int i = 0; i < n && byCdelt; ++i) {
        std::set<double> scales;
        for (int j = 0; j < n; ++j)
            if (pc[i * n + j] != 0)
                scales.insert(a.At(j, j));
        byCdelt = scales.size() <= 1;
        if (scales.size() == 1)
            scale[i] = *scales.begin();
    }
    if (byCdelt) {
        for (int i = 0; i < n; ++i)
            if (scale[i] != 1)
                cards.Set("CDELT" + std::to_string(i + 1) + Alt(alt), w.cdelt[i] * scale[i], 1, group);
    } else {
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < 2; ++j)
                cards.Set(
                    MatrixKey("PC", i, j, alt), product(pc, i, j), i == j, group, LegacyMatrixKey("PC", i, j, alt));
        if (alt == ' ')
            cards.RemoveIf([](const std::string& key) { return key.compare(0, 5, "CROTA") == 0; });
    }
    if (w.altlin & 2) {
        static const std::regex cd("CD[0-9]+_[0-9]+[A-Z]?|CD[0-9]{6}");
        cards.RemoveIf([&](const std::string& key) { return group(key) && std::regex_match(key, cd); });
    }
    if (alt == ' ' && (w.altlin & 1))
        cards.RemoveIf([](const std::string& key) { return key.compare(0, 5, "CROTA") == 0; });
}

// SIP: the focal-plane offset is CD (u + f(u)) with u = p - CRPIX, and
// u = M u' on the new grid, so CD' = CD M and f'(u') = M^-1 f(M u'): a
// polynomial of the same order, exact for any affine map. The inverse
// polynomials (AP, BP) compose alike.
using Poly = std::map<std::pair<int, int>, double>;

// f(a u + b v, c u + d v) as a polynomial in u, v.
Poly Substitute(const Poly& f, const double m[2][2])
{
    const auto binomial = [](int n, int k) {
        double r = 1;
        for (int i = 1; i <= k; ++i)
            r = r * (n - k + i) / i;
        return r;
    };
    Poly r;
    for (const auto& [pq, c] : f) {
        const int p = pq.first, q = pq.second;
        for (int i = 0; i <= p; ++i) {
            const double x = binomial(p, i) * std::pow(m[0][0], i) * std::pow(m[0][1], p - i);
            for (int k = 0; k <= q && x != 0; ++k) {
                const double y = binomial(q, k) * std::pow(m[1][0], k) * std::pow(m[1][1], q - k);
                if (y != 0)
                    r[{ i + k, p - i + q - k }] += c * x * y;
            }
        }
    }
    return r;
}

void MapSip(Cards& cards, const Affine& a)
{
    std::map<std::string, Poly> polys;
    std::string prefix;
    int p = 0, q = 0;
    for (const std::string& card : cards.list) {
        double v = 0;
        std::string comment;
        if (IsSipTerm(KeyOf(card), prefix, p, q) && ParseNumber(card, v, comment))
            polys[prefix][{ p, q }] = v;
    }
    // Rewrites the terms of one polynomial; a term that vanished is kept as 0.
    const auto write = [&](const std::string& name, const Poly& before, const Poly& after) {
        const std::string head = name + "_";
        const Group group = [&](const std::string& key) { return key.compare(0, head.size(), head) == 0; };
        std::set<std::pair<int, int>> terms;
        for (const auto& t : before)
            terms.insert(t.first);
        for (const auto& t : after)
            terms.insert(t.first);
        for (const auto& t : terms) {
            const auto found = after.find(t);
            cards.Set(head + std::to_string(t.first) + "_" + std::to_string(t.second),
                found == after.end() ? 0.0 : found->second, 0, group);
        }
    };
    for (const auto& [x, y] : { std::pair<std::string, std::string> { "A", "B" }, { "AP", "BP" } }) {
        if (!polys.count(x) && !polys.count(y))
            continue;
        const Poly fx = Substitute(polys[x], a.m), fy = Substitute(polys[y], a.m);
        Poly gx, gy;
        const auto add = [](Poly& to, const Poly& from, double factor) {
            if (factor != 0)
                for (const auto& [pq, c] : from)
                    to[pq] += factor * c;
        };
        add(gx, fx, a.inv[0][0]);
        add(gx, fy, a.inv[0][1]);
        add(gy, fx, a.inv[1][0]);
        add(gy, fy, a.inv[1][1]);
        write(x, polys[x], gx);
        write(y, polys[y], gy);
        double ox = 0, oy = 0; // each polynomial now holds the terms of both
        if (!a.diagonal && cards.Get(x + "_ORDER", ox) && cards.Get(y + "_ORDER", oy) && ox != oy)
            for (const std::string& key : { x + "_ORDER", y + "_ORDER" }) {
                std::string& card = cards.list[cards.Find(key)];
                double old = 0;
                std::string comment;
                ParseNumber(card, old, comment);
                card = MakeCard(key, std::to_string(int(std::max(ox, oy))), comment);
            }
    }
    // The largest correction, in pixels of each axis.
    for (int i = 0; i < 2; ++i) {
        const std::string key = i == 0 ? "A_DMAX" : "B_DMAX";
        double v = 0;
        if (!cards.Get(key, v))
            continue;
        if (a.diagonal)
            cards.Set(key, v * std::abs(a.inv[i][i]), 0, [](const std::string&) { return false; });
        else
            cards.RemoveIf([&](const std::string& k) { return k == key; });
    }
}

// IRAF's physical coordinates: logical = LTM physical + LTV, with the logical
// (1-based) pixel of the input M p' + t.
void MapPhysical(Cards& cards, const Affine& a)
{
    double ltv[2] = { 0, 0 }, ltm[2][2] = { { 1, 0 }, { 0, 1 } };
    bool any = false;
    for (int i = 0; i < 2; ++i) {
        any |= cards.Get("LTV" + std::to_string(i + 1), ltv[i]);
        for (int j = 0; j < 2; ++j)
            any |= cards.Get("LTM" + std::to_string(i + 1) + "_" + std::to_string(j + 1), ltm[i][j]);
    }
    if (!any || (a.identity && a.t1[0] == 0 && a.t1[1] == 0))
        return;
    for (int i = 0; i < 2; ++i) {
        cards.Set("LTV" + std::to_string(i + 1), a.inv[i][0] * (ltv[0] - a.t1[0]) + a.inv[i][1] * (ltv[1] - a.t1[1]), 0,
            IsPhysicalKey);
        for (int j = 0; j < 2; ++j)
            cards.Set("LTM" + std::to_string(i + 1) + "_" + std::to_string(j + 1),
                a.inv[i][0] * ltm[0][j] + a.inv[i][1] * ltm[1][j], i == j, IsPhysicalKey);
    }
}

// wcslib 7.12 loses the message of an error it sets over an earlier one, as
// evaluating points outside a projection does: they are cleared after each.
void ClearErrors(wcsprm& w)
{
    for (wcserr** e : { &w.err, &w.lin.err, &w.cel.err, &w.cel.prj.err, &w.spc.err })
        wcserr_clear(e);
    for (disprm* d : { w.lin.dispre, w.lin.disseq })
        if (d)
            wcserr_clear(&d->err);
}

// Confirms with wcslib that every output pixel of a grid over the frame has
// the world coordinates its input position had; "" or the reason not.
std::string Confirm(Descriptions& before, const std::vector<std::string>& cards, const Affine& a, int width, int height)
{
    Descriptions after;
    if (!Read(cards, after).empty() || after.n != before.n)
        return "wcslib reads the moved WCS differently";
    const int steps = 5;
    for (int k = 0; k < before.n; ++k) {
        wcsprm &w0 = before.w[k], &w1 = after.w[k];
        const int n = w1.naxis;
        if (w0.naxis != n || w0.alt[0] != w1.alt[0])
            return "wcslib reads the moved WCS differently";
        std::vector<double> pix(4 * n), img(4 * n), phi(4), theta(4), world(4 * n);
        std::vector<int> stat(4);
        for (int sy = 0; sy < steps; ++sy)
            for (int sx = 0; sx < steps; ++sx) {
                const double p[2]
                    = { 1 + (width - 1) * double(sx) / (steps - 1), 1 + (height - 1) * double(sy) / (steps - 1) };
                // Rows: the input position in the old WCS; the output pixel and
                // its two neighbours (for the local pixel size) in the new one.
                for (int r = 0; r < 4; ++r)
                    for (int j = 2; j < n; ++j)
                        pix[r * n + j] = w1.crpix[j];
                a.Input(p, &pix[0]);
                for (int r = 1; r < 4; ++r) {
                    pix[r * n] = p[0] + (r == 2);
                    pix[r * n + 1] = p[1] + (r == 3);
                }
                std::fill(stat.begin(), stat.end(), 0);
                const int s0 = wcsp2s(&w0, 1, n, &pix[0], &img[0], &phi[0], &theta[0], &world[0], &stat[0]);
                const int s1 = wcsp2s(&w1, 3, n, &pix[n], &img[n], &phi[1], &theta[1], &world[n], &stat[1]);
                ClearErrors(w0);
                ClearErrors(w1);
                if ((s0 && s0 != WCSERR_BAD_PIX) || (s1 && s1 != WCSERR_BAD_PIX))
                    return "wcslib cannot evaluate the moved WCS";
                if (stat[0] != stat[1])
                    return "wcslib finds the moved WCS undefined where the original was not, or the reverse";
                if (stat[0] || stat[1] || stat[2] || stat[3])
                    continue; // outside the projection
                for (int i = 0; i < n; ++i) {
                    if (i == w1.lat)
                        continue;
                    double d, step;
                    const double* o = &world[0];
                    const double* q = &world[n];
                    if (i == w1.lng && w1.lat >= 0) {
                        const int l = w1.lng, b = w1.lat;
                        d = Separation(o[l], o[b], q[l], q[b]);
                        step = std::min(Separation(q[l], q[b], q[n + l], q[n + b]),
                            Separation(q[l], q[b], q[2 * n + l], q[2 * n + b]));
                    } else {
                        d = std::abs(o[i] - q[i]);
                        step = std::max(std::abs(q[n + i] - q[i]), std::abs(q[2 * n + i] - q[i]));
                    }
                    if (!(d <= 1e-6 * step + 1e-12 * (1 + std::abs(q[i]))))
                        return "wcslib finds the moved WCS off by " + std::to_string(step > 0 ? d / step : d)
                            + " pixel";
                }
            }
    }
    return "";
}

} // namespace

MappedCards MapWcs(const std::vector<std::string>& input, const PixelMap& map, int width, int height)
{
    const Affine a(map);
    Cards cards(input);
    Descriptions before;
    std::string why = Read(input, before);
    if (why.empty() && before.n == 0) {
        if (a.Invertible())
            MapPhysical(cards, a);
        else
            cards.RemoveIf(IsPhysicalKey);
        return { cards.list, "" };
    }
    if (why.empty() && !a.Invertible())
        why = "the output pixels map onto a line or a point of the input";
    // Lookup-table distortions, which wcslib does not read, and Paper IV ones.
    static const std::regex declared("D2IMDIS[0-9]+|NPOLEXT|CPDIS[0-9]+[A-Z]?|CQDIS[0-9]+[A-Z]?");
    for (const std::string& card : input)
        if (why.empty() && std::regex_match(KeyOf(card), declared))
            why = "the distortion declared by " + KeyOf(card) + " cannot follow a new pixel grid";
    for (int k = 0; k < before.n && why.empty(); ++k)
        why = Unsupported(before.w[k]);
    if (why.empty()) {
        for (int k = 0; k < before.n; ++k)
            MapDescription(cards, before.w[k], a);
        if (!a.identity)
            MapSip(cards, a);
        MapPhysical(cards, a);
        why = Confirm(before, cards.list, a, width, height);
        if (why.empty())
            return { cards.list, "" };
    }
    Cards kept(input);
    kept.RemoveIf(IsWcsKey);
    const bool removed = kept.list.size() < input.size();
    if (a.Invertible())
        MapPhysical(kept, a);
    else
        kept.RemoveIf(IsPhysicalKey);
    return { kept.list, removed ? "world coordinates removed: " + why : "" };
}

} // namespace tamrix::intake
