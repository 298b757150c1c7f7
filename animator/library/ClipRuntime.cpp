// The runtime form of a library's clips: building it from the mended keys, sampling by index and by
// key time, record timing, blending in quaternion space and parent-first chaining.
#include "animator/library/ClipRuntime.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include <osg/Quat>

#include "animator/library/AnimationManager.h"
#include "animator/library/AnimationManagerDetail.h"
#include "animator/util/MathUtils.h"

namespace Animator {

namespace {

using detail::mix;
using detail::UNIT_SCALE_TOLERANCE;

// No rotation, translation or scaling, as a transform and as a matrix.
const ClipRuntime::Transform IDENTITY_TRANSFORM;
const float IDENTITY_MATRIX[16] = {1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f,
                                   0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f};

// assimp's quaternion interpolation turns linear when 1 - cos of the half angle is at most this.
const float ASSIMP_LINEAR_BELOW = 1e-4f;

// sin((1 - t)θ) / sin θ and sin(tθ) / sin θ for cos θ = x in [0, 1], as the series in x - 1 of
// sin(tθ) / sin θ = t Π (1 + (t² - i²) (x - 1) / (i (2i + 1))) (nested), N terms; the last factor is
// stretched by `last` to make up for the terms left out. Within 2.5e-7 of the exact weights: two terms
// for x ≥ 0.99, four for x ≥ 0.9, six for x ≥ 0.7; twelve keep within 1e-6 for any x ≥ 0.
template <int N>
struct ArcSeries {
    float k[N] = {}, kk[N] = {};  // 1 / (i (2i + 1)) and i² times it, i = 1 … N
    constexpr explicit ArcSeries(float last) {
        for (int i = 1; i <= N; ++i) {
            k[i - 1] = (i == N ? last : 1.0f) / static_cast<float>(i * (2 * i + 1));
            kk[i - 1] = k[i - 1] * static_cast<float>(i * i);
        }
    }
};
constexpr ArcSeries<2> TINY_ARC(1.0f);
constexpr ArcSeries<4> SHORT_ARC(1.0f);
constexpr ArcSeries<6> MIDDLE_ARC(1.0f);
constexpr ArcSeries<12> LONG_ARC(1.90110745f);

// Four or eight floats side by side, one per lane, and the masks of their comparisons; arithmetic goes
// lane by lane (the compiler's vector extension: one instruction for all lanes where the target has
// them, two for eight lanes without AVX). Lane values go by reference, which passes eight lanes alike
// on every target.
typedef float F4 __attribute__((vector_size(16)));
typedef int32_t M4 __attribute__((vector_size(16)));
typedef float F8 __attribute__((vector_size(32)));
typedef int32_t M8 __attribute__((vector_size(32)));

// Eight-lane values pass only between steps inlined into one another (below), so the change of calling
// convention that GCC warns of for them without AVX never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

// Every step of a lane blend goes inline into its caller, so that a caller built for AVX2 runs it so.
#define LANE_STEP inline __attribute__((always_inline))

// Helpers that the series below takes for one float or for lanes alike.
LANE_STEP float lanes(float v, float) { return v; }
LANE_STEP F4 lanes(float v, const F4&) { return F4{v, v, v, v}; }
LANE_STEP F8 lanes(float v, const F8&) { return F8{v, v, v, v, v, v, v, v}; }
LANE_STEP float pick(bool m, float a, float b) { return m ? a : b; }
LANE_STEP F4 pick(const M4& m, const F4& a, const F4& b) { return (F4)((m & (M4)a) | (~m & (M4)b)); }
LANE_STEP F8 pick(const M8& m, const F8& a, const F8& b) { return (F8)((m & (M8)a) | (~m & (M8)b)); }
LANE_STEP float lowest_of(float v) { return v; }
LANE_STEP float lowest_of(const F4& v) { return std::min(std::min(v[0], v[1]), std::min(v[2], v[3])); }
LANE_STEP float lowest_of(const F8& v) {
    return std::min(std::min(std::min(v[0], v[1]), std::min(v[2], v[3])),
                    std::min(std::min(v[4], v[5]), std::min(v[6], v[7])));
}
LANE_STEP float abs_of(float v) { return std::fabs(v); }
LANE_STEP F4 abs_of(const F4& v) { return (F4)((M4)v & 0x7fffffff); }
LANE_STEP F8 abs_of(const F8& v) { return (F8)((M8)v & 0x7fffffff); }

template <int N, class F>
LANE_STEP void arc_weights(const ArcSeries<N>& s, const F& x, const F& t, F& wa, F& wb) {
    const F xm1 = x - 1.0f, d = 1.0f - t, t2 = t * t, d2 = d * d;
    F at = lanes(1.0f, x), ad = at;
    for (int i = N - 1; i >= 0; --i) {
        at = 1.0f + (s.k[i] * t2 - s.kk[i]) * xm1 * at;
        ad = 1.0f + (s.k[i] * d2 - s.kk[i]) * xm1 * ad;
    }
    wa = d * ad;
    wb = t * at;
}

// The weights of the spherical interpolation by t between unit quaternions whose dot product is c
// (one pair, or several in lanes): along the shorter arc (wb negative when c is), exact to float
// rounding. Lanes take the series that the widest of their arcs needs.
template <class F>
LANE_STEP void slerp_weights(const F& c, const F& t, F& wa, F& wb) {
    const F one = lanes(1.0f, c);
    const F sign = pick(c < 0.0f, -one, one);
    const F a = abs_of(c);
    const F x = pick(a <= 1.0f, a, one);  // NaN too
    const float lowest = lowest_of(x);
    if (lowest >= 0.99f)
        arc_weights(TINY_ARC, x, t, wa, wb);
    else if (lowest >= 0.9f)
        arc_weights(SHORT_ARC, x, t, wa, wb);
    else if (lowest >= 0.7f)
        arc_weights(MIDDLE_ARC, x, t, wa, wb);
    else
        arc_weights(LONG_ARC, x, t, wa, wb);
    wb *= sign;
}

float dot4(const float* a, const float* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3]; }

void mix4(const float* a, const float* b, float wa, float wb, float* out) {
    for (int i = 0; i < 4; ++i) out[i] = a[i] * wa + b[i] * wb;
}

// Shortest-arc slerp of two unit quaternions (x, y, z, w).
void slerp(const float* a, const float* b, float t, float* out) {
    const float c = dot4(a, b);
    float wa, wb;
    slerp_weights(c, t, wa, wb);
    mix4(a, b, wa, wb, out);
}

// assimp's quaternion interpolation (aiQuaternion::Interpolate): shortest arc, sine weights, linear
// weights when the two are within ASSIMP_LINEAR_BELOW; not normalised.
void assimp_slerp(const float* a, const float* b, float t, float* out) {
    const float c = dot4(a, b);
    float wa, wb;
    if (1.0f - std::fabs(c) > ASSIMP_LINEAR_BELOW) {
        slerp_weights(c, t, wa, wb);
    } else {
        wa = 1.0f - t;
        wb = c < 0.0f ? -t : t;
    }
    mix4(a, b, wa, wb, out);
}

// a · b of two row-major 4 × 4 matrices (osg's row-vector product; assimp's column-vector one).
void multiply(const float* a, const float* b, float* out) {
    float r[16];
    for (int i = 0; i < 4; ++i) {
        const float a0 = a[i * 4], a1 = a[i * 4 + 1], a2 = a[i * 4 + 2], a3 = a[i * 4 + 3];
        for (int c = 0; c < 4; ++c) r[i * 4 + c] = a0 * b[c] + a1 * b[4 + c] + a2 * b[8 + c] + a3 * b[12 + c];
    }
    std::memcpy(out, r, sizeof(r));
}

// Rotation of a quaternion of any length, scaled, then the translation (osg row-vector form).
osg::Matrixf osg_matrix(const ClipRuntime::Transform& t) {
    const float* q = t.rotation;
    const float length2 = dot4(q, q);
    osg::Matrixf m;
    float* o = m.ptr();
    if (!(length2 > 1e-30f)) {
        for (int i = 0; i < 12; ++i) o[i] = 0.0f;
    } else {
        const float r = 2.0f / length2;
        const float x2 = q[0] * r, y2 = q[1] * r, z2 = q[2] * r;
        const float xx = q[0] * x2, xy = q[0] * y2, xz = q[0] * z2;
        const float yy = q[1] * y2, yz = q[1] * z2, zz = q[2] * z2;
        const float wx = q[3] * x2, wy = q[3] * y2, wz = q[3] * z2;
        const float s = t.scale;
        o[0] = (1.0f - (yy + zz)) * s, o[1] = (xy + wz) * s, o[2] = (xz - wy) * s, o[3] = 0.0f;
        o[4] = (xy - wz) * s, o[5] = (1.0f - (xx + zz)) * s, o[6] = (yz + wx) * s, o[7] = 0.0f;
        o[8] = (xz + wy) * s, o[9] = (yz - wx) * s, o[10] = (1.0f - (xx + yy)) * s, o[11] = 0.0f;
    }
    o[12] = t.translation[0], o[13] = t.translation[1], o[14] = t.translation[2], o[15] = 1.0f;
    return m;
}

// assimp's matrix of a (not normalised) quaternion, scaled, with the translation.
aiMatrix4x4 assimp_matrix(const float* q, const float* p, float s) {
    const aiQuaternion r(q[3], q[0], q[1], q[2]);
    aiMatrix4x4 m(r.GetMatrix());
    for (int i = 0; i < 3; ++i) m[i][0] *= s, m[i][1] *= s, m[i][2] *= s;
    m.a4 = p[0], m.b4 = p[1], m.c4 = p[2];
    return m;
}

// The rigid blend of two transforms that carries their uniform scales linearly (rotation by slerp,
// translation linearly, the weight of the first formed in double).
ClipRuntime::Transform blend(const ClipRuntime::Transform& a, const ClipRuntime::Transform& b, double w) {
    ClipRuntime::Transform out;
    const float wb = static_cast<float>(w), wa = static_cast<float>(1.0 - w);
    slerp(a.rotation, b.rotation, wb, out.rotation);
    for (int i = 0; i < 3; ++i) out.translation[i] = a.translation[i] * wa + b.translation[i] * wb;
    const bool unit = std::fabs(a.scale - 1.0f) <= UNIT_SCALE_TOLERANCE && std::fabs(b.scale - 1.0f) <= UNIT_SCALE_TOLERANCE;
    out.scale = unit ? 1.0f : wa * a.scale + wb * b.scale;
    return out;
}

ClipRuntime::NodeSample blend(const ClipRuntime::NodeSample& a, const ClipRuntime::NodeSample& b, double w) {
    if (a.source == b.source && a.source != ClipRuntime::FROM_KEYS) return a;
    return {blend(a.transform, b.transform, w), ClipRuntime::FROM_KEYS};
}

// ---- Transforms side by side: four lanes, or eight

// Transforms in lanes, component after component: every lane's rotation x, then y, ...
template <class V>
struct LanesOf {
    V q[4];  // rotation x, y, z, w
    V p[3];  // translation
    V s;     // uniform scale
};
typedef LanesOf<F4> Lanes;

// Rows of four floats as columns: out[c][k] = in[k][c].
LANE_STEP void transpose(const F4 (&in)[4], F4 (&out)[4]) {
    const F4 t0 = __builtin_shufflevector(in[0], in[1], 0, 4, 1, 5);
    const F4 t1 = __builtin_shufflevector(in[2], in[3], 0, 4, 1, 5);
    const F4 t2 = __builtin_shufflevector(in[0], in[1], 2, 6, 3, 7);
    const F4 t3 = __builtin_shufflevector(in[2], in[3], 2, 6, 3, 7);
    out[0] = __builtin_shufflevector(t0, t1, 0, 1, 4, 5);
    out[1] = __builtin_shufflevector(t0, t1, 2, 3, 6, 7);
    out[2] = __builtin_shufflevector(t2, t3, 0, 1, 4, 5);
    out[3] = __builtin_shufflevector(t2, t3, 2, 3, 6, 7);
}

// Four transforms, one a lane, each given as its rotation (x, y, z, w) and its translation and scale.
struct LaneRows {
    F4 rotation[4];
    F4 position[4];  // translation x, y, z, uniform scale
};

Lanes to_lanes(const LaneRows& rows) {
    Lanes l;
    F4 p[4];
    transpose(rows.rotation, l.q);
    transpose(rows.position, p);
    l.p[0] = p[0], l.p[1] = p[1], l.p[2] = p[2], l.s = p[3];
    return l;
}

// How a blend carries uniform scale: a pair of keys keeps the scale both share (as `sample` does), a
// pair of samples keeps a scale of 1 where both are within the tolerance of it (as `blend` does).
enum class ScaleRule { KEYS, SAMPLES };

// Each lane of `a` blended with the same lane of `b` by that lane of t: rotation by shortest-arc
// slerp, translation and scale linearly; the same arithmetic as `sample` and `blend`, lane by lane.
template <class V>
LANE_STEP LanesOf<V> mix_lanes(const LanesOf<V>& a, const LanesOf<V>& b, const V& t, ScaleRule rule) {
    LanesOf<V> out;
    const V dot = a.q[0] * b.q[0] + a.q[1] * b.q[1] + a.q[2] * b.q[2] + a.q[3] * b.q[3];
    V wa, wb;
    slerp_weights(dot, t, wa, wb);
    for (int c = 0; c < 4; ++c) out.q[c] = a.q[c] * wa + b.q[c] * wb;
    const V d = 1.0f - t;
    for (int c = 0; c < 3; ++c) out.p[c] = a.p[c] * d + b.p[c] * t;
    const V mixed = d * a.s + t * b.s;
    if (rule == ScaleRule::KEYS) {
        out.s = pick(a.s == b.s, a.s, mixed);
    } else {
        const auto unit = (abs_of(a.s - 1.0f) <= UNIT_SCALE_TOLERANCE) & (abs_of(b.s - 1.0f) <= UNIT_SCALE_TOLERANCE);
        out.s = pick(unit, lanes(1.0f, t), mixed);
    }
    return out;
}

// Lanes taken from `l` in the order A B C D.
template <int A, int B, int C, int D>
Lanes permute(const Lanes& l) {
    Lanes out;
    for (int c = 0; c < 4; ++c) out.q[c] = __builtin_shufflevector(l.q[c], l.q[c], A, B, C, D);
    for (int c = 0; c < 3; ++c) out.p[c] = __builtin_shufflevector(l.p[c], l.p[c], A, B, C, D);
    out.s = __builtin_shufflevector(l.s, l.s, A, B, C, D);
    return out;
}

void set_rows(LaneRows& rows, int lane, const ClipRuntime::Transform& t) {
    rows.rotation[lane] = F4{t.rotation[0], t.rotation[1], t.rotation[2], t.rotation[3]};
    rows.position[lane] = F4{t.translation[0], t.translation[1], t.translation[2], t.scale};
}

ClipRuntime::NodeSample lane_sample(const Lanes& l, int k) {
    ClipRuntime::NodeSample out;
    for (int c = 0; c < 4; ++c) out.transform.rotation[c] = l.q[c][k];
    for (int c = 0; c < 3; ++c) out.transform.translation[c] = l.p[c][k];
    out.transform.scale = l.s[k];
    out.source = ClipRuntime::FROM_KEYS;
    return out;
}

// A record's S samples of the same nodes blended: 1-D by weight x, 2-D by x within each pair, then y.
template <int S, class V>
LANE_STEP LanesOf<V> combine(const ClipRuntime::RecordTiming& t, const LanesOf<V>* s) {
    const V u = lanes(t.weight_x, V{}), v = lanes(t.weight_y, V{});
    if (S == 2) return mix_lanes(s[0], s[S - 1], u, ScaleRule::SAMPLES);
    if (S == 4)
        return mix_lanes(mix_lanes(s[0], s[1], u, ScaleRule::SAMPLES),
                         mix_lanes(s[S - 2], s[S - 1], u, ScaleRule::SAMPLES), v, ScaleRule::SAMPLES);
    return s[0];
}

// Up to four nodes side by side, one a lane; -1 in a lane without a node.
struct LaneNodes {
    int node[4];
    int used;
};

// The blend of a record's S samples for the nodes of `batch`: per sample the key pair of each node that
// the sample's clip keys, else the node's rest transform (identity without a clip) held still; a lane
// without a node is identity. The same arithmetic as `sample` and `blend`, four nodes at once.
template <int S>
Lanes blend_lanes(const ClipRuntime::RecordTiming& t, const ClipRuntime::Clip* const* c,
                  const std::vector<ClipRuntime::Frame>& frames, const std::vector<ClipRuntime::Transform>& rest,
                  const LaneNodes& batch) {
    Lanes s[S];
    for (int k = 0; k < S; ++k) {
        LaneRows a, b;
        F4 f = {0.0f, 0.0f, 0.0f, 0.0f};
        for (int lane = 0; lane < 4; ++lane) {
            const int node = batch.node[lane];
            if (node >= 0 && c[k] && c[k]->channels[node]) {
                const size_t track = c[k]->first + static_cast<size_t>(node) * static_cast<size_t>(c[k]->frames);
                const ClipRuntime::Frame& fa = frames[track + t.pairs[k].k0];
                const ClipRuntime::Frame& fb = frames[track + t.pairs[k].k1];
                std::memcpy(&a.rotation[lane], fa.rotation, sizeof(F4));
                std::memcpy(&a.position[lane], fa.translation, sizeof(F4));
                std::memcpy(&b.rotation[lane], fb.rotation, sizeof(F4));
                std::memcpy(&b.position[lane], fb.translation, sizeof(F4));
                f[lane] = t.pairs[k].f;
            } else {
                const ClipRuntime::Transform& held = node >= 0 && c[k] ? rest[node] : IDENTITY_TRANSFORM;
                set_rows(a, lane, held);
                set_rows(b, lane, held);
            }
        }
        s[k] = mix_lanes(to_lanes(a), to_lanes(b), f, ScaleRule::KEYS);
    }
    return combine<S>(t, s);
}

// Lanes [first, first + lanes of V) of a lane frame.
template <class V>
LANE_STEP LanesOf<V> load_lanes(const ClipRuntime::LaneFrame& f, int first) {
    LanesOf<V> l;
    for (int c = 0; c < 4; ++c) std::memcpy(&l.q[c], f.rotation[c] + first, sizeof(V));
    for (int c = 0; c < 3; ++c) std::memcpy(&l.p[c], f.position[c] + first, sizeof(V));
    std::memcpy(&l.s, f.position[3] + first, sizeof(V));
    return l;
}

// The same for lanes [first, first + lanes of V) of a lane group, from the record's clips' lane frames
// (every clip at hand).
template <int S, class V>
LANE_STEP LanesOf<V> blend_group(const ClipRuntime::RecordTiming& t, const ClipRuntime::Clip* const* c,
                                 const ClipRuntime::LaneFrame* frames, size_t group, int first) {
    LanesOf<V> s[S];
    for (int k = 0; k < S; ++k) {
        const size_t track = c[k]->lane_first + group * static_cast<size_t>(c[k]->frames);
        s[k] = mix_lanes(load_lanes<V>(frames[track + t.pairs[k].k0], first),
                         load_lanes<V>(frames[track + t.pairs[k].k1], first), lanes(t.pairs[k].f, V{}),
                         ScaleRule::KEYS);
    }
    return combine<S>(t, s);
}

// The matrix of each lane's transform, as osg_matrix builds it, into the 16 floats at dest[lane] (none
// where that is null).
template <class V>
LANE_STEP void store_matrices(const LanesOf<V>& l, float* const* dest) {
    const V length2 = l.q[0] * l.q[0] + l.q[1] * l.q[1] + l.q[2] * l.q[2] + l.q[3] * l.q[3];
    const auto turns = length2 > 1e-30f;
    const V r = 2.0f / length2;
    const V x2 = l.q[0] * r, y2 = l.q[1] * r, z2 = l.q[2] * r;
    const V xx = l.q[0] * x2, xy = l.q[0] * y2, xz = l.q[0] * z2;
    const V yy = l.q[1] * y2, yz = l.q[1] * z2, zz = l.q[2] * z2;
    const V wx = l.q[3] * x2, wy = l.q[3] * y2, wz = l.q[3] * z2;
    const V zero = lanes(0.0f, V{}), one = lanes(1.0f, V{});
    auto axis = [&](const V& v) { return pick(turns, v * l.s, zero); };
    const V columns[4][4] = {
        {axis(1.0f - (yy + zz)), axis(xy + wz), axis(xz - wy), zero},
        {axis(xy - wz), axis(1.0f - (xx + zz)), axis(yz + wx), zero},
        {axis(xz + wy), axis(yz - wx), axis(1.0f - (xx + yy)), zero},
        {l.p[0], l.p[1], l.p[2], one},
    };
    // Four lanes at a time: rows[r][lane] is row r of the lane's matrix.
    for (size_t quad = 0; quad < sizeof(V) / sizeof(F4); ++quad) {
        F4 rows[4][4];
        for (int row = 0; row < 4; ++row) {
            F4 part[4];
            for (int c = 0; c < 4; ++c)
                std::memcpy(&part[c], reinterpret_cast<const char*>(&columns[row][c]) + quad * sizeof(F4), sizeof(F4));
            transpose(part, rows[row]);
        }
        for (int lane = 0; lane < 4; ++lane) {
            float* m = dest[quad * 4 + lane];
            if (!m) continue;
            for (int row = 0; row < 4; ++row) std::memcpy(m + 4 * row, &rows[row][lane], sizeof(F4));
        }
    }
}

// The matrices of a lane group's nodes under a record of `samples` samples into dest[lane] (none where
// that is null), as many lanes at a time as V holds.
template <class V>
LANE_STEP void group_matrices(int samples, const ClipRuntime::RecordTiming& t, const ClipRuntime::Clip* const* c,
                              const ClipRuntime::LaneFrame* frames, size_t group, float* const* dest) {
    const int width = static_cast<int>(sizeof(V) / sizeof(float));
    for (int first = 0; first < ClipRuntime::LaneFrame::LANES; first += width) {
        float* const* to = dest + first;
        if (std::all_of(to, to + width, [](const float* d) { return !d; })) continue;
        if (samples == 1) store_matrices(blend_group<1, V>(t, c, frames, group, first), to);
        if (samples == 2) store_matrices(blend_group<2, V>(t, c, frames, group, first), to);
        if (samples == 4) store_matrices(blend_group<4, V>(t, c, frames, group, first), to);
    }
}

// Eight lanes an instruction where the processor has AVX2 (asked once, at load), four otherwise.
#if defined(__x86_64__)
#define AVX2_TARGET __attribute__((target("avx2")))
bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
#else
#define AVX2_TARGET
bool has_avx2() { return false; }
#endif

AVX2_TARGET void group_matrices_avx2(int samples, const ClipRuntime::RecordTiming& t, const ClipRuntime::Clip* const* c,
                                     const ClipRuntime::LaneFrame* frames, size_t group, float* const* dest) {
    group_matrices<F8>(samples, t, c, frames, group, dest);
}

const bool AVX2 = has_avx2();
std::atomic<bool> wide{AVX2};

void lane_group_matrices(int samples, const ClipRuntime::RecordTiming& t, const ClipRuntime::Clip* const* c,
                         const ClipRuntime::LaneFrame* frames, size_t group, float* const* dest) {
    if (wide.load(std::memory_order_relaxed))
        group_matrices_avx2(samples, t, c, frames, group, dest);
    else
        group_matrices<F4>(samples, t, c, frames, group, dest);
}

// Uniform scale (the length of the first axis, 1 when within the tolerance), rotation and translation
// of a transform in osg form.
ClipRuntime::Transform decompose(osg::Matrixf m) {
    ClipRuntime::Transform t;
    float s = osg::Vec3f(m(0, 0), m(0, 1), m(0, 2)).length();
    if (std::fabs(s - 1.0f) <= UNIT_SCALE_TOLERANCE) s = 1.0f;
    if (s > 1e-12f && std::isfinite(s)) {
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) m(r, c) /= s;
        const osg::Quat q = m.getRotate();
        for (int i = 0; i < 4; ++i) t.rotation[i] = static_cast<float>(q[i]);
    }
    t.scale = std::isfinite(s) ? s : 0.0f;
    const osg::Vec3f p = m.getTrans();
    for (int i = 0; i < 3; ++i) t.translation[i] = p[i];
    return t;
}

// A scale key as one factor; anything that is not a positive finite factor counts as unscaled.
float uniform_scale(const aiVector3D& s) {
    const float f = (s.x + s.y + s.z) / 3.0f;
    return std::isfinite(f) && f > 0.0f ? f : 1.0f;
}

ClipRuntime::Frame rest_frame(const aiMatrix4x4& m) {
    aiVector3D scaling, position;
    aiQuaternion rotation;
    m.Decompose(scaling, rotation, position);
    return {{rotation.x, rotation.y, rotation.z, rotation.w}, {m.a4, m.b4, m.c4, uniform_scale(scaling)}};
}

// True when the track is empty, holds one key, or `count` keys with key k at time k.
template <class Key>
bool on_ticks(const Key* keys, unsigned n, int count) {
    if (n <= 1 || !keys) return true;
    if (n != static_cast<unsigned>(count)) return false;
    for (unsigned k = 0; k < n; ++k)
        if (keys[k].mTime != static_cast<double>(k)) return false;
    return true;
}

// A key track at tick t by key time, as assimp interpolates it: held before the first key and after the
// last, the bracketing pair found from the whole part of t (the pair itself for one key per tick, a
// step or two away otherwise); at t = n - 1 exactly the last key. `rest` for an empty track.
template <class Key, class Value>
Value sample_track(const Key* keys, unsigned n, double t, const Value& rest) {
    if (n == 0 || !keys) return rest;
    if (n == 1 || keys[0].mTime > t) return keys[0].mValue;
    if (t > keys[n - 1].mTime || t == static_cast<double>(n - 1)) return keys[n - 1].mValue;
    const double whole = std::floor(t);
    unsigned i = whole <= 0.0 ? 0u : static_cast<unsigned>(std::min(whole, static_cast<double>(n - 2)));
    while (i > 0 && keys[i].mTime > t) --i;
    while (i + 2 < n && keys[i + 1].mTime <= t) ++i;
    const double span = keys[i + 1].mTime - keys[i].mTime;
    float f = span > 0.0 ? static_cast<float>((t - keys[i].mTime) / span) : 0.0f;
    f = std::min(std::max(f, 0.0f), 1.0f);
    return mix(keys[i].mValue, keys[i + 1].mValue, f);
}

// A number no build of any library had before.
uint64_t next_generation() {
    static std::atomic<uint64_t> last{0};
    return ++last;
}

// C's fmod of two floats (the remainder has the sign of x), exact, without the library call where the
// quotient is small: its integer part times y and the difference are exact in double.
float fmod_exact(float x, float y) {
    const double ax = std::fabs(static_cast<double>(x)), ay = std::fabs(static_cast<double>(y));
    if (!(ax < 1e6 * ay)) return std::fmod(x, y);  // also y = 0, infinities and NaN
    double r = ax - std::trunc(ax / ay) * ay;
    if (r < 0.0) r += ay;  // the rounded quotient was one too large
    if (r >= ay) r -= ay;  // or one too small
    return std::copysign(static_cast<float>(r), x);
}

// Clip index held as a float in a sample record; -1 for anything that is not a whole index.
int clip_of(float v) { return v >= 0.0f && v < 65535.0f ? static_cast<int>(v) : -1; }

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Building

void ClipRuntime::build(const AnimationManager& manager, const std::unordered_map<const char*, int>& node_ids) {
    const std::vector<aiMatrix4x4>& rest = manager.get_rest_transforms();
    const std::vector<std::vector<uint32_t>>& paths = manager.get_node_paths();
    const size_t n = std::min(rest.size(), paths.size());
    _rest.assign(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(n));
    _parents.assign(n, -1);
    _rest_matrices.resize(n);
    _rest_transforms.resize(n);
    _rest_frames.resize(n);
    bool parents_first = true;
    for (size_t i = 0; i < n; ++i) {
        if (paths[i].size() > 1 && paths[i][1] < n) _parents[i] = static_cast<int>(paths[i][1]);
        parents_first = parents_first && _parents[i] < static_cast<int>(i);
        _rest_matrices[i] = to_Matrixf(_rest[i]);
        _rest_transforms[i] = decompose(_rest_matrices[i]);
        _rest_frames[i] = rest_frame(_rest[i]);
    }
    // Every pass walks node ids in order with each parent before its children (the skeleton's nodes
    // are numbered so); a table that is not is cut at the offending parents rather than read ahead.
    if (!parents_first)
        for (size_t i = 0; i < n; ++i)
            if (_parents[i] >= static_cast<int>(i)) _parents[i] = -1;

    _node_ids.clear();
    for (const auto& entry : node_ids)
        if (entry.first && entry.second >= 0 && static_cast<size_t>(entry.second) < n) _node_ids[entry.first] = entry.second;

    const int clips = manager.get_num_animations();
    size_t frames = 0;
    for (int c = 0; c < clips; ++c) {
        const aiAnimation* anim = manager.get_clip_animation(c);
        frames += n * static_cast<size_t>(anim && anim->mDuration > 0.0 ? anim->mDuration + 1.0 : 1.0);
    }
    _frames.clear();
    _frames.reserve(frames);
    _clips.assign(static_cast<size_t>(std::max(clips, 0)), Clip());
    for (int c = 0; c < clips; ++c) _build_clip(manager, c, _clips[c]);
    _build_lane_frames();
    bind_overrides(manager);
}

void ClipRuntime::_build_lane_frames() {
    const size_t n = _parents.size();
    _groups.clear();
    LaneGroup group;
    std::fill(group.nodes, group.nodes + LaneGroup::SIZE, -1);
    int used = 0;
    for (size_t node = 0; node < n; ++node) {
        bool keyed = false;
        for (const Clip& c : _clips) keyed = keyed || c.channels[node];
        if (!keyed) continue;
        group.nodes[used++] = static_cast<int>(node);
        if (used == LaneGroup::SIZE) {
            _groups.push_back(group);
            std::fill(group.nodes, group.nodes + LaneGroup::SIZE, -1);
            used = 0;
        }
    }
    if (used > 0) _groups.push_back(group);

    size_t total = 0;
    for (const Clip& c : _clips) total += _groups.size() * static_cast<size_t>(c.frames);
    _lane_frames.assign(total, LaneFrame());
    size_t at = 0;
    for (Clip& c : _clips) {
        c.lane_first = static_cast<uint32_t>(at);
        for (const LaneGroup& g : _groups)
            for (int f = 0; f < c.frames; ++f, ++at)
                for (int lane = 0; lane < LaneGroup::SIZE; ++lane) {
                    const int node = g.nodes[lane];
                    Frame frame = {{0.0f, 0.0f, 0.0f, 1.0f}, {0.0f, 0.0f, 0.0f, 1.0f}};
                    if (node >= 0 && c.channels[node]) {
                        frame = _frames[c.first + static_cast<size_t>(node) * static_cast<size_t>(c.frames) + f];
                    } else if (node >= 0) {
                        const Transform& rest = _rest_transforms[node];
                        std::copy(rest.rotation, rest.rotation + 4, frame.rotation);
                        std::copy(rest.translation, rest.translation + 3, frame.translation);
                        frame.translation[3] = rest.scale;
                    }
                    for (int k = 0; k < 4; ++k) {
                        _lane_frames[at].rotation[k][lane] = frame.rotation[k];
                        _lane_frames[at].position[k][lane] = frame.translation[k];
                    }
                }
    }
}

void ClipRuntime::bind_overrides(const AnimationManager& manager) {
    // What callers keep (record timings hold override weights) is of an earlier build now.
    _generation = next_generation();
    for (size_t c = 0; c < _clips.size(); ++c) {
        const AnimationManager::OverrideAnimation* ov = manager.find_override_by_clip(static_cast<int>(c));
        Clip& clip = _clips[c];
        clip.override_weights = ov && ov->weights.size() >= _parents.size() ? ov->weights.data() : nullptr;
        clip.overridden.assign((_parents.size() + 63) / 64, 0);
        if (clip.override_weights)
            for (size_t node = 0; node < _parents.size(); ++node)
                if (clip.override_weights[node] > 0.0f) clip.overridden[node / 64] |= uint64_t(1) << (node % 64);
    }
}

void ClipRuntime::_build_clip(const AnimationManager& manager, int index, Clip& clip) {
    const size_t n = _parents.size();
    const AnimationManager::AnimationDescription* d = manager.get_description(index);
    const aiAnimation* anim = manager.get_clip_animation(index);
    clip.animation = anim;
    clip.rate = rate_of(anim);
    clip.duration = duration_of(anim);
    clip.seconds = static_cast<float>(clip.duration / clip.rate);
    clip.frames = clip.duration > 0.0 ? static_cast<int>(std::min(std::floor(clip.duration) + 1.0, 2147483647.0)) : 1;
    clip.channels.assign(n, nullptr);
    if (d)
        for (size_t i = 0; i < n && i < d->channels.size(); ++i) clip.channels[i] = d->channels[i];
    clip.first = static_cast<uint32_t>(_frames.size());
    clip.keyed.assign((n + 63) / 64, 0);
    for (size_t node = 0; node < n; ++node)
        if (clip.channels[node]) clip.keyed[node / 64] |= uint64_t(1) << (node % 64);

    clip.keys_on_ticks = true;
    for (size_t node = 0; node < n; ++node) {
        const aiNodeAnim* ch = clip.channels[node];
        if (ch)
            clip.keys_on_ticks = clip.keys_on_ticks && on_ticks(ch->mPositionKeys, ch->mNumPositionKeys, clip.frames) &&
                                 on_ticks(ch->mRotationKeys, ch->mNumRotationKeys, clip.frames) &&
                                 on_ticks(ch->mScalingKeys, ch->mNumScalingKeys, clip.frames);
        for (int f = 0; f < clip.frames; ++f) {
            Frame frame = _rest_frames[node];
            if (ch) {
                if (const aiQuatKey* r = key_at(ch->mRotationKeys, ch->mNumRotationKeys, f)) {
                    const aiQuaternion& q = r->mValue;
                    frame.rotation[0] = q.x, frame.rotation[1] = q.y, frame.rotation[2] = q.z, frame.rotation[3] = q.w;
                }
                if (const aiVectorKey* p = key_at(ch->mPositionKeys, ch->mNumPositionKeys, f))
                    frame.translation[0] = p->mValue.x, frame.translation[1] = p->mValue.y,
                    frame.translation[2] = p->mValue.z;
                const aiVectorKey* s = key_at(ch->mScalingKeys, ch->mNumScalingKeys, f);
                frame.translation[3] = s ? uniform_scale(s->mValue) : 1.0f;
            }
            _frames.push_back(frame);
        }
    }

    clip.root_motion.clear();
    clip.root_keys.clear();
    if (d && d->root_keys.size() >= d->root_motion.size()) {
        for (size_t k = 0; k < d->root_motion.size(); ++k) {
            const AnimationManager::RootMotionSample& s = d->root_motion[k];
            Transform motion, key;
            std::copy(s.rotation, s.rotation + 4, motion.rotation);
            std::copy(s.position, s.position + 3, motion.translation);
            const osg::Quat q = d->root_keys[k].getRotate();
            for (int i = 0; i < 4; ++i) key.rotation[i] = static_cast<float>(q[i]);
            const osg::Vec3f p = d->root_keys[k].getTrans();
            for (int i = 0; i < 3; ++i) key.translation[i] = p[i];
            clip.root_motion.push_back(motion);
            clip.root_keys.push_back(key);
        }
    }
}

bool ClipRuntime::wide_lanes() { return wide.load(std::memory_order_relaxed); }

void ClipRuntime::set_wide_lanes(bool on) { wide.store(on && AVX2, std::memory_order_relaxed); }

int ClipRuntime::node_id(const std::string& name) const {
    auto it = _node_ids.find(name);
    return it == _node_ids.end() ? -1 : it->second;
}

// ---------------------------------------------------------------------------------------------------
// By index

double ClipRuntime::rate_of(const aiAnimation* anim) {
    return anim && anim->mTicksPerSecond > 0.0 ? anim->mTicksPerSecond : DEFAULT_TICKS_PER_SECOND;
}

double ClipRuntime::duration_of(const aiAnimation* anim) {
    return anim && std::isfinite(anim->mDuration) && anim->mDuration > 0.0 ? anim->mDuration : 0.0;
}

float ClipRuntime::tick_at(double rate, double duration, float time, bool loop) {
    if (duration <= 0.0) return 0.0f;
    float tick = static_cast<float>(static_cast<double>(time) * rate);
    if (loop)
        tick = static_cast<float>(std::fmod(static_cast<double>(tick), duration));
    else
        tick = clamp(tick, 0.0f, static_cast<float>(duration));
    return std::isfinite(tick) ? tick : 0.0f;
}

float ClipRuntime::tick_of(const Clip& clip, float time, bool loop) {
    return clip.animation ? tick_at(clip.rate, clip.duration, time, loop) : 0.0f;
}

ClipRuntime::KeyPair ClipRuntime::key_pair(float tick, int count) {
    KeyPair p;
    if (count <= 0 || !std::isfinite(tick)) return p;
    const float top = static_cast<float>(count - 1);
    const float t = std::min(std::max(tick, 0.0f), top);
    p.k0 = static_cast<int>(t);
    // The next key by index: t + 1 in float may round up past it (7.9999995 + 1 = 9).
    p.k1 = std::min(p.k0 + 1, count - 1);
    p.f = std::min(std::max(t - static_cast<float>(p.k0), 0.0f), 1.0f);
    return p;
}

ClipRuntime::NodeSample ClipRuntime::sample(int node, const Clip& clip, const KeyPair& pair) const {
    NodeSample out;
    if (!clip.animation) return out;
    if (!clip.channels[node]) {
        out.transform = _rest_transforms[node];
        out.source = FROM_REST;
        return out;
    }
    const Frame* frames = &_frames[clip.first + static_cast<size_t>(node) * static_cast<size_t>(clip.frames)];
    const Frame& a = frames[pair.k0];
    const Frame& b = frames[pair.k1];
    const float f = pair.f;
    const float wa = static_cast<float>(1.0 - static_cast<double>(f));
    slerp(a.rotation, b.rotation, f, out.transform.rotation);
    for (int i = 0; i < 3; ++i) out.transform.translation[i] = a.translation[i] * wa + b.translation[i] * f;
    const float sa = a.translation[3], sb = b.translation[3];
    out.transform.scale = sa == sb ? sa : wa * sa + f * sb;
    out.source = FROM_KEYS;
    return out;
}

osg::Matrixf ClipRuntime::to_matrix(int node, const NodeSample& sample) const {
    switch (sample.source) {
    case FROM_REST:
        return _rest_matrices[node];
    case FROM_KEYS:
        return osg_matrix(sample.transform);
    default:
        return osg::Matrixf::identity();
    }
}

osg::Matrixf ClipRuntime::matrix_of(const Transform& transform) { return osg_matrix(transform); }

osg::Matrixf ClipRuntime::sample_matrix(int node, int index, float time, bool loop) const {
    const Clip* c = clip(index);
    if (!c || !c->animation || node < 0 || node >= num_nodes()) return osg::Matrixf::identity();
    if (!c->channels[node]) return _rest_matrices[node];
    return to_matrix(node, sample(node, *c, key_pair(tick_of(*c, time, loop), c->frames)));
}

// ---------------------------------------------------------------------------------------------------
// Sample records

ClipRuntime::RecordTiming ClipRuntime::timing(const ShaderBlendSpace2D& rec, float time, bool node_frames) const {
    RecordTiming t;
    t.kind = rec.kind;
    t.looping = rec.loop > 0.0f;
    t.weight_x = rec.weight_x;
    t.weight_y = rec.weight_y;
    const float x = time - rec.start_time;
    t.elapsed = x;
    for (int k = 0; k < 4; ++k) {
        t.clips[k] = clip_of(rec.samples[k].clip);
        const Clip* c = clip(t.clips[k]);
        t.durations[k] = c && c->animation ? c->seconds : 0.0f;
    }
    auto d = [&](int k) { return static_cast<double>(t.durations[k]); };
    // The phase of a blend: cyclic or clamped for node transforms as the record loops, always cyclic
    // for root motion (the root motion of the current cycle).
    auto root_phase = [&](float D) { return D > 0.0f ? fmod_exact(x, D) / D : 0.0f; };
    auto node_phase = [&](float D, float cycle) {
        if (!(D > 0.0f)) return 0.0f;
        return t.looping ? cycle : clamp(x / D, 0.0f, 1.0f);
    };
    const double u = rec.weight_x, v = rec.weight_y;
    float override_time = x;

    switch (rec.kind) {
    case BS_RECORD_CLIP: {
        t.samples = 1;
        float local = x;
        if (t.looping && rec.loop_start >= 0.0f && rec.loop_end >= 0.0f && time >= rec.start_time + rec.loop_start &&
            rec.loop_end > rec.loop_start)
            local = fmod_exact(x, rec.loop_end - rec.loop_start) + rec.loop_start;
        t.node_times[0] = local;
        t.root_times[0] = x;
        override_time = local;
        break;
    }
    case BS_RECORD_1D: {
        t.samples = 2;
        const float D = static_cast<float>(d(0) * (1.0 - u) + d(1) * u);
        const float cycle = root_phase(D);
        const float at = node_phase(D, cycle) * D;
        for (int k = 0; k < 2; ++k) {
            t.node_times[k] = at;
            t.root_times[k] = cycle * t.durations[k];
        }
        break;
    }
    case BS_RECORD_2D: {
        t.samples = 4;
        const float D = static_cast<float>(d(0) * (1.0 - u) + d(1) * u) * static_cast<float>(1.0 - v) +
                        static_cast<float>(d(2) * (1.0 - u) + d(3) * u) * static_cast<float>(v);
        const float cycle = root_phase(D), phase = node_phase(D, cycle);
        for (int k = 0; k < 4; ++k) {
            t.node_times[k] = phase * t.durations[k];
            t.root_times[k] = cycle * t.durations[k];
        }
        break;
    }
    default:
        return t;
    }
    if (!node_frames) return t;
    for (int k = 0; k < t.samples; ++k)
        if (const Clip* c = clip(t.clips[k])) t.pairs[k] = key_pair(tick_of(*c, t.node_times[k], t.looping), c->frames);

    if (rec.override_clip != -1.0f) {
        const int o = clip_of(rec.override_clip);
        const Clip* c = clip(o);
        if (c && c->override_weights) {
            t.override_clip = o;
            t.override_weights = c->override_weights;
            t.override_pair = key_pair(tick_of(*c, override_time, t.looping), c->frames);
        }
    }
    return t;
}

void ClipRuntime::record_nodes(const RecordTiming& t, const int* nodes, int count, NodeSample* out) const {
    switch (t.samples) {
    case 1:
        return _record_nodes<1>(t, nodes, count, out);
    case 2:
        return _record_nodes<2>(t, nodes, count, out);
    case 4:
        return _record_nodes<4>(t, nodes, count, out);
    default:
        for (int i = 0; i < count; ++i) out[i] = NodeSample();
    }
}

template <int S>
void ClipRuntime::_record_nodes(const RecordTiming& t, const int* nodes, int count, NodeSample* out) const {
    const Clip* c[S];
    for (int k = 0; k < S; ++k) {
        c[k] = clip(t.clips[k]);
        if (c[k] && !c[k]->animation) c[k] = nullptr;
    }
    LaneNodes batch = {{-1, -1, -1, -1}, 0};
    int slots[4];  // where each lane's node goes in out
    auto flush = [&] {
        const Lanes r = blend_lanes<S>(t, c, _frames, _rest_transforms, batch);
        for (int lane = 0; lane < batch.used; ++lane) out[slots[lane]] = lane_sample(r, lane);
        batch = {{-1, -1, -1, -1}, 0};
    };
    for (int i = 0; i < count; ++i) {
        const int node = nodes[i];
        // The override's pose replaces the node's whole.
        if (t.override_weights && t.override_weights[node] > 0.0f) {
            out[i] = sample(node, _clips[t.override_clip], t.override_pair);
            continue;
        }
        // A node that no clip of the record keys is what every sample is: its rest transform, or nothing.
        bool keyed = false, uniform = true;
        Source first = FROM_NONE;
        for (int k = 0; k < S; ++k) {
            const Source s = !c[k] ? FROM_NONE : c[k]->channels[node] ? FROM_KEYS : FROM_REST;
            keyed = keyed || s == FROM_KEYS;
            if (k == 0) first = s;
            uniform = uniform && s == first;
        }
        if (!keyed && uniform) {
            out[i].source = first;
            out[i].transform = first == FROM_REST ? _rest_transforms[node] : Transform();
            continue;
        }
        slots[batch.used] = i;
        batch.node[batch.used++] = node;
        if (batch.used == 4) flush();
    }
    if (batch.used > 0) flush();
}

void ClipRuntime::record_matrices(const RecordTiming& t, osg::Matrixf* out) const {
    _record_matrices(t, [out](int node) { return out[node].ptr(); });
}

void ClipRuntime::record_matrices(const RecordTiming& t, float (*out)[16]) const {
    _record_matrices(t, [out](int node) { return out[node]; });
}

template <class At>
void ClipRuntime::_record_matrices(const RecordTiming& t, At at) const {
    switch (t.samples) {
    case 1:
        return _samples_to_matrices<1>(t, at);
    case 2:
        return _samples_to_matrices<2>(t, at);
    case 4:
        return _samples_to_matrices<4>(t, at);
    default:
        for (int i = 0; i < num_nodes(); ++i) std::memcpy(at(i), IDENTITY_MATRIX, sizeof(IDENTITY_MATRIX));
    }
}

template <int S, class At>
void ClipRuntime::_samples_to_matrices(const RecordTiming& t, At at) const {
    const Clip* c[S];
    int present = 0;
    for (int k = 0; k < S; ++k) {
        c[k] = clip(t.clips[k]);
        if (c[k] && !c[k]->animation) c[k] = nullptr;
        present += c[k] != nullptr;
    }
    const Clip* over = t.override_weights ? &_clips[t.override_clip] : nullptr;
    const float* still = present ? nullptr : IDENTITY_MATRIX;  // null: the rest matrix
    LaneNodes batch = {{-1, -1, -1, -1}, 0};
    auto flush = [&] {
        float* dest[4];
        for (int lane = 0; lane < 4; ++lane) dest[lane] = batch.node[lane] >= 0 ? at(batch.node[lane]) : nullptr;
        store_matrices(blend_lanes<S>(t, c, _frames, _rest_transforms, batch), dest);
        batch = {{-1, -1, -1, -1}, 0};
    };
    const int n = num_nodes();
    // The nodes by what they take, 64 at a time: the override's pose, the blend of the samples (the
    // nodes that a clip keys; every node where some samples have no clip), or what every sample holds
    // alike (the rest transform, or identity without a clip).
    for (int word = 0; word * 64 < n; ++word) {
        const int base = word * 64;
        const uint64_t all = n - base >= 64 ? ~uint64_t(0) : (uint64_t(1) << (n - base)) - 1;
        const uint64_t overridden = over ? over->overridden[word] : 0;
        uint64_t keyed = 0;
        for (int k = 0; k < S; ++k)
            if (c[k]) keyed |= c[k]->keyed[word];
        // With every sample's clip at hand the keyed nodes go by lane groups below.
        const uint64_t blended = (present == S || present == 0 ? keyed : all) & ~overridden;
        const uint64_t gathered = present == S ? 0 : blended;
        for (uint64_t bits = overridden; bits; bits &= bits - 1) {
            const int node = base + __builtin_ctzll(bits);
            const osg::Matrixf m = to_matrix(node, sample(node, *over, t.override_pair));
            std::memcpy(at(node), m.ptr(), sizeof(float[16]));
        }
        for (uint64_t bits = all & ~blended & ~overridden; bits; bits &= bits - 1) {
            const int node = base + __builtin_ctzll(bits);
            std::memcpy(at(node), still ? still : _rest_matrices[node].ptr(), sizeof(float[16]));
        }
        for (uint64_t bits = gathered; bits; bits &= bits - 1) {
            batch.node[batch.used++] = base + __builtin_ctzll(bits);
            if (batch.used == 4) flush();
        }
    }
    if (batch.used > 0) flush();
    if (present != S) return;
    // Each group's nodes that a clip of the record keys and no override takes.
    auto blended = [&](int node) {
        if (over && over->overridden[node / 64] & uint64_t(1) << (node % 64)) return false;
        for (int k = 0; k < S; ++k)
            if (c[k]->keyed[node / 64] & uint64_t(1) << (node % 64)) return true;
        return false;
    };
    for (size_t g = 0; g < _groups.size(); ++g) {
        float* dest[LaneGroup::SIZE];
        bool any = false;
        for (int lane = 0; lane < LaneGroup::SIZE; ++lane) {
            const int node = _groups[g].nodes[lane];
            dest[lane] = node >= 0 && blended(node) ? at(node) : nullptr;
            any = any || dest[lane];
        }
        if (any) lane_group_matrices(S, t, c, _lane_frames.data(), g, dest);
    }
}

ClipRuntime::NodeSample ClipRuntime::record_node(int node, const RecordTiming& timing) const {
    NodeSample out;
    record_nodes(timing, &node, 1, &out);
    return out;
}

osg::Matrixf ClipRuntime::record_node_in_model(int node, const RecordTiming& timing) const {
    if (node < 0 || node >= num_nodes()) return osg::Matrixf::identity();
    // The node and its ancestors, a few at a time: local(node) · local(parent) · …
    const int CHUNK = 16;
    int path[CHUNK];
    NodeSample samples[CHUNK];
    osg::Matrixf m = osg::Matrixf::identity();
    for (int at = node; at >= 0;) {
        int count = 0;
        for (; at >= 0 && count < CHUNK; at = _parents[at]) path[count++] = at;
        record_nodes(timing, path, count, samples);
        for (int i = 0; i < count; ++i) {
            const osg::Matrixf local = to_matrix(path[i], samples[i]);
            multiply(m.ptr(), local.ptr(), m.ptr());
        }
    }
    return m;
}

bool ClipRuntime::previous_shows(const ShaderBlendSpace2D& next_record, float time) {
    const float b = next_record.blend_duration;
    if (b > 0.0f) return clamp((time - next_record.blend_start) / b, 0.0f, 1.0f) < 1.0f;
    return next_record.blend_start > time;
}

ClipRuntime::NodeSample ClipRuntime::crossfade(const NodeSample& previous, const NodeSample& next,
                                               const ShaderBlendSpace2D& next_record, float time) {
    const float b = next_record.blend_duration;
    if (b > 0.0f) {
        const float w = clamp((time - next_record.blend_start) / b, 0.0f, 1.0f);
        return w < 1.0f ? blend(previous, next, static_cast<double>(w)) : next;
    }
    return next_record.blend_start > time ? previous : next;
}

ClipRuntime::NodeSample ClipRuntime::crossfade_node(int node, const RecordTiming& previous, const RecordTiming& next,
                                                    const ShaderBlendSpace2D& next_record, float time) const {
    return crossfade(record_node(node, previous), record_node(node, next), next_record, time);
}

const ClipRuntime::Clip* ClipRuntime::_root_pair(int index, float time, float loop, float loop_start, float loop_end,
                                                 KeyPair& pair) const {
    const Clip* c = clip(index);
    if (!c || !c->animation || c->root_motion.empty()) return nullptr;
    const double rate = c->rate, duration = c->duration;
    float tick = static_cast<float>(static_cast<double>(time) * rate);
    if (duration <= 0.0) {
        tick = 0.0f;
    } else if (loop > 0.0f) {
        tick = static_cast<float>(std::fmod(static_cast<double>(tick), duration));
        const float length = static_cast<float>(duration / rate);
        if (loop_start >= 0.0f && loop_end >= 0.0f && time >= loop_start && loop_end > loop_start && length > 0.0f)
            tick = static_cast<float>(
                (fmod_exact(fmod_exact(time, loop_end - loop_start) + loop_start, length) / length) * duration);
    } else {
        tick = clamp(tick, 0.0f, static_cast<float>(duration));
    }
    pair = key_pair(tick, static_cast<int>(c->root_motion.size()));
    return c;
}

void ClipRuntime::clip_root(int index, float time, float loop, float loop_start, float loop_end, Transform& motion,
                            Transform& root) const {
    motion = Transform();
    root = Transform();
    KeyPair kp;
    const Clip* c = _root_pair(index, time, loop, loop_start, loop_end, kp);
    if (!c) return;
    motion = blend(c->root_motion[kp.k0], c->root_motion[kp.k1], static_cast<double>(kp.f));
    root = blend(c->root_keys[kp.k0], c->root_keys[kp.k1], static_cast<double>(kp.f));
}

void ClipRuntime::record_root(const RecordTiming& t, const ShaderBlendSpace2D& rec, osg::Matrixf& motion,
                              osg::Matrixf& root) const {
    if (t.samples != 1 && t.samples != 2 && t.samples != 4) {
        motion = root = osg_matrix(IDENTITY_TRANSFORM);
        return;
    }
    // Every sample's pair of root-motion samples in lanes, the motion and the imported root side by
    // side, the two that a blend joins in the same lane of the two halves: a clip (m0 r0 - -), 1-D
    // (m0 m1 r0 r1), 2-D (m0 m2 r0 r2 | m1 m3 r1 r3). A clip without root motion is identity held.
    LaneRows a[2], b[2];
    F4 f[2] = {{0.0f, 0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f, 0.0f}};
    for (int half = 0; half < 2; ++half)
        for (int lane = 0; lane < 4; ++lane) {
            set_rows(a[half], lane, IDENTITY_TRANSFORM);
            set_rows(b[half], lane, IDENTITY_TRANSFORM);
        }
    for (int k = 0; k < t.samples; ++k) {
        const int half = t.samples == 4 ? k & 1 : 0;
        const int lane = t.samples == 4 ? k >> 1 : t.samples == 2 ? k : 0;
        const int key_lane = t.samples == 1 ? 1 : 2;  // where the imported roots begin
        KeyPair kp;
        const Clip* c = _root_pair(t.clips[k], t.root_times[k], rec.loop, rec.loop_start, rec.loop_end, kp);
        if (!c) continue;
        set_rows(a[half], lane, c->root_motion[kp.k0]);
        set_rows(b[half], lane, c->root_motion[kp.k1]);
        set_rows(a[half], lane + key_lane, c->root_keys[kp.k0]);
        set_rows(b[half], lane + key_lane, c->root_keys[kp.k1]);
        f[half][lane] = f[half][lane + key_lane] = kp.f;
    }
    const F4 u = lanes(t.weight_x, F4{}), v = lanes(t.weight_y, F4{});
    Lanes out = mix_lanes(to_lanes(a[0]), to_lanes(b[0]), f[0], ScaleRule::SAMPLES);  // clip: (m r - -)
    if (t.samples == 2) {
        out = mix_lanes(permute<0, 2, 0, 2>(out), permute<1, 3, 1, 3>(out), u, ScaleRule::SAMPLES);
    } else if (t.samples == 4) {
        const Lanes odd = mix_lanes(to_lanes(a[1]), to_lanes(b[1]), f[1], ScaleRule::SAMPLES);
        const Lanes pairs = mix_lanes(out, odd, u, ScaleRule::SAMPLES);  // (m01 m23 r01 r23)
        out = mix_lanes(permute<0, 2, 0, 2>(pairs), permute<1, 3, 1, 3>(pairs), v, ScaleRule::SAMPLES);
    }
    motion = osg_matrix(lane_sample(out, 0).transform);
    root = osg_matrix(lane_sample(out, 1).transform);
}

void ClipRuntime::chain_to_model(osg::Matrixf* matrices) const {
    const int n = num_nodes();
    for (int i = 0; i < n; ++i)
        if (_parents[i] >= 0) multiply(matrices[i].ptr(), matrices[_parents[i]].ptr(), matrices[i].ptr());
}

// ---------------------------------------------------------------------------------------------------
// By key time

aiMatrix4x4 ClipRuntime::local_at_time(int node, const Clip* clip, float tick) const {
    const aiNodeAnim* ch = clip && clip->animation ? clip->channels[node] : nullptr;
    if (!ch) return _rest[node];
    if (clip->keys_on_ticks) {
        const KeyPair kp = key_pair(tick, clip->frames);
        const Frame* frames = &_frames[clip->first + static_cast<size_t>(node) * static_cast<size_t>(clip->frames)];
        const Frame& a = frames[kp.k0];
        const Frame& b = frames[kp.k1];
        if (kp.f == 0.0f) return assimp_matrix(a.rotation, a.translation, a.translation[3]);
        float q[4], p[3];
        assimp_slerp(a.rotation, b.rotation, kp.f, q);
        for (int i = 0; i < 3; ++i) p[i] = a.translation[i] + (b.translation[i] - a.translation[i]) * kp.f;
        const float s = a.translation[3] + (b.translation[3] - a.translation[3]) * kp.f;
        return assimp_matrix(q, p, s);
    }
    return channel_at_time(ch, tick, _rest[node]);
}

aiMatrix4x4 ClipRuntime::channel_at_time(const aiNodeAnim* ch, float tick, const aiMatrix4x4& rest) {
    if (!ch) return rest;
    aiVector3D rest_scaling(1, 1, 1), rest_position;
    aiQuaternion rest_rotation;
    if (ch->mNumPositionKeys == 0 || ch->mNumRotationKeys == 0 || ch->mNumScalingKeys == 0)
        rest.Decompose(rest_scaling, rest_rotation, rest_position);
    const double t = tick;
    const aiVector3D p = sample_track(ch->mPositionKeys, ch->mNumPositionKeys, t, rest_position);
    const aiQuaternion q = sample_track(ch->mRotationKeys, ch->mNumRotationKeys, t, rest_rotation);
    const aiVector3D s = sample_track(ch->mScalingKeys, ch->mNumScalingKeys, t, rest_scaling);
    aiMatrix4x4 m(q.GetMatrix());
    for (int r = 0; r < 3; ++r) m[r][0] *= s.x, m[r][1] *= s.y, m[r][2] *= s.z;
    m.a4 = p.x, m.b4 = p.y, m.c4 = p.z;
    return m;
}

void ClipRuntime::world_at_time(const Clip* clip, float tick, aiMatrix4x4* world) const {
    const int n = num_nodes();
    const bool keyed = clip && clip->animation;
    for (int i = 0; i < n; ++i) {
        const int p = _parents[i];
        if (keyed && clip->channels[i]) {
            world[i] = local_at_time(i, clip, tick);
            if (p >= 0) multiply(world[p][0], world[i][0], world[i][0]);
        } else if (p >= 0) {
            multiply(world[p][0], _rest[i][0], world[i][0]);
        } else {
            world[i] = _rest[i];
        }
    }
}

aiMatrix4x4 ClipRuntime::node_world_at_time(int node, const Clip* clip, float tick) const {
    if (node < 0 || node >= num_nodes()) return aiMatrix4x4();
    aiMatrix4x4 w = local_at_time(node, clip, tick);
    for (int p = _parents[node]; p >= 0; p = _parents[p]) {
        const aiMatrix4x4 l = local_at_time(p, clip, tick);
        multiply(l[0], w[0], w[0]);
    }
    return w;
}

}  // namespace Animator
