// The bulk judgement of the neural star detector, written once for every
// instruction set: the including file opens its namespace and defines
// kLanes (floats a vector) and MulAdd(a, b, c) (a * b + c, fused or not: the
// error bound holds either way). See stars_nn_kernels.h for what it computes.

namespace {

typedef float VecF __attribute__((vector_size(4 * kLanes)));
typedef int32_t VecI __attribute__((vector_size(4 * kLanes)));
typedef uint32_t VecU __attribute__((vector_size(4 * kLanes)));

// Two vectors of neighbouring pixels share every weight load.
constexpr int kTile = 2 * kLanes;
static_assert(kTile <= detail::kMaxTile, "the scratch holds the widest tile");

inline VecF Load(const float* p)
{
    VecF v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void Store(float* p, VecF v)
{
    std::memcpy(p, &v, sizeof v);
}

template <class Pixel> inline VecU LoadWide(const Pixel* p)
{
    typedef Pixel Narrow __attribute__((vector_size(sizeof(Pixel) * kLanes)));
    Narrow v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_convertvector(v, VecU);
}

inline void StoreU(uint32_t* p, VecU v)
{
    std::memcpy(p, &v, sizeof v);
}

// lo[x] and hi[x] = the least and greatest of in(x + d) for d = d0 .. d1,
// x = x0 .. x1 - 1.
template <class Load, class Scalar>
inline void Extremes(int x0, int x1, int d0, int d1, Load in, Scalar at, uint32_t* lo, uint32_t* hi)
{
    int x = x0;
    for (; x + kLanes <= x1; x += kLanes) {
        VecU a = in(x + d0), b = a;
        for (int d = d0 + 1; d <= d1; ++d) {
            const VecU v = in(x + d);
            a = v < a ? v : a;
            b = v > b ? v : b;
        }
        StoreU(lo + x, a);
        StoreU(hi + x, b);
    }
    for (; x < x1; ++x) {
        uint32_t a = at(x + d0), b = a;
        for (int d = d0 + 1; d <= d1; ++d) {
            const uint32_t v = at(x + d);
            a = v < a ? v : a;
            b = v > b ? v : b;
        }
        lo[x] = a;
        hi[x] = b;
    }
}

// lo[x] = min(a[x], b[x]) and hi[x] = max(c[x], d[x]) for x = x0 .. x1 - 1;
// lo may be a, hi c.
inline void Combine(int x0, int x1, const uint32_t* a, const uint32_t* b, const uint32_t* c, const uint32_t* d,
    uint32_t* lo, uint32_t* hi)
{
    int x = x0;
    for (; x + kLanes <= x1; x += kLanes) {
        VecU p, q, u, v;
        std::memcpy(&p, a + x, sizeof p);
        std::memcpy(&q, b + x, sizeof q);
        std::memcpy(&u, c + x, sizeof u);
        std::memcpy(&v, d + x, sizeof v);
        StoreU(lo + x, q < p ? q : p);
        StoreU(hi + x, v > u ? v : u);
    }
    for (; x < x1; ++x) {
        lo[x] = b[x] < a[x] ? b[x] : a[x];
        hi[x] = d[x] > c[x] ? d[x] : c[x];
    }
}

// f - 0 is f for every f (0 + f is not for f = -0), so this is a plain
// broadcast.
inline VecF Splat(float f)
{
    return f - VecF {};
}

// 1 / (1 + exp(-z)) for finite z, with z clamped to [-32, 32] (which moves
// the result by less than 2^-44). exp(-z) = 2^n exp(r): n the integer
// nearest -z / ln 2 (t + 64.5 > 0, so truncation is the floor), r = -z - n
// ln 2 with ln 2 in two parts, the first of 15 bits so that n times it is
// exact, and exp(r) by its Taylor polynomial of degree 6.
inline VecF Sigmoid(VecF z)
{
    const VecF lo = Splat(-32.0f), hi = Splat(32.0f);
    z = z > lo ? z : lo;
    z = z < hi ? z : hi;
    const VecF t = z * -1.44269504f;
    const VecI n = __builtin_convertvector(t + 64.5f, VecI) - 64;
    const VecF fn = __builtin_convertvector(n, VecF);
    const VecF r = (-z - fn * 0.693145751953125f) - fn * 1.42860677e-6f;
    VecF p = MulAdd(Splat(1.0f / 720), r, Splat(1.0f / 120));
    p = MulAdd(p, r, Splat(1.0f / 24));
    p = MulAdd(p, r, Splat(1.0f / 6));
    p = MulAdd(p, r, Splat(0.5f));
    p = MulAdd(p, r, Splat(1.0f));
    p = MulAdd(p, r, Splat(1.0f));
    const VecI bits = (n + 127) << 23;
    VecF scale;
    std::memcpy(&scale, &bits, sizeof scale);
    return 1.0f / (1.0f + p * scale);
}

template <class Pixel>
void JudgeRows(const detail::NNScan& s, const detail::NNScratch& m, int y0, int y1, uint8_t* decisions)
{
    const Pixel* frame = static_cast<const Pixel*>(s.frame);
    const int w = s.width, r = s.r, side = 2 * r + 1, taps = side * side;
    const int x0 = r, x1 = w - r;
    const int stride = kTile + 2 * r; // of the tile's float plane

    // Window extremes: along each row of the band, then down the columns.
    const int rows = y1 - y0 + 2 * r;
    for (int j = 0; j < rows; ++j) {
        const Pixel* row = frame + ptrdiff_t(y0 - r + j) * w;
        Extremes(
            x0, x1, -r, r, [row](int x) { return LoadWide(row + x); }, [row](int x) { return uint32_t(row[x]); },
            m.rowMin + ptrdiff_t(j) * w, m.rowMax + ptrdiff_t(j) * w);
    }

    // Down the columns, by van Herk's scheme: in blocks of `side` rows, the
    // tails of each block (least and greatest from a row to the block's
    // end) apart, and the rows themselves turned into the heads (from the
    // block's start to the row). Rows y .. y + side - 1 are the tail of y's
    // block from y and the head of the next block to y + side - 1.
    for (int j = rows - 1; j >= 0; --j) {
        const ptrdiff_t at = ptrdiff_t(j) * w;
        const bool last = (j + 1) % side == 0 || j == rows - 1;
        Combine(x0, x1, m.rowMin + at, last ? m.rowMin + at : m.lowTail + at + w, m.rowMax + at,
            last ? m.rowMax + at : m.highTail + at + w, m.lowTail + at, m.highTail + at);
    }
    for (int j = 1; j < rows; ++j)
        if (j % side != 0) {
            const ptrdiff_t at = ptrdiff_t(j) * w;
            Combine(x0, x1, m.rowMin + at, m.rowMin + at - w, m.rowMax + at, m.rowMax + at - w, m.rowMin + at,
                m.rowMax + at);
        }

    for (int x = x1; x < x1 + kTile; ++x)
        m.min[x] = m.max[x] = 0;
    for (int y = y0; y < y1; ++y) {
        const ptrdiff_t tail = ptrdiff_t(y - y0) * w, head = ptrdiff_t(y - y0 + side - 1) * w;
        Combine(x0, x1, m.lowTail + tail, m.rowMin + head, m.highTail + tail, m.rowMax + head, m.min, m.max);

        for (int xt = x0; xt < x1; xt += kTile) {
            const int n = x1 - xt < kTile ? x1 - xt : kTile;
            uint32_t p = 0xFFFFFFFFu;
            for (int l = 0; l < n; ++l)
                p = m.min[xt + l] < p ? m.min[xt + l] : p;
            // The tile's pixels less its smallest window minimum; zeros past
            // the frame's interior feed only lanes that are thrown away.
            for (int dy = 0; dy < side; ++dy) {
                const Pixel* src = frame + ptrdiff_t(y - r + dy) * w + (xt - r);
                float* dst = m.plane + dy * stride;
                for (int c = 0; c < n + 2 * r; ++c)
                    dst[c] = float(uint32_t(src[c]) - p);
                for (int c = n + 2 * r; c < stride; ++c)
                    dst[c] = 0.0f;
            }
            // Per lane: the window minimum above p, 2 / (max - min), and
            // q = (max - p) / (max - min), which scales the error bound.
            // Lanes past the interior count as windows of equal pixels.
            alignas(64) float g[kTile], scale[kTile], q[kTile];
            VecI idle[2]; // all ones: a lane nothing is decided for
            for (int v = 0; v < 2; ++v) {
                VecU mn, mx;
                std::memcpy(&mn, m.min + xt + v * kLanes, sizeof mn);
                std::memcpy(&mx, m.max + xt + v * kLanes, sizeof mx);
                VecI lane = {};
                for (int l = 0; l < kLanes; ++l)
                    lane[l] = v * kLanes + l;
                const VecU base = VecU {} + p;
                const VecI inside = lane < n;
                mn = inside ? mn : base;
                mx = inside ? mx : base;
                idle[v] = mn == mx;
                const VecF range = idle[v] ? Splat(1.0f) : __builtin_convertvector(mx - mn, VecF);
                Store(g + v * kLanes, __builtin_convertvector(mn - base, VecF));
                Store(scale + v * kLanes, 2.0f / range);
                Store(q + v * kLanes, __builtin_convertvector(mx - base, VecF) / range);
            }

            // Layer 1: z = (sum w (v - p) - (min - p) sum w) 2 / (max - min)
            // + bias - sum w, which is sum w x + bias for the window's x.
            float* cur = m.layerA;
            int activated = 0; // neurons of cur already through the sigmoid
            bool skipped = false;
            VecF partial[2] = {}; // the output sum over those, with one hidden layer
            for (int gi = 0; gi < s.groups && !skipped; ++gi) {
                const float* wg = s.weights1 + ptrdiff_t(gi) * detail::kNeuronGroup * taps;
                VecF acc[2][detail::kNeuronGroup] = {};
                for (int dy = 0; dy < side; ++dy)
                    for (int dx = 0; dx < side; ++dx) {
                        const float* pp = m.plane + dy * stride + dx;
                        const VecF a = Load(pp), b = Load(pp + kLanes);
                        const float* wt = wg + dy * side + dx;
                        for (int k = 0; k < detail::kNeuronGroup; ++k) {
                            const VecF wk = Splat(wt[k * taps]);
                            acc[0][k] = MulAdd(wk, a, acc[0][k]);
                            acc[1][k] = MulAdd(wk, b, acc[1][k]);
                        }
                    }
                for (int k = 0; k < detail::kNeuronGroup; ++k) {
                    const int neuron = gi * detail::kNeuronGroup + k;
                    if (neuron >= s.neurons[1])
                        break;
                    for (int v = 0; v < 2; ++v) {
                        const VecF t = Load(g + v * kLanes) * s.sums1[neuron];
                        const VecF z = (acc[v][k] - t) * Load(scale + v * kLanes) + s.shifts1[neuron];
                        Store(cur + neuron * kTile + v * kLanes, z);
                    }
                }
                if (gi < s.screenGroups) {
                    // The output sum so far, neuron by neuron in order, as
                    // the full sum below takes them.
                    const int done = (gi + 1) * detail::kNeuronGroup;
                    for (int i = activated * kTile; i < done * kTile; i += kLanes)
                        Store(cur + i, Sigmoid(Load(cur + i)));
                    const float* bound = s.screen + 3 * gi;
                    bool decided = true;
                    for (int v = 0; v < 2; ++v) {
                        for (int k = activated; k < done; ++k)
                            partial[v] = MulAdd(Splat(s.weights[2][k]), Load(cur + k * kTile + v * kLanes), partial[v]);
                        const VecF z = partial[v] + bound[0];
                        const VecF magnitude = z < 0 ? -z : z;
                        const VecF top = z + (Load(q + v * kLanes) * bound[1] + bound[2]) + magnitude * 0x1p-21f;
                        const VecI no = idle[v] | (top < s.zNo);
                        for (int l = 0; l < kLanes; ++l)
                            decided = decided && no[l];
                    }
                    activated = done;
                    skipped = decided;
                }
            }
            uint8_t* out = decisions + ptrdiff_t(y) * w + xt;
            if (skipped) {
                std::memset(out, detail::kNo, size_t(n));
                continue;
            }
            // The later layers on the centres.
            float* next = m.layerB;
            for (int l = 2; l <= s.layers; ++l) {
                const int in = s.neurons[l - 1];
                for (int i = activated * kTile; i < in * kTile; i += kLanes)
                    Store(cur + i, Sigmoid(Load(cur + i)));
                activated = 0;
                for (int i = 0; i < s.neurons[l]; ++i) {
                    const float* u = s.weights[l] + ptrdiff_t(i) * in;
                    for (int v = 0; v < 2; ++v) {
                        VecF z = {};
                        for (int k = 0; k < in; ++k)
                            z = MulAdd(Splat(u[k]), Load(cur + k * kTile + v * kLanes), z);
                        Store(next + i * kTile + v * kLanes, z + s.biases[l][i]);
                    }
                }
                float* t = cur;
                cur = next;
                next = t;
            }
            for (int v = 0; v < 2; ++v) {
                const VecF z = Load(cur + v * kLanes);
                const VecF magnitude = z < 0 ? -z : z;
                const VecF radius = Load(q + v * kLanes) * s.radiusQ + s.radius0 + magnitude * 0x1p-21f;
                const VecF low = z - radius, high = z + radius;
                for (int l = 0; l < kLanes && v * kLanes + l < n; ++l) {
                    const int lane = v * kLanes + l;
                    out[lane] = idle[v][l] ? detail::kNo
                        : low[l] >= s.zYes ? detail::kYes
                        : high[l] < s.zNo  ? detail::kNo
                                           : detail::kUnsure;
                }
            }
        }
    }
}

} // namespace

void JudgeRows16(const detail::NNScan& scan, const detail::NNScratch& scratch, int y0, int y1, uint8_t* decisions)
{
    JudgeRows<uint16_t>(scan, scratch, y0, y1, decisions);
}

void JudgeRows32(const detail::NNScan& scan, const detail::NNScratch& scratch, int y0, int y1, uint8_t* decisions)
{
    JudgeRows<uint32_t>(scan, scratch, y0, y1, decisions);
}
