// CPU evaluation of the animation compute passes (see CpuAnimationCompute.h).
//
// The evaluation follows the shader's structure with W nodes to a step: a Pose<W> holds the local poses
// of W consecutive nodes, one node per lane of each vector, so that sampling, blending and the
// quaternion-to-matrix conversion run as straight W-lane arithmetic over the skeleton. The vectors are
// the compiler's generic vector types; where the processor has AVX2 and FMA (checked at run time) the
// passes run a copy compiled for them, with eight lanes, and four lanes elsewhere.
#include "refhost/CpuAnimationCompute.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#define ANIMATION_COMPUTE_AVX2 1
#endif
// Eight-lane code runs only inlined into the AVX2 copies, so its calling convention never matters.
#if defined(__clang__)
#if __has_warning("-Wpsabi")
#pragma clang diagnostic ignored "-Wpsabi"
#endif
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace render {

namespace {

constexpr int INSTANCE_WORDS = 108;
constexpr int STACK_OFFSET = 5;
constexpr int STACK_SIZE_OFFSET = 105;
constexpr int TIMELINE_START_OFFSET = 106;
constexpr int TIMELINE_LENGTH_OFFSET = 107;
constexpr int RECORD_WORDS = 26;
constexpr uint32_t KIND_CLIP = 0x0FFFFFF1u;
constexpr uint32_t KIND_1D = 0x0FFFFFF2u;
constexpr uint32_t KIND_2D = 0x0FFFFFF3u;
constexpr float NEVER = 3.4e38f;

struct Frame {
    float rotation[4];
    float translation[4];
};
struct ClipInfo {
    uint32_t first;
    uint32_t nodes;
    int32_t frames;
    float rate;
    float vector[4];
};
static_assert(sizeof(Frame) == 32 && sizeof(ClipInfo) == 32, "element sizes");

// The frame of a node that a clip does not hold: identity rotation, no translation, scale 1.
alignas(32) constexpr Frame IDENTITY_FRAME{{0.0f, 0.0f, 0.0f, 1.0f}, {0.0f, 0.0f, 0.0f, 1.0f}};

template <class T> T load(const uint8_t* base, size_t index) {
    T v;
    std::memcpy(&v, base + index * sizeof(T), sizeof(T));
    return v;
}

template <class T> size_t count_of(const CpuAnimationCompute::In& s) { return s.data ? s.bytes / sizeof(T) : 0; }
template <class T> size_t count_of(const CpuAnimationCompute::Out& s) { return s.data ? s.bytes / sizeof(T) : 0; }

// C's fmod (the remainder has the sign of x), exact, without the library call where the quotient is
// small: the quotient's integer part times y and the difference are exact in double.
float fmod_c(float x, float y) {
    const double ax = std::fabs(static_cast<double>(x)), ay = std::fabs(static_cast<double>(y));
    if (!(ax < 1e6 * ay)) return std::fmod(x, y);  // also y = 0, infinities and NaN
    double r = ax - std::trunc(ax / ay) * ay;
    if (r < 0.0) r += ay;  // the rounded quotient was one too large
    if (r >= ay) r -= ay;  // or one too small
    return std::copysign(static_cast<float>(r), x);
}

// ---- lanes: W floats, one per node

template <int W> struct Lanes;
template <> struct Lanes<4> {
    typedef float F __attribute__((vector_size(16)));
    typedef int32_t I __attribute__((vector_size(16)));
};
template <> struct Lanes<8> {
    // Aligned as AVX code loads them, whatever the compiler's default target.
    typedef float F __attribute__((vector_size(32), aligned(32)));
    typedef int32_t I __attribute__((vector_size(32), aligned(32)));
};
template <int W> using F = typename Lanes<W>::F;
template <int W> using I = typename Lanes<W>::I;
using F4 = F<4>;

template <int W> inline F<W> splat(float s);
template <> inline F<4> splat<4>(float s) { return F<4>{s, s, s, s}; }
template <> inline F<8> splat<8>(float s) { return F<8>{s, s, s, s, s, s, s, s}; }
template <int W> inline F<W> load_lanes(const uint8_t* p) {
    F<W> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <int W> inline void store_lanes(uint8_t* p, F<W> v) { std::memcpy(p, &v, sizeof v); }
// a where `mask` (all bits or none per lane) is set, else b.
template <int W> inline F<W> select(I<W> mask, F<W> a, F<W> b) {
    return reinterpret_cast<F<W>>((reinterpret_cast<I<W>>(a) & mask) | (reinterpret_cast<I<W>>(b) & ~mask));
}
template <int W> inline F<W> min(F<W> a, F<W> b) { return a < b ? a : b; }
// The sign bits of x; x with its sign flipped where `sign` has the bit.
template <int W> inline F<W> sign_of(F<W> x) {
    return reinterpret_cast<F<W>>(reinterpret_cast<I<W>>(x) & reinterpret_cast<I<W>>(splat<W>(-0.0f)));
}
template <int W> inline F<W> flip(F<W> x, F<W> sign) {
    return reinterpret_cast<F<W>>(reinterpret_cast<I<W>>(x) ^ reinterpret_cast<I<W>>(sign));
}

inline float lowest(F<4> x) {
    x = min<4>(x, __builtin_shufflevector(x, x, 2, 3, 0, 1));
    return std::min(x[0], x[1]);
}
inline float lowest(F<8> x) {
    x = min<8>(x, __builtin_shufflevector(x, x, 4, 5, 6, 7, 0, 1, 2, 3));
    x = min<8>(x, __builtin_shufflevector(x, x, 2, 3, 0, 1, 6, 7, 4, 5));
    return std::min(x[0], x[1]);
}
inline bool any(const I<4>& mask) {
    const I<4> m = mask | __builtin_shufflevector(mask, mask, 2, 3, 0, 1);
    return (m[0] | m[1]) != 0;
}
inline bool any(const I<8>& mask) {
    I<8> m = mask | __builtin_shufflevector(mask, mask, 4, 5, 6, 7, 0, 1, 2, 3);
    m |= __builtin_shufflevector(m, m, 2, 3, 0, 1, 6, 7, 4, 5);
    return (m[0] | m[1]) != 0;
}

// Rows to columns: r[i][j] becomes r[j][i].
inline void transpose(F<4> (&r)[4]) {
    const F4 t0 = __builtin_shufflevector(r[0], r[1], 0, 4, 1, 5), t1 = __builtin_shufflevector(r[0], r[1], 2, 6, 3, 7);
    const F4 t2 = __builtin_shufflevector(r[2], r[3], 0, 4, 1, 5), t3 = __builtin_shufflevector(r[2], r[3], 2, 6, 3, 7);
    r[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5), r[1] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    r[2] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5), r[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}
inline void transpose(F<8> (&r)[8]) {
    F<8> t[8], u[8];
    for (int i = 0; i < 8; i += 2) {
        t[i] = __builtin_shufflevector(r[i], r[i + 1], 0, 8, 1, 9, 4, 12, 5, 13);
        t[i + 1] = __builtin_shufflevector(r[i], r[i + 1], 2, 10, 3, 11, 6, 14, 7, 15);
    }
    for (int h = 0; h < 8; h += 4) {
        u[h] = __builtin_shufflevector(t[h], t[h + 2], 0, 1, 8, 9, 4, 5, 12, 13);
        u[h + 1] = __builtin_shufflevector(t[h], t[h + 2], 2, 3, 10, 11, 6, 7, 14, 15);
        u[h + 2] = __builtin_shufflevector(t[h + 1], t[h + 3], 0, 1, 8, 9, 4, 5, 12, 13);
        u[h + 3] = __builtin_shufflevector(t[h + 1], t[h + 3], 2, 3, 10, 11, 6, 7, 14, 15);
    }
    for (int k = 0; k < 4; ++k) {
        r[k] = __builtin_shufflevector(u[k], u[k + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        r[k + 4] = __builtin_shufflevector(u[k], u[k + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
}

// ---- poses of W nodes

// Rotation quaternion, translation and uniform scale of W consecutive nodes, one per lane.
template <int W> struct Pose {
    F<W> x, y, z, w;
    F<W> px, py, pz, s;
};

template <int W> Pose<W> identity_pose() {
    const F<W> zero = splat<W>(0.0f), one = splat<W>(1.0f);
    return {zero, zero, zero, one, zero, zero, zero, one};
}

template <int W> Pose<W> select(I<W> mask, const Pose<W>& a, const Pose<W>& b) {
    return {select<W>(mask, a.x, b.x),   select<W>(mask, a.y, b.y),   select<W>(mask, a.z, b.z),
            select<W>(mask, a.w, b.w),   select<W>(mask, a.px, b.px), select<W>(mask, a.py, b.py),
            select<W>(mask, a.pz, b.pz), select<W>(mask, a.s, b.s)};
}

// The frames of W nodes, node i's at at(i), as lanes.
template <class At> Pose<4> frames_at4(At at) {
    F4 q[4], p[4];
    for (int i = 0; i < 4; ++i) q[i] = load_lanes<4>(at(i)), p[i] = load_lanes<4>(at(i) + 16);
    transpose(q);
    transpose(p);
    return {q[0], q[1], q[2], q[3], p[0], p[1], p[2], p[3]};
}
template <class At> Pose<8> frames_at8(At at) {
    F<8> r[8];
    for (int i = 0; i < 8; ++i) r[i] = load_lanes<8>(at(i));
    transpose(r);
    return {r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]};
}
template <int W, class At> Pose<W> frames_at(At at) {
    if constexpr (W == 8)
        return frames_at8(at);
    else
        return frames_at4(at);
}

// The 16 entries of W matrices, entry by entry, stored as 16 floats per node for the first `count`.
inline void store_matrices(const F<4> (&m)[16], uint8_t* out, size_t count) {
    for (int r = 0; r < 4; ++r) {
        F4 row[4] = {m[4 * r], m[4 * r + 1], m[4 * r + 2], m[4 * r + 3]};
        transpose(row);  // row[i]: row r of node i
        for (size_t i = 0; i < count; ++i) store_lanes<4>(out + i * 64 + r * 16, row[i]);
    }
}
inline void store_matrices(const F<8> (&m)[16], uint8_t* out, size_t count) {
    F<8> upper[8] = {m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7]};
    F<8> lower[8] = {m[8], m[9], m[10], m[11], m[12], m[13], m[14], m[15]};
    transpose(upper);  // upper[i]: rows 0 and 1 of node i
    transpose(lower);  // lower[i]: rows 2 and 3 of node i
    for (size_t i = 0; i < count; ++i) {
        store_lanes<8>(out + i * 64, upper[i]);
        store_lanes<8>(out + i * 64 + 32, lower[i]);
    }
}

// The weights of one rigid blend by t, for every node it blends. The spherical weights
// sin((1 - t) w) / sin w and sin(t w) / sin w of two unit quaternions at an angle w are power series
// in y = cos w - 1 whose coefficients depend on t alone: c(0) = t, c(i) = c(i-1) (t^2 - i^2) /
// (i (2i + 1)) (and the same for 1 - t). A blend works them out once, only as far as the widest
// angle it meets needs, so that each node costs two short polynomials and no trigonometry.
template <int W> class BlendWeights {
public:
    static constexpr int FEW_TERMS = 4;    // float precision up to 26 degrees (cos w >= 0.9)
    static constexpr int MOST_TERMS = 21;  // float precision at a right angle (cos w = 0)

    explicit BlendWeights(float t = 0.0f) : _t(t) {}
    void set(float t) { _t = t, _known = -1; }
    float factor() const { return _t; }

    // The weights of the first (a) and the second (b) of two poses whose quaternions have the dot
    // product y + 1 (y in [-1, 0]), in every lane.
    void at(F<W> y, F<W>& a, F<W>& b) const {
        const float widest = lowest(y);
        if (widest >= -0.1f) {
            grow(FEW_TERMS);
            a = (((_a[4] * y + _a[3]) * y + _a[2]) * y + _a[1]) * y + _a[0];
            b = (((_b[4] * y + _b[3]) * y + _b[2]) * y + _b[1]) * y + _b[0];
            return;
        }
        const int terms = terms_for(widest);
        grow(terms);
        a = _a[terms], b = _b[terms];
        for (int i = terms - 1; i >= 0; --i) a = a * y + _a[i], b = b * y + _b[i];
    }

private:
    // Terms enough for float precision when y >= widest (the terms shrink at least twofold each).
    static int terms_for(float widest) {
        static const struct {
            float y;
            int terms;
        } NEEDED[] = {{-0.2f, 6}, {-0.3f, 7}, {-0.5f, 10}, {-0.7f, 13}};
        for (const auto& e : NEEDED)
            if (widest >= e.y) return e.terms;
        return MOST_TERMS;
    }
    void grow(int terms) const {
        if (terms <= _known) return;
        const float t = _t, s = 1.0f - t;
        if (_known < 0) _a[0] = splat<W>(s), _b[0] = splat<W>(t), _ca = s, _cb = t, _known = 0;
        for (int i = _known + 1; i <= terms; ++i) {
            const float i2 = static_cast<float>(i * i);
            _ca *= (s * s - i2) * SCALE[i], _cb *= (t * t - i2) * SCALE[i];
            _a[i] = splat<W>(_ca), _b[i] = splat<W>(_cb);
        }
        _known = terms;
    }

    // 1 / (i (2i + 1)).
    static constexpr float SCALE[MOST_TERMS + 1] = {
        0.0f,         1.0f / 3,   1.0f / 10,  1.0f / 21,  1.0f / 36,  1.0f / 55,  1.0f / 78,  1.0f / 105,
        1.0f / 136,   1.0f / 171, 1.0f / 210, 1.0f / 253, 1.0f / 300, 1.0f / 351, 1.0f / 406, 1.0f / 465,
        1.0f / 528,   1.0f / 595, 1.0f / 666, 1.0f / 741, 1.0f / 820, 1.0f / 903};

    float _t;
    mutable int _known = -1;
    mutable float _ca = 0.0f, _cb = 0.0f;  // the last coefficients worked out
    mutable F<W> _a[MOST_TERMS + 1], _b[MOST_TERMS + 1];
};

// Rigid blend: quaternion slerp along the shorter arc, translation and scale linear.
template <int W> Pose<W> blend(const Pose<W>& a, const Pose<W>& b, const BlendWeights<W>& w) {
    const F<W> d = a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w;
    const F<W> sign = sign_of<W>(d);  // the shorter arc: b counts negated where d < 0
    F<W> wa, wb;
    w.at(min<W>(flip<W>(d, sign), splat<W>(1.0f)) - 1.0f, wa, wb);
    wb = flip<W>(wb, sign);
    const F<W> t = splat<W>(w.factor());
    return {wa * a.x + wb * b.x,        wa * a.y + wb * b.y,        wa * a.z + wb * b.z,        wa * a.w + wb * b.w,
            a.px + (b.px - a.px) * t, a.py + (b.py - a.py) * t, a.pz + (b.pz - a.pz) * t, a.s + (b.s - a.s) * t};
}

// The matrices of W poses (scale, then rotation, then translation) as 16 floats each in row-major,
// row-vector order, for the first `count` nodes. The quaternions are normalised on the way.
template <int W> void write_matrices(const Pose<W>& p, uint8_t* out, size_t count) {
    const F<W> length2 = p.x * p.x + p.y * p.y + p.z * p.z + p.w * p.w;
    const F<W> zero = splat<W>(0.0f), one = splat<W>(1.0f);
    const F<W> k = select<W>(length2 > zero, 2.0f / length2, zero);
    const F<W> xk = p.x * k, yk = p.y * k, zk = p.z * k;
    const F<W> xx = p.x * xk, yy = p.y * yk, zz = p.z * zk;
    const F<W> xy = p.x * yk, xz = p.x * zk, yz = p.y * zk;
    const F<W> wx = p.w * xk, wy = p.w * yk, wz = p.w * zk;
    const F<W> m[16] = {(one - (yy + zz)) * p.s, (xy + wz) * p.s, (xz - wy) * p.s, zero,
                        (xy - wz) * p.s, (one - (xx + zz)) * p.s, (yz + wx) * p.s, zero,
                        (xz + wy) * p.s, (yz - wx) * p.s, (one - (xx + yy)) * p.s, zero,
                        p.px, p.py, p.pz, one};
    store_matrices(m, out, count);
}

// out = a · b for matrices whose last column is (0, 0, 0, 1), row-vector order (a applies first):
// row r of out is the sum of a's entries (r, k) times b's rows k, plus b's row 3 for r = 3. out may be
// a or b. Four lanes: one row at a time.
inline void multiply(const uint8_t* a, const uint8_t* b, uint8_t* out, Lanes<4>) {
    const F4 b0 = load_lanes<4>(b), b1 = load_lanes<4>(b + 16), b2 = load_lanes<4>(b + 32), b3 = load_lanes<4>(b + 48);
    auto entry = [a](int i) { return splat<4>(load<float>(a, static_cast<size_t>(i))); };
    F4 rows[4];
    for (int r = 0; r < 4; ++r) rows[r] = entry(4 * r) * b0 + entry(4 * r + 1) * b1 + entry(4 * r + 2) * b2;
    rows[3] += b3;
    for (int r = 0; r < 4; ++r) store_lanes<4>(out + r * 16, rows[r]);
}
// Eight lanes: two rows at a time.
inline void multiply(const uint8_t* a, const uint8_t* b, uint8_t* out, Lanes<8>) {
    auto twice = [](F4 x) { return __builtin_shufflevector(x, x, 0, 1, 2, 3, 0, 1, 2, 3); };
    const F<8> b0 = twice(load_lanes<4>(b)), b1 = twice(load_lanes<4>(b + 16)), b2 = twice(load_lanes<4>(b + 32));
    const F<8> b3 = __builtin_shufflevector(splat<4>(0.0f), load_lanes<4>(b + 48), 0, 1, 2, 3, 4, 5, 6, 7);
    F<8> rows[2];
    for (int h = 0; h < 2; ++h) {
        const F<8> ar = load_lanes<8>(a + 32 * h);  // rows 2h and 2h + 1
        rows[h] = __builtin_shufflevector(ar, ar, 0, 0, 0, 0, 4, 4, 4, 4) * b0 +
                  __builtin_shufflevector(ar, ar, 1, 1, 1, 1, 5, 5, 5, 5) * b1 +
                  __builtin_shufflevector(ar, ar, 2, 2, 2, 2, 6, 6, 6, 6) * b2;
    }
    rows[1] += b3;
    store_lanes<8>(out, rows[0]);
    store_lanes<8>(out + 32, rows[1]);
}

// ---- the bound buffers

template <int W> struct Block;

// Where a clip is read at a time, the same for every node: its key pair and their blend.
template <int W> struct Cursor {
    size_t first = 0, frames = 1;
    size_t nodes = 0;  // nodes below this are read from the clip, the others are the identity
    int k0 = 0, k1 = 0;
    bool interpolate = false;
    BlendWeights<W> weights;  // of key k1 over key k0
    // The clip's frames rearranged for the lanes (block tick · groups + group), when there are.
    const Block<W>* blocks = nullptr;
    size_t groups = 0;
};

// ---- the frames rearranged for the lanes

// The frames of W consecutive nodes at one tick, component by component (v[c][i]: component c of node
// i), as frames_at gathers and transposes them from the bound buffer.
template <int W> struct Block {
    alignas(32) float v[8][W];
};

template <int W> Pose<W> pose_of(const Block<W>& block) {
    auto lanes = [&](int c) { return load_lanes<W>(reinterpret_cast<const uint8_t*>(block.v[c])); };
    return {lanes(0), lanes(1), lanes(2), lanes(3), lanes(4), lanes(5), lanes(6), lanes(7)};
}

constexpr size_t NO_BLOCKS = ~size_t(0);
constexpr size_t KEPT_CONTENTS = 8;

// Every clip's frames as blocks: for each tick of the clip, one block per group of W nodes of the
// skeleton, the identity frame for the nodes the clip does not hold. A clip whose frames do not all lie
// in the bound buffer has none (its cursor reads the buffer, node by node, as before).
template <int W> struct LaneFrames {
    uint64_t animations_version = 0, clips_version = 0;
    size_t num_nodes = 0, groups = 0;
    std::vector<size_t> first;  // per clip: its first block, or NO_BLOCKS
    std::vector<Block<W>> blocks;
};

// What one dispatch reads, with counts checked once.
class Inputs {
public:
    explicit Inputs(const CpuAnimationCompute::Bindings& b)
        : b(b),
          num_nodes(static_cast<size_t>(std::max(b.num_nodes, 0))),
          frames(count_of<Frame>(b.animations)),
          clips(count_of<ClipInfo>(b.clips_info)),
          masks(count_of<float>(b.masks)),
          slots(count_of<int32_t>(b.per_instance_data) / INSTANCE_WORDS),
          records(count_of<uint32_t>(b.per_instance_animations) / RECORD_WORDS),
          indices(count_of<int32_t>(b.instance_indices)) {}

    const CpuAnimationCompute::Bindings& b;
    const size_t num_nodes, frames, clips, masks, slots, records, indices;

    ClipInfo clip(int c) const { return load<ClipInfo>(b.clips_info.data, static_cast<size_t>(c)); }
    int clip_of(float v) const {
        if (!(v >= 0.0f && v < 65535.0f)) return -1;
        const int c = static_cast<int>(v);
        return static_cast<size_t>(c) < clips ? c : -1;
    }
    float clip_duration(int c) const {
        if (c < 0) return 0.0f;
        const ClipInfo info = clip(c);
        const float ticks = static_cast<float>(info.frames - 1);
        return ticks > 0.0f && info.rate > 0.0f ? ticks / info.rate : 0.0f;
    }
    int instance_word(int id, int word) const {
        return load<int32_t>(b.per_instance_data.data, static_cast<size_t>(id) * INSTANCE_WORDS + word);
    }
    float instance_float(int id, int word) const {
        return load<float>(b.per_instance_data.data, static_cast<size_t>(id) * INSTANCE_WORDS + word);
    }
    float record_float(int r, int word) const {
        return load<float>(b.per_instance_animations.data, static_cast<size_t>(r) * RECORD_WORDS + word);
    }
    uint32_t record_kind(int r) const {
        return load<uint32_t>(b.per_instance_animations.data, static_cast<size_t>(r) * RECORD_WORDS);
    }
    int stack_record(int id, int slot) const {
        const int r = instance_word(id, STACK_OFFSET + slot);
        return r >= 0 && static_cast<size_t>(r) < records ? r : -1;
    }
    float record_start(int r) const { return r >= 0 ? record_float(r, 13) : NEVER; }
    // The instance slot listed at j, -1 when there is none; `with_record`: the slot must also hold an
    // instance record (the chaining pass has no records bound).
    int instance(uint32_t j, bool with_record = true) const {
        if (j >= indices) return -1;
        const int id = load<int32_t>(b.instance_indices.data, j);
        return id >= 0 && (!with_record || static_cast<size_t>(id) < slots) ? id : -1;
    }

    // Aims a cursor at clip c at a time (seconds), looping or held at the ends; no clip (c < 0) reads
    // the identity.
    template <int W> void aim(Cursor<W>& k, int c, float time, bool looping, const LaneFrames<W>* lanes) const {
        k.nodes = 0, k.interpolate = false, k.blocks = nullptr;
        if (c < 0) return;
        const ClipInfo info = clip(c);
        const int count = std::max(info.frames, 1);
        const float duration = static_cast<float>(count - 1);
        float tick = time * info.rate;
        if (!(duration > 0.0f) || !std::isfinite(tick))
            tick = 0.0f;
        else if (looping)
            tick = fmod_c(tick, duration);
        else
            tick = std::min(std::max(tick, 0.0f), duration);
        const float t = std::min(std::max(tick, 0.0f), duration);
        k.first = info.first, k.frames = static_cast<size_t>(count);
        k.k0 = static_cast<int>(t);
        k.k1 = std::min(k.k0 + 1, count - 1);
        const float f = std::min(std::max(t - static_cast<float>(k.k0), 0.0f), 1.0f);
        k.weights.set(f);
        k.interpolate = k.k1 != k.k0 && f > 0.0f;
        // Node n reads up to element first + n * frames + k1, which must lie inside the buffer.
        const size_t last = k.first + static_cast<size_t>(k.k1);
        const size_t wanted = std::min(static_cast<size_t>(info.nodes), num_nodes);
        if (wanted == 0 || last + (wanted - 1) * k.frames < frames)
            k.nodes = wanted;
        else
            k.nodes = last < frames ? std::min(wanted, (frames - 1 - last) / k.frames + 1) : 0;
        if (lanes && lanes->first[static_cast<size_t>(c)] != NO_BLOCKS) {
            k.blocks = lanes->blocks.data() + lanes->first[static_cast<size_t>(c)];
            k.groups = lanes->groups;
        }
    }

    // The local poses of the W nodes from `node` in a cursor's clip: its key pair (keys are one per
    // tick, so the pair is found by index) blended.
    template <int W> Pose<W> sample(const Cursor<W>& k, size_t node) const {
        if (k.blocks) {
            const size_t group = node / W;
            const Pose<W> a = pose_of(k.blocks[static_cast<size_t>(k.k0) * k.groups + group]);
            if (!k.interpolate) return a;
            return blend(a, pose_of(k.blocks[static_cast<size_t>(k.k1) * k.groups + group]), k.weights);
        }
        const uint8_t* const data = b.animations.data;
        const size_t stride = k.frames * sizeof(Frame), step = static_cast<size_t>(k.k1 - k.k0) * sizeof(Frame);
        const size_t first = (k.first + static_cast<size_t>(k.k0) + node * k.frames) * sizeof(Frame);  // bytes
        if (node + W <= k.nodes) {  // all W nodes inside the clip
            const Pose<W> a = frames_at<W>([&](size_t i) { return data + first + i * stride; });
            if (!k.interpolate) return a;
            return blend(a, frames_at<W>([&](size_t i) { return data + first + step + i * stride; }), k.weights);
        }
        const uint8_t* const identity = reinterpret_cast<const uint8_t*>(&IDENTITY_FRAME);
        auto key = [&](size_t offset) {
            return [&, offset](size_t i) { return node + i < k.nodes ? data + offset + i * stride : identity; };
        };
        const Pose<W> a = frames_at<W>(key(first));
        return k.interpolate ? blend(a, frames_at<W>(key(first + step)), k.weights) : a;
    }

    // All bits set in the lanes of the W nodes from `node` that an override's mask row gives it.
    template <int W> I<W> masked(int row, size_t node) const {
        F<W> w = splat<W>(0.0f);
        for (size_t i = 0; i < W; ++i) {
            const size_t at = static_cast<size_t>(row) * num_nodes + node + i;
            if (node + i < num_nodes && at < masks) w[i] = load<float>(b.masks.data, at);
        }
        return w > splat<W>(0.0f);
    }
};

// What one record needs for every node, worked out once per instance.
template <int W> struct Timing {
    int samples = 0;  // 1: cursor 0; 2: cursor 0 towards 1 by u; 4: that towards 2 towards 3 by v; 0: identity
    Cursor<W> cursors[4];
    BlendWeights<W> u, v;
    int override_row = -1;
    Cursor<W> override_cursor;
};

// Fills `tm` (default-constructed) for record r at a time.
template <int W>
void time_record(const Inputs& in, const LaneFrames<W>* lanes, int r, float time, Timing<W>& tm) {
    if (r < 0) return;
    const uint32_t kind = in.record_kind(r);
    const float start = in.record_float(r, 13);
    const float x = time - start;
    const bool looping = in.record_float(r, 16) > 0.0f;
    int clips[4];
    for (int k = 0; k < 4; ++k) clips[k] = in.clip_of(in.record_float(r, 3 + 3 * k));
    const float u = in.record_float(r, 19), v = in.record_float(r, 20);
    tm.u.set(u), tm.v.set(v);
    float local = x, times[4];
    if (kind == KIND_CLIP) {
        const float loop_start = in.record_float(r, 17), loop_end = in.record_float(r, 18);
        if (looping && loop_start >= 0.0f && loop_end >= 0.0f && time >= start + loop_start && loop_end > loop_start)
            local = fmod_c(x, loop_end - loop_start) + loop_start;
        std::fill(times, times + 4, local);
    } else if (kind == KIND_1D || kind == KIND_2D) {
        float d[4];
        for (int k = 0; k < 4; ++k) d[k] = in.clip_duration(clips[k]);
        const float lower = d[0] * (1.0f - u) + d[1] * u;
        const float upper = d[2] * (1.0f - u) + d[3] * u;
        const float D = kind == KIND_1D ? lower : lower * (1.0f - v) + upper * v;
        float phase = 0.0f;
        if (D > 0.0f) phase = looping ? fmod_c(x, D) / D : std::min(std::max(x / D, 0.0f), 1.0f);
        for (int k = 0; k < 4; ++k) times[k] = kind == KIND_1D ? phase * D : phase * d[k];
    } else {
        return;  // an empty or unknown record: identity, no override
    }
    const float o = in.record_float(r, 23);
    if (o != -1.0f) {
        const int oc = in.clip_of(o);
        if (oc >= 0) {
            const float w = in.clip(oc).vector[3];
            if (w < 0.0f) {
                tm.override_row = static_cast<int>(-w) - 1;
                in.aim(tm.override_cursor, oc, kind == KIND_CLIP ? local : x, looping, lanes);
            }
        }
    }
    // Samples that coincide (the same clip at the same time) are taken once: a 2-D record whose rows
    // name the same clips is its first row; one whose rows each repeat a clip blends the two by v.
    tm.samples = kind == KIND_CLIP ? 1 : kind == KIND_1D ? 2 : 4;
    auto same = [&](int a, int b) { return clips[a] == clips[b] && times[a] == times[b]; };
    if (tm.samples == 4 && same(0, 2) && same(1, 3)) {
        tm.samples = 2;
    } else if (tm.samples == 4 && same(0, 1) && same(2, 3)) {
        tm.samples = 2;
        clips[1] = clips[2], times[1] = times[2];
        tm.u.set(v);
    }
    if (tm.samples == 2 && same(0, 1)) tm.samples = 1;
    for (int k = 0; k < tm.samples; ++k) in.aim(tm.cursors[k], clips[k], times[k], looping, lanes);
}

// The local poses of all nodes under a record, W nodes to an element of `out` (`groups` of them);
// `work` is scratch of the same size.
template <int W> void evaluate(const Inputs& in, const Timing<W>& tm, size_t groups, Pose<W>* out, Pose<W>* work) {
    const Cursor<W>* c = tm.cursors;
    switch (tm.samples) {
    case 1:
        for (size_t g = 0; g < groups; ++g) out[g] = in.sample(c[0], W * g);
        break;
    case 2:
        for (size_t g = 0; g < groups; ++g) out[g] = blend(in.sample(c[0], W * g), in.sample(c[1], W * g), tm.u);
        break;
    case 4:
        for (size_t g = 0; g < groups; ++g) work[g] = blend(in.sample(c[0], W * g), in.sample(c[1], W * g), tm.u);
        for (size_t g = 0; g < groups; ++g)
            out[g] = blend(work[g], blend(in.sample(c[2], W * g), in.sample(c[3], W * g), tm.u), tm.v);
        break;
    default:
        std::fill(out, out + groups, identity_pose<W>());
        return;
    }
    if (tm.override_row < 0) return;
    for (size_t g = 0; g < groups; ++g) {
        const I<W> masked = in.masked<W>(tm.override_row, W * g);
        if (any(masked)) out[g] = select(masked, in.sample(tm.override_cursor, W * g), out[g]);
    }
}

struct StackState {
    float time = 0.0f;
    int slot = -1;
    int below = -1;  // -1 when nothing is blended in
    float fade = 1.0f;
    float cycles = 0.0f;
};

StackState stack_state(const Inputs& in, int id, float t) {
    StackState st;
    st.time = t;
    const int size = std::min(std::max(in.instance_word(id, STACK_SIZE_OFFSET), 0), in.b.max_stack);
    const float window_start = in.instance_float(id, TIMELINE_START_OFFSET);
    const float window_length = in.instance_float(id, TIMELINE_LENGTH_OFFSET);
    if (window_length > 0.0f) {
        st.cycles = std::floor((t - window_start) / window_length);
        st.time = fmod_c(t - window_start, window_length) + window_start;
    }
    if (size == 0) return st;
    t = st.time;
    st.slot = 0;
    if (in.record_start(in.stack_record(id, 0)) < t) {
        for (int i = 0; i < size; ++i) {
            const int r = in.stack_record(id, i);
            if (r < 0) continue;
            if (t >= in.record_start(r) && (i + 1 == size || in.record_start(in.stack_record(id, i + 1)) > t)) {
                st.slot = i;
                break;
            }
        }
    }
    const int next = in.stack_record(id, st.slot);
    if (st.slot == 0 || next < 0) return st;
    const float blend_start = in.record_float(next, 21), blend_duration = in.record_float(next, 22);
    if (blend_duration > 0.0f) {
        const float w = std::min(std::max((t - blend_start) / blend_duration, 0.0f), 1.0f);
        if (w < 1.0f) {
            st.below = st.slot - 1;
            st.fade = w;
        }
    } else if (blend_start > t) {
        st.slot -= 1;  // the entry has not switched in yet
    }
    return st;
}

// The bound frames as blocks: built on the first dispatch that reads a content of the frame and clip
// buffers, shared by the later ones (the last KEPT_CONTENTS contents are kept: one per skeleton type
// that a host animates, as a rule). Null where the contents are not known.
template <int W> __attribute__((noinline)) std::shared_ptr<const LaneFrames<W>> lane_frames(const Inputs& in) {
    const CpuAnimationCompute::Bindings& b = in.b;
    if (!b.animations_version || !b.clips_version) return nullptr;
    static std::mutex mutex;
    static std::vector<std::shared_ptr<const LaneFrames<W>>> kept;  // the most recently used first
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t i = 0; i < kept.size(); ++i) {
        const LaneFrames<W>& f = *kept[i];
        if (f.animations_version == b.animations_version && f.clips_version == b.clips_version &&
            f.num_nodes == in.num_nodes) {
            const auto at = kept.begin() + static_cast<std::ptrdiff_t>(i);
            std::rotate(kept.begin(), at, at + 1);
            return kept.front();
        }
    }
    auto built = std::make_shared<LaneFrames<W>>();
    built->animations_version = b.animations_version;
    built->clips_version = b.clips_version;
    built->num_nodes = in.num_nodes;
    built->groups = (in.num_nodes + W - 1) / W;
    built->first.assign(in.clips, NO_BLOCKS);
    // Identity padding and clips that share frames can make more blocks than the buffer holds frames:
    // up to four times its size is rearranged, the clips past that are read from the buffer.
    const size_t budget = (4 * in.frames * sizeof(Frame)) / sizeof(Block<W>) + 1;
    for (size_t c = 0; c < in.clips; ++c) {
        const ClipInfo info = in.clip(static_cast<int>(c));
        const size_t count = static_cast<size_t>(std::max(info.frames, 1));
        const size_t wanted = std::min(static_cast<size_t>(info.nodes), in.num_nodes);
        if (wanted > 0 && info.first + (wanted - 1) * count + (count - 1) >= in.frames) continue;
        const size_t used = built->blocks.size(), needed = count * built->groups;
        if (needed > budget - used) continue;
        built->first[c] = used;
        built->blocks.resize(used + needed);
        for (size_t tick = 0; tick < count; ++tick)
            for (size_t g = 0; g < built->groups; ++g) {
                Block<W>& block = built->blocks[used + tick * built->groups + g];
                for (size_t i = 0; i < W; ++i) {
                    const size_t node = g * W + i;
                    const Frame f = node < wanted ? load<Frame>(b.animations.data, info.first + node * count + tick)
                                                  : IDENTITY_FRAME;
                    for (int k = 0; k < 4; ++k) block.v[k][i] = f.rotation[k], block.v[4 + k][i] = f.translation[k];
                }
            }
    }
    kept.insert(kept.begin(), built);
    if (kept.size() > KEPT_CONTENTS) kept.pop_back();
    return built;
}

// Pass 0 with W nodes to a step.
template <int W> void evaluate_instances(const CpuAnimationCompute::Bindings& b, uint32_t groups) {
    const Inputs in(b);
    const std::shared_ptr<const LaneFrames<W>> lanes = lane_frames<W>(in);
    const size_t n = in.num_nodes, node_groups = (n + W - 1) / W;
    const size_t capacity = count_of<float>(b.local_transforms_rw) / 16;
    // Poses of the record in effect, of the one below it and scratch, reused for every instance.
    thread_local std::vector<Pose<W>> scratch;
    scratch.resize(3 * node_groups);
    Pose<W>* const upper_poses = scratch.data();
    Pose<W>* const lower_poses = upper_poses + node_groups;
    Pose<W>* const work = lower_poses + node_groups;
    for (uint32_t j = 0; j < groups; ++j) {
        const int id = in.instance(j);
        if (id < 0 || (static_cast<size_t>(id) + 1) * n > capacity) continue;
        const StackState st = stack_state(in, id, b.model_time);
        Timing<W> upper;
        time_record(in, lanes.get(), st.slot >= 0 ? in.stack_record(id, st.slot) : -1, st.time, upper);
        evaluate(in, upper, node_groups, upper_poses, work);
        if (st.below >= 0) {
            Timing<W> lower;
            time_record(in, lanes.get(), in.stack_record(id, st.below), st.time, lower);
            evaluate(in, lower, node_groups, lower_poses, work);
            const BlendWeights<W> fade(st.fade);
            for (size_t g = 0; g < node_groups; ++g) upper_poses[g] = blend(lower_poses[g], upper_poses[g], fade);
        }
        uint8_t* out = b.local_transforms_rw.data + static_cast<size_t>(id) * n * 64;
        for (size_t g = 0; g < node_groups; ++g)
            write_matrices(upper_poses[g], out + g * W * 64, std::min<size_t>(W, n - W * g));
    }
}

// Pass 1, with matrix rows in vectors of W lanes.
template <int W> void chain_instances(const CpuAnimationCompute::Bindings& b, uint32_t groups) {
    const Inputs in(b);
    const size_t n = in.num_nodes;
    const size_t p = static_cast<size_t>(std::max(b.max_node_path, 1));
    const size_t locals = count_of<float>(b.local_transforms) / 16;
    const size_t models = count_of<float>(b.model_transforms_rw) / 16;
    const size_t path_words = count_of<int32_t>(b.node_paths);
    auto path = [&](size_t node, size_t k) {
        const size_t i = node * p + k;
        return i < path_words ? load<int32_t>(b.node_paths.data, i) : -1;
    };
    // A well-formed path is the node followed by its parent's path (parents come first): such a node
    // chains onto its parent's model matrix, already written; any other path is walked whole.
    thread_local std::vector<int> parent_list;
    parent_list.assign(n, -1);
    int* const parents = parent_list.data();
    for (size_t node = 1; node < n; ++node) {
        const int parent = p > 1 ? path(node, 1) : -1;
        if (path(node, 0) != static_cast<int>(node) || parent < 0 || static_cast<size_t>(parent) >= node) continue;
        bool same = true;
        for (size_t k = 0; same && k + 1 < p; ++k) {
            const int above = path(static_cast<size_t>(parent), k);
            same = path(node, k + 1) == above;
            if (above == 0) break;
        }
        if (same) parents[node] = parent;
    }
    static const float IDENTITY[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    for (uint32_t j = 0; j < groups; ++j) {
        const int id = in.instance(j, false);
        const size_t base = static_cast<size_t>(id) * n;
        if (id < 0 || base + n > locals || base + n > models) continue;
        const uint8_t* local = b.local_transforms.data + base * 64;
        uint8_t* model = b.model_transforms_rw.data + base * 64;
        for (size_t node = 0; node < n; ++node) {
            if (parents[node] >= 0) {
                const uint8_t* parent = model + static_cast<size_t>(parents[node]) * 64;
                multiply(local + node * 64, parent, model + node * 64, Lanes<W>());
                continue;
            }
            alignas(16) uint8_t m[64];
            std::memcpy(m, IDENTITY, sizeof m);
            for (size_t k = 0; k < p; ++k) {
                const int at = path(node, k);
                if (at < 0 || static_cast<size_t>(at) >= n) break;
                multiply(m, local + static_cast<size_t>(at) * 64, m, Lanes<W>());
                if (at == 0) break;
            }
            std::memcpy(model + node * 64, m, sizeof m);
        }
    }
}

#if ANIMATION_COMPUTE_AVX2
// The same passes compiled for AVX2 and FMA, everything they call inlined into them.
__attribute__((target("avx2,fma"), flatten)) void evaluate_instances_avx2(const CpuAnimationCompute::Bindings& b,
                                                                          uint32_t groups) {
    evaluate_instances<8>(b, groups);
}
__attribute__((target("avx2,fma"), flatten)) void chain_instances_avx2(const CpuAnimationCompute::Bindings& b,
                                                                       uint32_t groups) {
    chain_instances<8>(b, groups);
}
#endif

std::atomic<int> max_lanes{8};

bool eight_lanes() {
#if ANIMATION_COMPUTE_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return avx2 && max_lanes.load(std::memory_order_relaxed) >= 8;
#else
    return false;
#endif
}

}  // namespace

void CpuAnimationCompute::evaluate_records(const Bindings& b, uint32_t groups) {
#if ANIMATION_COMPUTE_AVX2
    if (eight_lanes()) return evaluate_instances_avx2(b, groups);
#endif
    evaluate_instances<4>(b, groups);
}

void CpuAnimationCompute::chain_nodes(const Bindings& b, uint32_t groups) {
#if ANIMATION_COMPUTE_AVX2
    if (eight_lanes()) return chain_instances_avx2(b, groups);
#endif
    chain_instances<4>(b, groups);
}

void CpuAnimationCompute::timeline_state(const Bindings& b, uint32_t groups) {
    const Inputs in(b);
    const size_t timeline = count_of<float>(b.timeline) / 4;
    const size_t copies = count_of<int32_t>(b.per_instance_data_rw) / INSTANCE_WORDS;
    for (uint32_t j = 0; j < groups; ++j) {
        const int id = in.instance(j);
        if (id < 0) continue;
        if (j < timeline) {
            const StackState st = stack_state(in, id, b.model_time);
            const float v[4] = {st.time, static_cast<float>(st.slot), st.fade, st.cycles};
            std::memcpy(b.timeline.data + static_cast<size_t>(j) * sizeof v, v, sizeof v);
        }
        if (static_cast<size_t>(id) < copies)
            std::memcpy(b.per_instance_data_rw.data + static_cast<size_t>(id) * INSTANCE_WORDS * 4,
                        b.per_instance_data.data + static_cast<size_t>(id) * INSTANCE_WORDS * 4, INSTANCE_WORDS * 4);
    }
}

int CpuAnimationCompute::set_max_lanes(int lanes) { return max_lanes.exchange(lanes); }

bool CpuAnimationCompute::dispatch(int pass, const Bindings& b, uint32_t groups) {
    switch (pass) {
    case 0: evaluate_records(b, groups); return true;
    case 1: chain_nodes(b, groups); return true;
    case 2: timeline_state(b, groups); return true;
    default: return false;
    }
}

}  // namespace render
