#include "stack/register.h"

#include "tamrix.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <set>
#include <unordered_map>

namespace tamrix::stack {

namespace {

void Apply(const Affine& m, double x, double y, double* tx, double* ty)
{
    *tx = m.a * x + m.b * y + m.c;
    *ty = m.d * x + m.e * y + m.f;
}

// A pair of matched stars: indices into the reference and the frame lists.
struct Pair {
    size_t ref, frm;
};

// Least-squares affine map from the pairs' reference positions to their
// frame positions, on coordinates centred on the pairs' mean (so that the
// normal equations stay well conditioned for frames of any size). False when
// the positions are (nearly) collinear.
bool FitAffine(const std::vector<Point>& ref, const std::vector<Point>& frm, const std::vector<Pair>& pairs, Affine* m)
{
    if (pairs.size() < 3)
        return false;
    double mx = 0, my = 0, mu = 0, mv = 0;
    for (const Pair& p : pairs) {
        mx += ref[p.ref].x, my += ref[p.ref].y, mu += frm[p.frm].x, mv += frm[p.frm].y;
    }
    const double n = double(pairs.size());
    mx /= n, my /= n, mu /= n, mv /= n;
    double sxx = 0, sxy = 0, syy = 0, sxu = 0, syu = 0, sxv = 0, syv = 0;
    for (const Pair& p : pairs) {
        const double x = ref[p.ref].x - mx, y = ref[p.ref].y - my;
        const double u = frm[p.frm].x - mu, v = frm[p.frm].y - mv;
        sxx += x * x, sxy += x * y, syy += y * y;
        sxu += x * u, syu += y * u, sxv += x * v, syv += y * v;
    }
    const double det = sxx * syy - sxy * sxy;
    if (!(det > 1e-9 * (sxx * syy)) || !(sxx > 0))
        return false;
    m->a = (sxu * syy - syu * sxy) / det;
    m->b = (syu * sxx - sxu * sxy) / det;
    m->d = (sxv * syy - syv * sxy) / det;
    m->e = (syv * sxx - sxv * sxy) / det;
    m->c = mu - m->a * mx - m->b * my;
    m->f = mv - m->d * mx - m->e * my;
    return true;
}

// The singular values of the map's 2 x 2 part: its scales along its axes.
void Scales(const Affine& m, double* s1, double* s2)
{
    const double p = (m.a + m.e) / 2, q = (m.a - m.e) / 2, r = (m.d + m.b) / 2, s = (m.d - m.b) / 2;
    const double h1 = std::hypot(p, s), h2 = std::hypot(q, r);
    *s1 = h1 + h2, *s2 = std::fabs(h1 - h2);
}

// Frame stars in square cells of the match tolerance, for nearest-star
// queries in constant time.
class Grid {
public:
    Grid(const std::vector<Point>& points, double cell) : points_(points), cell_(cell)
    {
        for (size_t i = 0; i < points.size(); ++i)
            cells_[Key(Cell(points[i].x), Cell(points[i].y))].push_back(i);
    }

    // The nearest point within `within` of (x, y), or -1.
    long Nearest(double x, double y, double within) const
    {
        long best = -1;
        double bestD = within * within;
        const long cx = Cell(x), cy = Cell(y);
        for (long j = cy - 1; j <= cy + 1; ++j)
            for (long i = cx - 1; i <= cx + 1; ++i) {
                const auto it = cells_.find(Key(i, j));
                if (it == cells_.end())
                    continue;
                for (size_t k : it->second) {
                    const double dx = points_[k].x - x, dy = points_[k].y - y, d = dx * dx + dy * dy;
                    if (d <= bestD)
                        bestD = d, best = long(k);
                }
            }
        return best;
    }

private:
    // Clamped so that the key below cannot overflow for far-off positions.
    long Cell(double v) const { return long(std::floor(std::clamp(v / cell_, -1e9, 1e9))); }
    static long long Key(long i, long j) { return (long long)(i) * 0x9E3779B1LL ^ (long long)(j); }

    const std::vector<Point>& points_;
    double cell_;
    std::unordered_map<long long, std::vector<size_t>> cells_;
};

// Reference stars matched one-to-one to the nearest frame star within the
// tolerance under the map; where two claim one frame star the closer keeps it.
std::vector<Pair> Match(const std::vector<Point>& ref, const std::vector<Point>& frm, const Grid& grid,
                        const Report& model, double tolerance)
{
    std::vector<long> owner(frm.size(), -1);
    std::vector<double> ownerD(frm.size());
    for (size_t i = 0; i < ref.size(); ++i) {
        double x, y;
        MapToFrame(model, ref[i].x, ref[i].y, &x, &y);
        const long k = grid.Nearest(x, y, tolerance);
        if (k < 0)
            continue;
        const double d = std::hypot(frm[k].x - x, frm[k].y - y);
        if (owner[k] < 0 || d < ownerD[k])
            owner[k] = long(i), ownerD[k] = d;
    }
    std::vector<Pair> pairs;
    for (size_t k = 0; k < frm.size(); ++k)
        if (owner[k] >= 0)
            pairs.push_back({ size_t(owner[k]), k });
    return pairs;
}

// A triangle of stars, vertices ordered by the side opposite them (shortest
// first) so that corresponding triangles list corresponding stars, and its
// shape (L2 / L1, L1 / L0 of the sorted side lengths).
struct Triangle {
    size_t v[3];
    double p, q;
};

std::vector<size_t> Brightest(const std::vector<Point>& points, int count)
{
    std::vector<size_t> order(points.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](size_t i, size_t j) { return points[i].flux > points[j].flux; });
    order.resize(std::min(order.size(), size_t(std::max(count, 0))));
    return order;
}

// Triangles of each of the stars `subset` with its nearest neighbours in it:
// every three of the star and its neighbours, each triangle once.
std::vector<Triangle> Triangles(const std::vector<Point>& points, const std::vector<size_t>& subset, int neighbours)
{
    std::set<std::array<size_t, 3>> seen;
    std::vector<Triangle> out;
    const size_t n = subset.size();
    for (size_t i = 0; i < n; ++i) {
        std::vector<std::pair<double, size_t>> near;
        for (size_t j = 0; j < n; ++j)
            if (j != i)
                near.push_back({ std::hypot(points[subset[j]].x - points[subset[i]].x,
                                            points[subset[j]].y - points[subset[i]].y),
                                 subset[j] });
        const size_t k = std::min(near.size(), size_t(std::max(neighbours, 2)));
        std::partial_sort(near.begin(), near.begin() + k, near.end());
        std::vector<size_t> group { subset[i] };
        for (size_t j = 0; j < k; ++j)
            group.push_back(near[j].second);
        for (size_t a = 0; a < group.size(); ++a)
            for (size_t b = a + 1; b < group.size(); ++b)
                for (size_t c = b + 1; c < group.size(); ++c) {
                    std::array<size_t, 3> key { group[a], group[b], group[c] };
                    std::sort(key.begin(), key.end());
                    if (!seen.insert(key).second)
                        continue;
                    // side[s] is opposite vertex key[s]
                    std::array<std::pair<double, size_t>, 3> side;
                    for (int s = 0; s < 3; ++s) {
                        const Point &p1 = points[key[(s + 1) % 3]], &p2 = points[key[(s + 2) % 3]];
                        side[s] = { std::hypot(p1.x - p2.x, p1.y - p2.y), key[s] };
                    }
                    std::sort(side.begin(), side.end());
                    if (!(side[0].first > 1e-6))
                        continue;
                    out.push_back({ { side[0].second, side[1].second, side[2].second },
                                    side[2].first / side[1].first, side[1].first / side[0].first });
                }
    }
    return out;
}

template <class... Values>
std::string Format(const char* format, Values... values)
{
    char line[200];
    std::snprintf(line, sizeof line, format, values...);
    return line;
}

Report Fail(Report report, Status status, std::string reason)
{
    report.status = status;
    report.reason = std::move(reason);
    report.transform = Affine {};
    report.distortion = Distortion {};
    return report;
}

double Cubic(const std::array<double, 10>& c, double u, double v)
{
    return c[0] * u * u * u + c[1] * v * v * v + c[2] * u * u * v + c[3] * u * v * v + c[4] * u * u + c[5] * v * v
        + c[6] * u * v + c[7] * u + c[8] * v + c[9];
}

// Residual distances (frame px) of the pairs under a map.
std::vector<double> Residuals(const std::vector<Point>& ref, const std::vector<Point>& frm,
                              const std::vector<Pair>& pairs, const Report& model)
{
    std::vector<double> d;
    for (const Pair& p : pairs) {
        double x, y;
        MapToFrame(model, ref[p.ref].x, ref[p.ref].y, &x, &y);
        d.push_back(std::hypot(frm[p.frm].x - x, frm[p.frm].y - y));
    }
    return d;
}

double Rms(const std::vector<double>& d)
{
    double sum = 0;
    for (double v : d)
        sum += v * v;
    return d.empty() ? 0 : std::sqrt(sum / double(d.size()));
}

// The pairs within 3 deviations of the map (the median distance is 1.18
// deviations for Gaussian errors on both axes), or 0.5 px when that is
// larger, so that a small unmodelled distortion does not thin the pairs.
std::vector<Pair> Clip(const std::vector<Point>& ref, const std::vector<Point>& frm, const std::vector<Pair>& pairs,
                       const Report& model)
{
    const std::vector<double> d = Residuals(ref, frm, pairs, model);
    if (d.size() < 3)
        return pairs;
    std::vector<double> sorted = d;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double limit = std::max(3 * sorted[sorted.size() / 2] / 1.1774, 0.5);
    std::vector<Pair> kept;
    for (size_t i = 0; i < pairs.size(); ++i)
        if (d[i] <= limit)
            kept.push_back(pairs[i]);
    return kept;
}

// The affine map by least squares, then, when asked for and the pairs
// suffice, the cubic field fitted by FitSurface to its residuals.
bool FitModel(const std::vector<Point>& ref, const std::vector<Point>& frm, const std::vector<Pair>& pairs,
              const Options& o, Report* model)
{
    model->distortion = Distortion {};
    if (!FitAffine(ref, frm, pairs, &model->transform))
        return false;
    if (!o.distortion || pairs.size() < size_t(std::max(o.minDistortionMatches, 10)))
        return true;
    Distortion d;
    double lo = 1e300, hi = -1e300;
    for (const Pair& p : pairs) {
        d.cx += ref[p.ref].x, d.cy += ref[p.ref].y;
        lo = std::min({ lo, ref[p.ref].x, ref[p.ref].y });
        hi = std::max({ hi, ref[p.ref].x, ref[p.ref].y });
    }
    d.cx /= double(pairs.size()), d.cy /= double(pairs.size());
    d.scale = std::max((hi - lo) / 2, 1.0);
    // FitSurface fits x - x' over (x, y): records (u, v, u - rx, v - ry)
    // give the residual rx, ry.
    std::vector<double> records;
    for (const Pair& p : pairs) {
        double x, y;
        Apply(model->transform, ref[p.ref].x, ref[p.ref].y, &x, &y);
        const double u = (ref[p.ref].x - d.cx) / d.scale, v = (ref[p.ref].y - d.cy) / d.scale;
        records.insert(records.end(), { u, v, u - (frm[p.frm].x - x), v - (frm[p.frm].y - y) });
    }
    auto &a = d.a, &b = d.b;
    FitSurface(records.data(), unsigned(pairs.size()), &a[0], &a[1], &a[2], &a[3], &a[4], &a[5], &a[6], &a[7], &a[8],
               &a[9], &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &b[8], &b[9]);
    d.fitted = true;
    model->distortion = d;
    return true;
}

} // namespace

std::vector<Point> Points(const std::vector<detect::Star>& stars)
{
    std::vector<Point> out;
    for (const detect::Star& s : stars)
        if (!(s.flags & (detect::kSaturated | detect::kEdge)))
            out.push_back({ s.cx, s.cy, s.flux });
    return out;
}

void MapToFrame(const Report& report, double x, double y, double* fx, double* fy)
{
    Apply(report.transform, x, y, fx, fy);
    const Distortion& d = report.distortion;
    if (d.fitted) {
        const double u = (x - d.cx) / d.scale, v = (y - d.cy) / d.scale;
        *fx += Cubic(d.a, u, v);
        *fy += Cubic(d.b, u, v);
    }
}

Report Register(const std::vector<Point>& referenceIn, const std::vector<Point>& frameIn, const Options& o)
{
    // A star without a finite position takes no part; one without a finite
    // flux ranks last.
    const auto finite = [](const std::vector<Point>& in) {
        std::vector<Point> out;
        for (Point p : in)
            if (std::isfinite(p.x) && std::isfinite(p.y)) {
                if (!std::isfinite(p.flux))
                    p.flux = -HUGE_VAL;
                out.push_back(p);
            }
        return out;
    };
    const std::vector<Point> reference = finite(referenceIn), frame = finite(frameIn);
    Report r;
    r.referenceStars = reference.size();
    r.frameStars = frame.size();
    const size_t need = size_t(std::max(o.minMatches, 3));
    if (reference.size() < need || frame.size() < need)
        return Fail(r, Status::kTooFewStars,
                    Format("%zu stars in the frame and %zu in the reference; at least %zu needed in each",
                           frame.size(), reference.size(), need));

    // The consensus among the `count` brightest stars of each list: the
    // candidate whose map brings the most of them onto one another, refitted
    // on those.
    const auto consensus = [&](int count, std::vector<Pair>& best, Affine& bestMap) {
        // Candidate correspondences: triangles of like shape, closest shapes first.
        const std::vector<size_t> refB = Brightest(reference, count), frmB = Brightest(frame, count);
        const std::vector<Triangle> refT = Triangles(reference, refB, o.neighbours);
        const std::vector<Triangle> frmT = Triangles(frame, frmB, o.neighbours);
        struct Candidate {
            double distance;
            size_t ref, frm;
        };
        std::vector<Candidate> candidates;
        const double r2 = o.invariantRadius * o.invariantRadius;
        for (size_t j = 0; j < frmT.size(); ++j)
            for (size_t i = 0; i < refT.size(); ++i) {
                const double dp = refT[i].p - frmT[j].p, dq = refT[i].q - frmT[j].q, d = dp * dp + dq * dq;
                if (d <= r2)
                    candidates.push_back({ d, i, j });
            }
        std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& x, const Candidate& y) { return x.distance < y.distance; });

        std::vector<Point> refP, frmP;
        for (size_t i : refB)
            refP.push_back(reference[i]);
        for (size_t i : frmB)
            frmP.push_back(frame[i]);
        const Grid frmBGrid(frmP, o.tolerance);
        std::vector<size_t> refIndex(reference.size()), frmIndex(frame.size());
        for (size_t i = 0; i < refB.size(); ++i)
            refIndex[refB[i]] = i;
        for (size_t i = 0; i < frmB.size(); ++i)
            frmIndex[frmB[i]] = i;
        const size_t enough = std::max(need, std::min(refB.size(), frmB.size()) * 6 / 10);
        best.clear();
        for (const Candidate& c : candidates) {
            std::vector<Pair> three;
            for (int k = 0; k < 3; ++k)
                three.push_back({ refIndex[refT[c.ref].v[k]], frmIndex[frmT[c.frm].v[k]] });
            Report m;
            if (!FitAffine(refP, frmP, three, &m.transform))
                continue;
            double s1, s2;
            Scales(m.transform, &s1, &s2);
            if (std::fabs(s1 - 1) > o.maxScaleChange || std::fabs(s2 - 1) > o.maxScaleChange)
                continue;
            std::vector<Pair> pairs = Match(refP, frmP, frmBGrid, m, o.tolerance);
            if (pairs.size() <= best.size())
                continue;
            if (pairs.size() > 3 && FitAffine(refP, frmP, pairs, &m.transform)) {
                std::vector<Pair> again = Match(refP, frmP, frmBGrid, m, o.tolerance);
                if (again.size() >= pairs.size())
                    pairs = std::move(again);
            }
            best = std::move(pairs);
            bestMap = m.transform;
            if (best.size() >= enough)
                break;
        }
    };
    // Three stars always agree with their own triangle; a fourth and fifth
    // independent star make a chance agreement unlikely. Stars of much the
    // same brightness rank differently in each list, so that few of the
    // brightest are in both: then three times as many are tried, among which
    // (nine times the pairs) chance agreements of five are common, of ten
    // not.
    size_t agree = std::min<size_t>(need, 5);
    std::vector<Pair> best;
    Affine bestMap;
    consensus(o.brightest, best, bestMap);
    if (best.size() < agree && std::max(reference.size(), frame.size()) > size_t(std::max(o.brightest, 0))) {
        agree *= 2;
        consensus(3 * std::min(o.brightest, INT_MAX / 3), best, bestMap);
    }
    if (best.size() < agree)
        return Fail(r, Status::kNoMatch, "no star pattern of the frame matches the reference");

    // Refinement over all stars: match under the current map, drop the
    // pairs far off the others' residuals (a star whose own counterpart is
    // missing, paired with a neighbour), refit.
    const Grid grid(frame, o.tolerance);
    Report model;
    model.transform = bestMap;
    std::vector<Pair> pairs;
    for (int round = 0; round < std::max(o.rounds, 1); ++round) {
        pairs = Clip(reference, frame, Match(reference, frame, grid, model, o.tolerance), model);
        Report next;
        if (!FitModel(reference, frame, pairs, o, &next))
            break;
        model = next;
    }
    r.matched = pairs.size();
    if (pairs.size() < need)
        return Fail(r, Status::kTooFewMatches, Format("only %zu stars matched; at least %zu needed", pairs.size(), need));

    // As many matches as stars of the frame's area would give by chance are
    // no registration (a dense unrelated field).
    double x0 = frame[0].x, x1 = x0, y0 = frame[0].y, y1 = y0;
    for (const Point& p : frame)
        x0 = std::min(x0, p.x), x1 = std::max(x1, p.x), y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
    size_t inside = 0;
    for (const Point& p : reference) {
        double x, y;
        Apply(model.transform, p.x, p.y, &x, &y);
        inside += x >= x0 && x <= x1 && y >= y0 && y <= y1;
    }
    const double area = std::max((x1 - x0) * (y1 - y0), 1.0);
    const double chance = double(inside) * double(frame.size()) * M_PI * o.tolerance * o.tolerance / area;
    if (double(pairs.size()) < chance + 5 * std::sqrt(chance) + double(need))
        return Fail(r, Status::kNoMatch,
                    Format("%zu stars matched, no more than chance gives (%.0f); the fields differ", pairs.size(),
                           chance));

    r.transform = model.transform;
    r.distortion = model.distortion;
    r.rms = Rms(Residuals(reference, frame, pairs, model));
    model.distortion = Distortion {};
    r.affineRms = Rms(Residuals(reference, frame, pairs, model));

    if (!(r.rms <= o.maxRms))
        return Fail(r, Status::kRmsTooHigh, Format("rms residual %.3g px above the limit of %.3g px", r.rms, o.maxRms));
    r.status = Status::kRegistered;
    return r;
}

} // namespace tamrix::stack
