// CPU evaluation of the animation compute passes (see CpuAnimationCompute.h).
//
// The evaluation follows the shader's structure, with four nodes to a step: a Pose4 holds the local
// poses of four consecutive nodes, one node per lane of each F4, so that sampling, blending and the
// quaternion-to-matrix conversion run as straight four-lane arithmetic over the skeleton.
#include "refhost/CpuAnimationCompute.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define ANIMATION_COMPUTE_SSE 1
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
alignas(16) constexpr Frame IDENTITY_FRAME{{0.0f, 0.0f, 0.0f, 1.0f}, {0.0f, 0.0f, 0.0f, 1.0f}};

template <class T> T load(const uint8_t* base, size_t index) {
    T v;
    std::memcpy(&v, base + index * sizeof(T), sizeof(T));
    return v;
}

template <class T> size_t count_of(const CpuAnimationCompute::In& s) { return s.data ? s.bytes / sizeof(T) : 0; }
template <class T> size_t count_of(const CpuAnimationCompute::Out& s) { return s.data ? s.bytes / sizeof(T) : 0; }

// ---- four float lanes

#if ANIMATION_COMPUTE_SSE
struct F4 {
    __m128 v;
    F4() = default;
    F4(float s) : v(_mm_set1_ps(s)) {}
    explicit F4(__m128 x) : v(x) {}
};
inline F4 operator+(F4 a, F4 b) { return F4(_mm_add_ps(a.v, b.v)); }
inline F4 operator-(F4 a, F4 b) { return F4(_mm_sub_ps(a.v, b.v)); }
inline F4 operator*(F4 a, F4 b) { return F4(_mm_mul_ps(a.v, b.v)); }
inline F4 operator/(F4 a, F4 b) { return F4(_mm_div_ps(a.v, b.v)); }
inline F4 min(F4 a, F4 b) { return F4(_mm_min_ps(a.v, b.v)); }
// Sign bits of x, and x with its sign bits flipped where `sign` has them.
inline F4 sign_of(F4 x) { return F4(_mm_and_ps(x.v, _mm_set1_ps(-0.0f))); }
inline F4 flip(F4 x, F4 sign) { return F4(_mm_xor_ps(x.v, sign.v)); }
// All bits set in the lanes where a > b; a where `mask` is set, else b.
inline F4 greater(F4 a, F4 b) { return F4(_mm_cmpgt_ps(a.v, b.v)); }
inline F4 select(F4 mask, F4 a, F4 b) { return F4(_mm_or_ps(_mm_and_ps(mask.v, a.v), _mm_andnot_ps(mask.v, b.v))); }
inline bool any(F4 mask) { return _mm_movemask_ps(mask.v) != 0; }
inline float lowest(F4 x) {
    __m128 m = _mm_min_ps(x.v, _mm_shuffle_ps(x.v, x.v, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtss_f32(m);
}
template <int LANE> F4 broadcast(F4 x) { return F4(_mm_shuffle_ps(x.v, x.v, _MM_SHUFFLE(LANE, LANE, LANE, LANE))); }
inline F4 lanes(float a, float b, float c, float d) { return F4(_mm_setr_ps(a, b, c, d)); }
inline F4 load4(const uint8_t* p) { return F4(_mm_loadu_ps(reinterpret_cast<const float*>(p))); }
inline void store4(uint8_t* p, F4 x) { _mm_storeu_ps(reinterpret_cast<float*>(p), x.v); }
// Rows to columns.
inline void transpose(F4& a, F4& b, F4& c, F4& d) { _MM_TRANSPOSE4_PS(a.v, b.v, c.v, d.v); }
#else
struct F4 {
    float v[4];
    F4() = default;
    F4(float s) : v{s, s, s, s} {}
};
template <class Op> F4 each(F4 a, F4 b, Op op) {
    F4 r;
    for (int i = 0; i < 4; ++i) r.v[i] = op(a.v[i], b.v[i]);
    return r;
}
inline uint32_t bits(float x) {
    uint32_t u;
    std::memcpy(&u, &x, 4);
    return u;
}
inline float from_bits(uint32_t u) {
    float x;
    std::memcpy(&x, &u, 4);
    return x;
}
inline F4 operator+(F4 a, F4 b) { return each(a, b, [](float x, float y) { return x + y; }); }
inline F4 operator-(F4 a, F4 b) { return each(a, b, [](float x, float y) { return x - y; }); }
inline F4 operator*(F4 a, F4 b) { return each(a, b, [](float x, float y) { return x * y; }); }
inline F4 operator/(F4 a, F4 b) { return each(a, b, [](float x, float y) { return x / y; }); }
inline F4 min(F4 a, F4 b) { return each(a, b, [](float x, float y) { return x < y ? x : y; }); }
inline F4 sign_of(F4 x) { return each(x, x, [](float a, float) { return from_bits(bits(a) & 0x80000000u); }); }
inline F4 flip(F4 x, F4 sign) { return each(x, sign, [](float a, float s) { return from_bits(bits(a) ^ bits(s)); }); }
inline F4 greater(F4 a, F4 b) {
    return each(a, b, [](float x, float y) { return from_bits(x > y ? 0xFFFFFFFFu : 0u); });
}
inline F4 select(F4 mask, F4 a, F4 b) {
    F4 r;
    for (int i = 0; i < 4; ++i) r.v[i] = bits(mask.v[i]) ? a.v[i] : b.v[i];
    return r;
}
inline bool any(F4 mask) { return bits(mask.v[0]) | bits(mask.v[1]) | bits(mask.v[2]) | bits(mask.v[3]); }
inline float lowest(F4 x) { return std::min(std::min(x.v[0], x.v[1]), std::min(x.v[2], x.v[3])); }
template <int LANE> F4 broadcast(F4 x) { return F4(x.v[LANE]); }
inline F4 lanes(float a, float b, float c, float d) {
    F4 r;
    r.v[0] = a, r.v[1] = b, r.v[2] = c, r.v[3] = d;
    return r;
}
inline F4 load4(const uint8_t* p) {
    F4 r;
    std::memcpy(r.v, p, sizeof r.v);
    return r;
}
inline void store4(uint8_t* p, F4 x) { std::memcpy(p, x.v, sizeof x.v); }
inline void transpose(F4& a, F4& b, F4& c, F4& d) {
    F4* r[4] = {&a, &b, &c, &d};
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j) std::swap(r[i]->v[j], r[j]->v[i]);
}
#endif

// ---- poses of four nodes

// Rotation quaternion, translation and uniform scale of four consecutive nodes, one per lane.
struct Pose4 {
    F4 x, y, z, w;
    F4 px, py, pz, s;
};

Pose4 identity_pose() { return {0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 1.0f}; }

Pose4 select(F4 mask, const Pose4& a, const Pose4& b) {
    return {select(mask, a.x, b.x),   select(mask, a.y, b.y),   select(mask, a.z, b.z),   select(mask, a.w, b.w),
            select(mask, a.px, b.px), select(mask, a.py, b.py), select(mask, a.pz, b.pz), select(mask, a.s, b.s)};
}

// The weights of one rigid blend by t, for every node it blends. The spherical weights
// sin((1 - t) w) / sin w and sin(t w) / sin w of two unit quaternions at an angle w are power series
// in y = cos w - 1 whose coefficients depend on t alone: c(0) = t, c(i) = c(i-1) (t^2 - i^2) /
// (i (2i + 1)) (and the same for 1 - t). A blend works them out once, only as far as the widest
// angle it meets needs, so that each node costs two short polynomials and no trigonometry.
class BlendWeights {
public:
    static constexpr int FEW_TERMS = 4;    // float precision up to 26 degrees (cos w >= 0.9)
    static constexpr int MOST_TERMS = 21;  // float precision at a right angle (cos w = 0)

    explicit BlendWeights(float t = 0.0f) : _t(t) {}
    void set(float t) { _t = t, _known = -1; }
    float factor() const { return _t; }

    // The weights of the first (a) and the second (b) of two poses whose quaternions have the dot
    // product y + 1 (y in [-1, 0]), in every lane.
    void at(F4 y, F4& a, F4& b) const {
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
        if (_known < 0) _a[0] = s, _b[0] = t, _ca = s, _cb = t, _known = 0;
        for (int i = _known + 1; i <= terms; ++i) {
            const float i2 = static_cast<float>(i * i), scale = 1.0f / static_cast<float>(i * (2 * i + 1));
            _ca *= (s * s - i2) * scale, _cb *= (t * t - i2) * scale;
            _a[i] = _ca, _b[i] = _cb;
        }
        _known = terms;
    }

    float _t;
    mutable int _known = -1;
    mutable float _ca = 0.0f, _cb = 0.0f;  // the last coefficients worked out
    mutable F4 _a[MOST_TERMS + 1], _b[MOST_TERMS + 1];
};

// Rigid blend: quaternion slerp along the shorter arc, translation and scale linear.
inline Pose4 blend(const Pose4& a, const Pose4& b, const BlendWeights& w) {
    const F4 d = a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w;
    const F4 sign = sign_of(d);  // the shorter arc: b counts negated where d < 0
    F4 wa, wb;
    w.at(min(flip(d, sign), 1.0f) - 1.0f, wa, wb);
    wb = flip(wb, sign);
    const F4 t = w.factor();
    return {wa * a.x + wb * b.x,        wa * a.y + wb * b.y,        wa * a.z + wb * b.z,        wa * a.w + wb * b.w,
            a.px + (b.px - a.px) * t, a.py + (b.py - a.py) * t, a.pz + (b.pz - a.pz) * t, a.s + (b.s - a.s) * t};
}

// The matrices of four poses (scale, then rotation, then translation) as 16 floats each in row-major,
// row-vector order, for the first `count` nodes. The quaternions are normalised on the way.
void write_matrices(const Pose4& p, uint8_t* out, size_t count) {
    const F4 length2 = p.x * p.x + p.y * p.y + p.z * p.z + p.w * p.w;
    const F4 k = select(greater(length2, 0.0f), F4(2.0f) / length2, 0.0f);
    const F4 xk = p.x * k, yk = p.y * k, zk = p.z * k;
    const F4 xx = p.x * xk, yy = p.y * yk, zz = p.z * zk;
    const F4 xy = p.x * yk, xz = p.x * zk, yz = p.y * zk;
    const F4 wx = p.w * xk, wy = p.w * yk, wz = p.w * zk;
    const F4 one = 1.0f, zero = 0.0f;
    F4 rows[4][4] = {{(one - (yy + zz)) * p.s, (xy + wz) * p.s, (xz - wy) * p.s, zero},
                     {(xy - wz) * p.s, (one - (xx + zz)) * p.s, (yz + wx) * p.s, zero},
                     {(xz + wy) * p.s, (yz - wx) * p.s, (one - (xx + yy)) * p.s, zero},
                     {p.px, p.py, p.pz, one}};
    for (auto& row : rows) transpose(row[0], row[1], row[2], row[3]);  // row[i]: this row of node i
    for (size_t i = 0; i < count; ++i)
        for (int r = 0; r < 4; ++r) store4(out + i * 64 + r * 16, rows[r][i]);
}

// out = a · b for matrices whose last column is (0, 0, 0, 1), row-vector order (a applies first).
// out may be a or b.
void multiply(const uint8_t* a, const uint8_t* b, uint8_t* out) {
    const F4 b0 = load4(b), b1 = load4(b + 16), b2 = load4(b + 32), b3 = load4(b + 48);
    for (int r = 0; r < 4; ++r) {
        const F4 ar = load4(a + r * 16);
        const F4 row = broadcast<0>(ar) * b0 + broadcast<1>(ar) * b1 + broadcast<2>(ar) * b2;
        store4(out + r * 16, r == 3 ? row + b3 : row);
    }
}

// ---- the bound buffers

// Where a clip is read at a time, the same for every node: its key pair and their blend.
struct Cursor {
    size_t first = 0, frames = 1;
    size_t nodes = 0;  // nodes below this are read from the clip, the others are the identity
    int k0 = 0, k1 = 0;
    bool interpolate = false;
    BlendWeights weights;  // of key k1 over key k0
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

    // Aims a cursor at clip c at a time (seconds), looping or held at the ends; no clip reads the
    // identity.
    void aim(Cursor& k, int c, float time, bool looping) const {
        k.nodes = 0, k.interpolate = false;
        if (c < 0) return;
        const ClipInfo info = clip(c);
        const int count = std::max(info.frames, 1);
        const float duration = static_cast<float>(count - 1);
        float tick = time * info.rate;
        if (!(duration > 0.0f) || !std::isfinite(tick))
            tick = 0.0f;
        else if (looping)
            tick = std::fmod(tick, duration);
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
        const size_t inside = last < frames ? (frames - 1 - last) / k.frames + 1 : 0;
        k.nodes = std::min({inside, static_cast<size_t>(info.nodes), num_nodes});
    }

    // Key `key` of a cursor's clip for the four nodes from `node`.
    Pose4 key_frames(const Cursor& k, int key, size_t node) const {
        const uint8_t* at[4];
        for (size_t i = 0; i < 4; ++i)
            at[i] = node + i < k.nodes ? b.animations.data + (k.first + (node + i) * k.frames + key) * sizeof(Frame)
                                       : reinterpret_cast<const uint8_t*>(&IDENTITY_FRAME);
        Pose4 p;
        p.x = load4(at[0]), p.y = load4(at[1]), p.z = load4(at[2]), p.w = load4(at[3]);
        transpose(p.x, p.y, p.z, p.w);
        p.px = load4(at[0] + 16), p.py = load4(at[1] + 16), p.pz = load4(at[2] + 16), p.s = load4(at[3] + 16);
        transpose(p.px, p.py, p.pz, p.s);
        return p;
    }

    // The local poses of the four nodes from `node` in a cursor's clip.
    Pose4 sample(const Cursor& k, size_t node) const {
        const Pose4 a = key_frames(k, k.k0, node);
        return k.interpolate ? blend(a, key_frames(k, k.k1, node), k.weights) : a;
    }

    // All bits set in the lanes of the four nodes from `node` that an override's mask row gives it.
    F4 masked(int row, size_t node) const {
        float w[4];
        for (size_t i = 0; i < 4; ++i) {
            const size_t at = static_cast<size_t>(row) * num_nodes + node + i;
            w[i] = node + i < num_nodes && at < masks ? load<float>(b.masks.data, at) : 0.0f;
        }
        return greater(lanes(w[0], w[1], w[2], w[3]), 0.0f);
    }
};

// What one record needs for every node, worked out once per instance.
struct Timing {
    uint32_t kind = 0;
    Cursor cursors[4];
    BlendWeights u, v;
    int override_row = -1;
    Cursor override_cursor;
};

// Fills `tm` (default-constructed) for record r at a time.
void time_record(const Inputs& in, int r, float time, Timing& tm) {
    if (r < 0) return;
    tm.kind = in.record_kind(r);
    const float start = in.record_float(r, 13);
    const float x = time - start;
    const bool looping = in.record_float(r, 16) > 0.0f;
    int clips[4];
    for (int k = 0; k < 4; ++k) clips[k] = in.clip_of(in.record_float(r, 3 + 3 * k));
    const float u = in.record_float(r, 19), v = in.record_float(r, 20);
    tm.u.set(u), tm.v.set(v);
    float local = x, times[4];
    if (tm.kind == KIND_CLIP) {
        const float loop_start = in.record_float(r, 17), loop_end = in.record_float(r, 18);
        if (looping && loop_start >= 0.0f && loop_end >= 0.0f && time >= start + loop_start && loop_end > loop_start)
            local = std::fmod(x, loop_end - loop_start) + loop_start;
        std::fill(times, times + 4, local);
    } else if (tm.kind == KIND_1D || tm.kind == KIND_2D) {
        float d[4];
        for (int k = 0; k < 4; ++k) d[k] = in.clip_duration(clips[k]);
        const float lower = d[0] * (1.0f - u) + d[1] * u;
        const float upper = d[2] * (1.0f - u) + d[3] * u;
        const float D = tm.kind == KIND_1D ? lower : lower * (1.0f - v) + upper * v;
        float phase = 0.0f;
        if (D > 0.0f) phase = looping ? std::fmod(x, D) / D : std::min(std::max(x / D, 0.0f), 1.0f);
        for (int k = 0; k < 4; ++k) times[k] = tm.kind == KIND_1D ? phase * D : phase * d[k];
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
                in.aim(tm.override_cursor, oc, tm.kind == KIND_CLIP ? local : x, looping);
            }
        }
    }
    const int used = tm.kind == KIND_CLIP ? 1 : tm.kind == KIND_1D ? 2 : 4;
    for (int k = 0; k < used; ++k) in.aim(tm.cursors[k], clips[k], times[k], looping);
}

// The local poses of all nodes under a record, four nodes to an element of `out` (`groups` of
// them); `work` is scratch of the same size.
void evaluate(const Inputs& in, const Timing& tm, size_t groups, Pose4* out, Pose4* work) {
    const Cursor* c = tm.cursors;
    switch (tm.kind) {
    case KIND_CLIP:
        for (size_t g = 0; g < groups; ++g) out[g] = in.sample(c[0], 4 * g);
        break;
    case KIND_1D:
        for (size_t g = 0; g < groups; ++g) out[g] = blend(in.sample(c[0], 4 * g), in.sample(c[1], 4 * g), tm.u);
        break;
    case KIND_2D:
        for (size_t g = 0; g < groups; ++g) work[g] = blend(in.sample(c[0], 4 * g), in.sample(c[1], 4 * g), tm.u);
        for (size_t g = 0; g < groups; ++g)
            out[g] = blend(work[g], blend(in.sample(c[2], 4 * g), in.sample(c[3], 4 * g), tm.u), tm.v);
        break;
    default:
        std::fill(out, out + groups, identity_pose());
        return;
    }
    if (tm.override_row < 0) return;
    for (size_t g = 0; g < groups; ++g) {
        const F4 masked = in.masked(tm.override_row, 4 * g);
        if (any(masked)) out[g] = select(masked, in.sample(tm.override_cursor, 4 * g), out[g]);
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
        st.time = std::fmod(t - window_start, window_length) + window_start;
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

}  // namespace

void CpuAnimationCompute::evaluate_records(const Bindings& b, uint32_t groups) {
    const Inputs in(b);
    const size_t n = in.num_nodes, node_groups = (n + 3) / 4;
    const size_t capacity = count_of<float>(b.local_transforms_rw) / 16;
    // Poses of the record in effect, of the one below it and scratch, reused for every instance.
    thread_local std::vector<Pose4> scratch;
    scratch.resize(3 * node_groups);
    Pose4* const upper_poses = scratch.data();
    Pose4* const lower_poses = upper_poses + node_groups;
    Pose4* const work = lower_poses + node_groups;
    for (uint32_t j = 0; j < groups; ++j) {
        const int id = in.instance(j);
        if (id < 0 || (static_cast<size_t>(id) + 1) * n > capacity) continue;
        const StackState st = stack_state(in, id, b.model_time);
        Timing upper;
        time_record(in, st.slot >= 0 ? in.stack_record(id, st.slot) : -1, st.time, upper);
        evaluate(in, upper, node_groups, upper_poses, work);
        if (st.below >= 0) {
            Timing lower;
            time_record(in, in.stack_record(id, st.below), st.time, lower);
            evaluate(in, lower, node_groups, lower_poses, work);
            const BlendWeights fade(st.fade);
            for (size_t g = 0; g < node_groups; ++g) upper_poses[g] = blend(lower_poses[g], upper_poses[g], fade);
        }
        uint8_t* out = b.local_transforms_rw.data + static_cast<size_t>(id) * n * 64;
        for (size_t g = 0; g < node_groups; ++g)
            write_matrices(upper_poses[g], out + g * 256, std::min<size_t>(4, n - 4 * g));
    }
}

void CpuAnimationCompute::chain_nodes(const Bindings& b, uint32_t groups) {
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
                multiply(local + node * 64, model + static_cast<size_t>(parents[node]) * 64, model + node * 64);
                continue;
            }
            alignas(16) uint8_t m[64];
            std::memcpy(m, IDENTITY, sizeof m);
            for (size_t k = 0; k < p; ++k) {
                const int at = path(node, k);
                if (at < 0 || static_cast<size_t>(at) >= n) break;
                multiply(m, local + static_cast<size_t>(at) * 64, m);
                if (at == 0) break;
            }
            std::memcpy(model + node * 64, m, sizeof m);
        }
    }
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

bool CpuAnimationCompute::dispatch(int pass, const Bindings& b, uint32_t groups) {
    switch (pass) {
    case 0: evaluate_records(b, groups); return true;
    case 1: chain_nodes(b, groups); return true;
    case 2: timeline_state(b, groups); return true;
    default: return false;
    }
}

}  // namespace render
