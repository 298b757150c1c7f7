// CPU evaluation of the animation compute passes (see CpuAnimationCompute.h).
#include "refhost/CpuAnimationCompute.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

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

struct Quat {
    float x, y, z, w;
};

struct Pose {
    Quat q;
    float p[3];
    float s;
};

constexpr Pose IDENTITY{{0.0f, 0.0f, 0.0f, 1.0f}, {0.0f, 0.0f, 0.0f}, 1.0f};

template <class T> T load(const uint8_t* base, size_t index) {
    T v;
    std::memcpy(&v, base + index * sizeof(T), sizeof(T));
    return v;
}

template <class T> size_t count_of(const CpuAnimationCompute::In& s) { return s.data ? s.bytes / sizeof(T) : 0; }
template <class T> size_t count_of(const CpuAnimationCompute::Out& s) { return s.data ? s.bytes / sizeof(T) : 0; }

float dot(const Quat& a, const Quat& b) { return a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w; }

bool same(const Quat& a, const Quat& b) { return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w; }

inline Quat normalized(const Quat& q) {
    const float l2 = dot(q, q);
    if (l2 > 1.0f - 2e-6f && l2 < 1.0f + 2e-6f) return q;
    if (!(l2 > 0.0f)) return {0.0f, 0.0f, 0.0f, 1.0f};
    const float inv = 1.0f / std::sqrt(l2);
    return {q.x * inv, q.y * inv, q.z * inv, q.w * inv};
}

// 1 / (i (2i + 1)) for the slerp weight series below.
constexpr float SERIES[] = {0.0f,        1.0f / 3,   1.0f / 10,  1.0f / 21,  1.0f / 36,  1.0f / 55,
                            1.0f / 78,   1.0f / 105, 1.0f / 136, 1.0f / 171, 1.0f / 210, 1.0f / 253,
                            1.0f / 300,  1.0f / 351, 1.0f / 406, 1.0f / 465, 1.0f / 528};

// The spherical weights sin((1 - t) w) / sin w and sin(t w) / sin w for cos w = c in [0.5, 1], from
// their power series in (c - 1): b0(t) = t, bi(t) = b(i-1)(t) (t^2 - i^2) / (i (2i + 1)). The terms
// shrink at least fourfold each, so a few give float precision, without trigonometry.
void series_weights(float c, float t, float& wa, float& wb) {
    const float y = c - 1.0f, s = 1.0f - t, t2 = t * t, s2 = s * s;
    float bt = t, bs = s, power = 1.0f;
    wa = s, wb = t;
    for (int i = 1; i <= 16; ++i) {
        const float i2 = static_cast<float>(i * i);
        power *= y;
        bt *= (t2 - i2) * SERIES[i];
        bs *= (s2 - i2) * SERIES[i];
        const float tb = bt * power, ta = bs * power;
        wb += tb, wa += ta;
        if (std::fabs(tb) + std::fabs(ta) < 1e-8f) break;
    }
}

// Shorter-arc spherical interpolation of unit quaternions; nearly equal ones interpolate linearly.
Quat slerp(const Quat& a, Quat b, float t) {
    float d = dot(a, b);
    if (d < 0.0f) {
        b = {-b.x, -b.y, -b.z, -b.w};
        d = -d;
    }
    if (d > 0.9995f)
        return normalized({a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t, a.z + (b.z - a.z) * t, a.w + (b.w - a.w) * t});
    float wa, wb;
    if (d >= 0.5f) {
        series_weights(d, t, wa, wb);
    } else {
        const float dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z, dw = a.w - b.w;
        const float sx = a.x + b.x, sy = a.y + b.y, sz = a.z + b.z, sw = a.w + b.w;
        const float omega = 2.0f * std::atan2(std::sqrt(dx * dx + dy * dy + dz * dz + dw * dw),
                                              std::sqrt(sx * sx + sy * sy + sz * sz + sw * sw));
        const float s = std::sin(omega);
        wa = std::sin((1.0f - t) * omega) / s, wb = std::sin(t * omega) / s;
    }
    return {wa * a.x + wb * b.x, wa * a.y + wb * b.y, wa * a.z + wb * b.z, wa * a.w + wb * b.w};
}

float mix(float a, float b, float t) { return a + (b - a) * t; }

Pose blend(const Pose& a, const Pose& b, float t) {
    Pose r;
    r.q = same(a.q, b.q) ? a.q : slerp(a.q, b.q, t);  // nodes that no clip moves blend rest with rest
    for (int k = 0; k < 3; ++k) r.p[k] = mix(a.p[k], b.p[k], t);
    r.s = mix(a.s, b.s, t);
    return r;
}

// Scale, rotation and translation as 16 floats in row-major, row-vector order.
void write_matrix(const Pose& x, uint8_t* out) {
    const Quat q = normalized(x.q);
    const float xx = q.x * q.x, yy = q.y * q.y, zz = q.z * q.z;
    const float xy = q.x * q.y, xz = q.x * q.z, yz = q.y * q.z;
    const float wx = q.w * q.x, wy = q.w * q.y, wz = q.w * q.z;
    const float m[16] = {(1.0f - 2.0f * (yy + zz)) * x.s, 2.0f * (xy + wz) * x.s, 2.0f * (xz - wy) * x.s, 0.0f,
                         2.0f * (xy - wz) * x.s, (1.0f - 2.0f * (xx + zz)) * x.s, 2.0f * (yz + wx) * x.s, 0.0f,
                         2.0f * (xz + wy) * x.s, 2.0f * (yz - wx) * x.s, (1.0f - 2.0f * (xx + yy)) * x.s, 0.0f,
                         x.p[0], x.p[1], x.p[2], 1.0f};
    std::memcpy(out, m, sizeof m);
}

// out = a · b, row-vector order (a applies first).
void multiply(const float* a, const float* b, float* out) {
    float r[16];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            r[i * 4 + j] = a[i * 4] * b[j] + a[i * 4 + 1] * b[4 + j] + a[i * 4 + 2] * b[8 + j] + a[i * 4 + 3] * b[12 + j];
    std::memcpy(out, r, sizeof r);
}

// What one dispatch reads, with counts checked once.
class Inputs {
public:
    explicit Inputs(const CpuAnimationCompute::Bindings& b)
        : b(b),
          frames(count_of<Frame>(b.animations)),
          clips(count_of<ClipInfo>(b.clips_info)),
          masks(count_of<float>(b.masks)),
          slots(count_of<int32_t>(b.per_instance_data) / INSTANCE_WORDS),
          records(count_of<uint32_t>(b.per_instance_animations) / RECORD_WORDS),
          indices(count_of<int32_t>(b.instance_indices)) {}

    const CpuAnimationCompute::Bindings& b;
    const size_t frames, clips, masks, slots, records, indices;

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

    Frame frame(size_t i) const { return load<Frame>(b.animations.data, i); }

    // Where a clip is read at a time: its key pair and factor, the same for every node.
    struct Cursor {
        bool valid = false;
        uint32_t first = 0, nodes = 0, frames = 1;
        int k0 = 0, k1 = 0;
        float f = 0.0f;
    };
    Cursor cursor(int c, float time, bool looping) const {
        Cursor k;
        if (c < 0) return k;
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
        k.valid = true;
        k.first = info.first, k.nodes = info.nodes, k.frames = static_cast<uint32_t>(count);
        k.k0 = static_cast<int>(t);
        k.k1 = std::min(k.k0 + 1, count - 1);
        k.f = std::min(std::max(t - static_cast<float>(k.k0), 0.0f), 1.0f);
        return k;
    }

    Pose sample(const Cursor& k, int node) const {
        if (!k.valid || static_cast<uint32_t>(node) >= k.nodes) return IDENTITY;
        const size_t base = static_cast<size_t>(k.first) + static_cast<size_t>(node) * k.frames;
        if (base + static_cast<size_t>(k.k1) >= frames) return IDENTITY;
        const Frame a = frame(base + static_cast<size_t>(k.k0));
        const Quat qa = normalized({a.rotation[0], a.rotation[1], a.rotation[2], a.rotation[3]});
        Pose r;
        if (k.f == 0.0f || k.k1 == k.k0) {
            r.q = qa;
            std::memcpy(r.p, a.translation, sizeof r.p);
            r.s = a.translation[3];
            return r;
        }
        const Frame b = frame(base + static_cast<size_t>(k.k1));
        const Quat qb = normalized({b.rotation[0], b.rotation[1], b.rotation[2], b.rotation[3]});
        r.q = same(qa, qb) ? qa : slerp(qa, qb, k.f);
        for (int i = 0; i < 3; ++i) r.p[i] = mix(a.translation[i], b.translation[i], k.f);
        r.s = mix(a.translation[3], b.translation[3], k.f);
        return r;
    }
};

// What one record needs for every node, worked out once per instance.
struct Timing {
    uint32_t kind = 0;
    int clips[4] = {-1, -1, -1, -1};
    float times[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    Inputs::Cursor cursors[4];
    float u = 0.0f, v = 0.0f;
    bool looping = false;
    int override_row = -1;
    Inputs::Cursor override_cursor;
};

Timing timing_of(const Inputs& in, int r, float time) {
    Timing tm;
    if (r < 0) return tm;
    tm.kind = in.record_kind(r);
    const float start = in.record_float(r, 13);
    const float x = time - start;
    tm.looping = in.record_float(r, 16) > 0.0f;
    for (int k = 0; k < 4; ++k) tm.clips[k] = in.clip_of(in.record_float(r, 3 + 3 * k));
    tm.u = in.record_float(r, 19);
    tm.v = in.record_float(r, 20);
    float local = x;
    if (tm.kind == KIND_CLIP) {
        const float loop_start = in.record_float(r, 17), loop_end = in.record_float(r, 18);
        if (tm.looping && loop_start >= 0.0f && loop_end >= 0.0f && time >= start + loop_start && loop_end > loop_start)
            local = std::fmod(x, loop_end - loop_start) + loop_start;
        std::fill(tm.times, tm.times + 4, local);
    } else if (tm.kind == KIND_1D || tm.kind == KIND_2D) {
        float d[4];
        for (int k = 0; k < 4; ++k) d[k] = in.clip_duration(tm.clips[k]);
        const float lower = d[0] * (1.0f - tm.u) + d[1] * tm.u;
        const float upper = d[2] * (1.0f - tm.u) + d[3] * tm.u;
        const float D = tm.kind == KIND_1D ? lower : lower * (1.0f - tm.v) + upper * tm.v;
        float phase = 0.0f;
        if (D > 0.0f) phase = tm.looping ? std::fmod(x, D) / D : std::min(std::max(x / D, 0.0f), 1.0f);
        for (int k = 0; k < 4; ++k) tm.times[k] = tm.kind == KIND_1D ? phase * D : phase * d[k];
    } else {
        return tm;  // an empty or unknown record: identity, no override
    }
    const float o = in.record_float(r, 23);
    if (o != -1.0f) {
        const int oc = in.clip_of(o);
        if (oc >= 0) {
            const float w = in.clip(oc).vector[3];
            if (w < 0.0f) {
                tm.override_row = static_cast<int>(-w) - 1;
                tm.override_cursor = in.cursor(oc, tm.kind == KIND_CLIP ? local : x, tm.looping);
            }
        }
    }
    const int used = tm.kind == KIND_CLIP ? 1 : tm.kind == KIND_1D ? 2 : 4;
    for (int k = 0; k < used; ++k) tm.cursors[k] = in.cursor(tm.clips[k], tm.times[k], tm.looping);
    return tm;
}

Pose evaluate(const Inputs& in, const Timing& tm, int node) {
    Pose m;
    switch (tm.kind) {
    case KIND_CLIP:
        m = in.sample(tm.cursors[0], node);
        break;
    case KIND_1D:
        m = blend(in.sample(tm.cursors[0], node), in.sample(tm.cursors[1], node), tm.u);
        break;
    case KIND_2D:
        m = blend(blend(in.sample(tm.cursors[0], node), in.sample(tm.cursors[1], node), tm.u),
                  blend(in.sample(tm.cursors[2], node), in.sample(tm.cursors[3], node), tm.u), tm.v);
        break;
    default:
        return IDENTITY;
    }
    if (tm.override_row >= 0) {
        const size_t w = static_cast<size_t>(tm.override_row) * static_cast<size_t>(in.b.num_nodes) + node;
        if (w < in.masks && load<float>(in.b.masks.data, w) > 0.0f) m = in.sample(tm.override_cursor, node);
    }
    return m;
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
    const size_t n = static_cast<size_t>(std::max(b.num_nodes, 0));
    const size_t capacity = count_of<float>(b.local_transforms_rw) / 16;
    for (uint32_t j = 0; j < groups; ++j) {
        const int id = in.instance(j);
        if (id < 0 || (static_cast<size_t>(id) + 1) * n > capacity) continue;
        const StackState st = stack_state(in, id, b.model_time);
        const Timing upper = timing_of(in, st.slot >= 0 ? in.stack_record(id, st.slot) : -1, st.time);
        const bool blended = st.below >= 0;
        const Timing lower = timing_of(in, blended ? in.stack_record(id, st.below) : -1, st.time);
        uint8_t* out = b.local_transforms_rw.data + static_cast<size_t>(id) * n * 64;
        for (size_t node = 0; node < n; ++node) {
            Pose p = evaluate(in, upper, static_cast<int>(node));
            if (blended) p = blend(evaluate(in, lower, static_cast<int>(node)), p, st.fade);
            write_matrix(p, out + node * 64);
        }
    }
}

void CpuAnimationCompute::chain_nodes(const Bindings& b, uint32_t groups) {
    const Inputs in(b);
    const size_t n = static_cast<size_t>(std::max(b.num_nodes, 0));
    const size_t p = static_cast<size_t>(std::max(b.max_node_path, 1));
    const size_t locals = count_of<float>(b.local_transforms) / 16;
    const size_t models = count_of<float>(b.model_transforms_rw) / 16;
    const size_t path_words = count_of<int32_t>(b.node_paths);
    auto path = [&](size_t node, size_t k) {
        const size_t i = node * p + k;
        return i < path_words ? load<int32_t>(b.node_paths.data, i) : -1;
    };
    // A well-formed path is the node followed by its parent's path (parents come first): such a node
    // chains onto its parent's model matrix; any other path is walked whole.
    thread_local std::vector<int> parents;
    parents.assign(n, -1);
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
    thread_local std::vector<float> chained;
    chained.resize(n * 16);
    for (uint32_t j = 0; j < groups; ++j) {
        const int id = in.instance(j, false);
        const size_t base = static_cast<size_t>(id) * n;
        if (id < 0 || base + n > locals || base + n > models) continue;
        const uint8_t* local = b.local_transforms.data + base * 64;
        for (size_t node = 0; node < n; ++node) {
            float m[16], l[16];
            std::memcpy(l, local + node * 64, sizeof l);
            if (parents[node] >= 0) {
                multiply(l, chained.data() + static_cast<size_t>(parents[node]) * 16, m);
            } else {
                static const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
                std::memcpy(m, identity, sizeof m);
                for (size_t k = 0; k < p; ++k) {
                    const int at = path(node, k);
                    if (at < 0 || static_cast<size_t>(at) >= n) break;
                    std::memcpy(l, local + static_cast<size_t>(at) * 64, sizeof l);
                    multiply(m, l, m);
                    if (at == 0) break;
                }
            }
            std::memcpy(chained.data() + node * 16, m, sizeof m);
        }
        std::memcpy(b.model_transforms_rw.data + base * 64, chained.data(), n * 64);
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
