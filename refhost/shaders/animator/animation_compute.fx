// Animation compute passes of the animator plug-in: turn every listed character's stack of timed
// sample records into model-space node matrices.
//
// Defines: NUM_NODES (N), MAX_NODE_PATH (P), MAX_ANIMATIONS_STACK_SIZE.
//
// Inputs (std430, 32-bit words):
//   animations               per clip, node and frame: rotation (x, y, z, w), translation (x, y, z)
//                            and a uniform scale; frame f of node n of clip c at
//                            clips_info[c].first + n * clips_info[c].frames + f
//   clips_info               per clip: first frame, node count, frames, ticks per second, vector;
//                            vector.w < 0 marks a clip that an override plays, its mask row being
//                            -vector.w - 1
//   node_paths               per node P ids: the node, its parent, ... the root (node 0); then 0s
//   masks                    per override row N weights; a weight > 0 gives the node to the override
//   per_instance_data        per instance slot 108 words: id, livery (3), flags, stack (100 record
//                            indices, bottom first), stack size, timeline start, timeline length
//   per_instance_animations  the record pool, 26 words per record: kind, 4 x (x, y, clip), start
//                            time, cycle duration, play length, loop, loop start, loop end, weight x,
//                            weight y, blend start, blend duration, override clip, reserved, id
//   instance_indices         the instance slots to evaluate, one work group each
//   model_time               seconds
//
// Pass 0 (one work group per listed instance): the model time is folded into the instance's idle
// timeline window (when its length is > 0); the record in effect is the newest stack entry that has
// started (the bottom one before any has); while it fades in (blend duration > 0 and the fade not
// complete, or before its blend start when it has none) it is blended with the entry below it. A
// record gives each node's local transform: a clip record samples its clip at its local time (inside
// its loop range once that is reached); 1-D and 2-D records share one phase over the blended cycle
// length and blend their samples (sample 0 towards 1 by weight x, 2 towards 3, then by weight y); an
// override laid over the record replaces the nodes of its mask with the override clip's sample. Keys
// are one per tick: a tick's key pair is found by index. Blends are rigid: quaternion slerp along the
// shorter arc, translation and scale linear. Writes N local matrices per instance slot to
// local_transforms_rw (slot * N + node).
//
// Pass 1 (one work group per listed instance): model[node] = local[root] * ... * local[parent] *
// local[node] along the node's path; writes N matrices per instance slot to model_transforms_rw.
//
// Matrices are stored as 16 floats in the host's row-major, row-vector memory order (translation in
// floats 12..14); read as GLSL mat4 they are column-vector matrices (m * v).
//
// Pass 2, the idle-timeline pass (one work group per listed instance j, instance slot i =
// instance_indices[j]): writes timeline[j] = (folded model time, stack slot in effect or -1 for an
// empty stack, fade weight of that slot over the one below (1 when it is not fading), whole timeline
// cycles completed (0 without a timeline)), and copies the instance's record to
// per_instance_data_rw[i] unchanged, so a host can double-buffer its per-instance data on the GPU.
// root_transform_index is bound and not read.

#pragma technique AnimationCompute pass 0 compute:evaluate_records
#pragma technique AnimationCompute pass 1 compute:chain_nodes
#pragma technique AnimationCompute pass 2 compute:timeline_state

#if defined(COMPUTE_STAGE)

#define GROUP_SIZE 64
layout(local_size_x = GROUP_SIZE) in;

#define INSTANCE_WORDS 108
#define STACK_OFFSET 5
#define STACK_SIZE_OFFSET 105
#define TIMELINE_START_OFFSET 106
#define TIMELINE_LENGTH_OFFSET 107
#define RECORD_WORDS 26

#define BS_RECORD_CLIP 0x0FFFFFF1u
#define BS_RECORD_1D 0x0FFFFFF2u
#define BS_RECORD_2D 0x0FFFFFF3u

struct Frame {
    vec4 rotation;
    vec4 translation;  // xyz, w = uniform scale
};

struct ClipInfo {
    uint first;
    uint nodes;
    int frames;
    float rate;
    vec4 vector;
};

layout(std430) readonly buffer animations { Frame g_frames[]; };
layout(std430) readonly buffer clips_info { ClipInfo g_clips[]; };
layout(std430) readonly buffer node_paths { int g_paths[]; };
layout(std430) readonly buffer masks { float g_masks[]; };
layout(std430) readonly buffer per_instance_data { int g_instances[]; };
layout(std430) writeonly buffer per_instance_data_rw { int g_instances_rw[]; };
layout(std430) readonly buffer per_instance_animations { uint g_records[]; };
layout(std430) readonly buffer instance_indices { int g_indices[]; };
layout(std430) writeonly buffer local_transforms_rw { mat4 g_locals_rw[]; };
layout(std430) readonly buffer local_transforms { mat4 g_locals[]; };
layout(std430) writeonly buffer model_transforms_rw { mat4 g_models_rw[]; };
layout(std430) writeonly buffer timeline { vec4 g_timeline[]; };

uniform float model_time;
uniform int root_transform_index;

// ---- small helpers

// C's fmod: the remainder has the sign of x.
float fmod_c(float x, float y) {
    float r = fma(-y, trunc(x / y), x);
    if (x >= 0.0 && r < 0.0) r += abs(y);
    if (x < 0.0 && r > 0.0) r -= abs(y);
    if (abs(r) >= abs(y)) r = 0.0;
    return r;
}

// Shorter-arc spherical interpolation; nearly equal quaternions interpolate linearly.
vec4 slerp(vec4 a, vec4 b, float t) {
    float d = dot(a, b);
    if (d < 0.0) {
        b = -b;
        d = -d;
    }
    if (d > 0.9995) return normalize(mix(a, b, t));
    float omega = 2.0 * atan(length(a - b), length(a + b));
    float s = sin(omega);
    return (sin((1.0 - t) * omega) / s) * a + (sin(t * omega) / s) * b;
}

struct Pose {
    vec4 q;
    vec3 p;
    float s;
};

Pose identity_pose() { return Pose(vec4(0.0, 0.0, 0.0, 1.0), vec3(0.0), 1.0); }

Pose blend(Pose a, Pose b, float t) {
    return Pose(slerp(normalize(a.q), normalize(b.q), t), mix(a.p, b.p, t), mix(a.s, b.s, t));
}

// Column-vector matrix of scale, then rotation, then translation.
mat4 matrix_of(Pose x) {
    vec4 q = normalize(x.q);
    float xx = q.x * q.x, yy = q.y * q.y, zz = q.z * q.z;
    float xy = q.x * q.y, xz = q.x * q.z, yz = q.y * q.z;
    float wx = q.w * q.x, wy = q.w * q.y, wz = q.w * q.z;
    vec3 c0 = vec3(1.0 - 2.0 * (yy + zz), 2.0 * (xy + wz), 2.0 * (xz - wy)) * x.s;
    vec3 c1 = vec3(2.0 * (xy - wz), 1.0 - 2.0 * (xx + zz), 2.0 * (yz + wx)) * x.s;
    vec3 c2 = vec3(2.0 * (xz + wy), 2.0 * (yz - wx), 1.0 - 2.0 * (xx + yy)) * x.s;
    return mat4(vec4(c0, 0.0), vec4(c1, 0.0), vec4(c2, 0.0), vec4(x.p, 1.0));
}

int clip_count() { return g_clips.length(); }

// A clip index held as a float; -1 for anything that is not a clip.
int clip_of(float v) {
    if (!(v >= 0.0 && v < 65535.0)) return -1;
    int c = int(v);
    return c < clip_count() ? c : -1;
}

float clip_duration(int c) {
    if (c < 0) return 0.0;
    float ticks = float(g_clips[c].frames - 1);
    float rate = g_clips[c].rate;
    return ticks > 0.0 && rate > 0.0 ? ticks / rate : 0.0;
}

// The local pose of a node in a clip at a time (seconds), looping or held at the ends.
Pose sample_clip(int c, int node, float time, bool looping) {
    if (c < 0) return identity_pose();
    ClipInfo info = g_clips[c];
    int frames = max(info.frames, 1);
    float duration = float(frames - 1);
    float tick = time * info.rate;
    if (!(duration > 0.0) || isnan(tick) || isinf(tick)) tick = 0.0;
    else if (looping) tick = fmod_c(tick, duration);
    else tick = clamp(tick, 0.0, duration);
    float t = clamp(tick, 0.0, duration);
    int k0 = int(t);
    int k1 = min(k0 + 1, frames - 1);
    float f = clamp(t - float(k0), 0.0, 1.0);
    uint base = info.first + uint(node) * uint(frames);
    uint last = base + uint(k1);
    if (node >= int(info.nodes) || last >= uint(g_frames.length())) return identity_pose();
    Frame a = g_frames[base + uint(k0)];
    Frame b = g_frames[last];
    return Pose(slerp(a.rotation, b.rotation, f), mix(a.translation.xyz, b.translation.xyz, f),
                mix(a.translation.w, b.translation.w, f));
}

// ---- records

uint record_count() { return uint(g_records.length()) / uint(RECORD_WORDS); }
float record_float(int r, int word) { return uintBitsToFloat(g_records[uint(r) * uint(RECORD_WORDS) + uint(word)]); }
uint record_kind(int r) { return g_records[uint(r) * uint(RECORD_WORDS)]; }

// What one record needs for every node, worked out once per instance.
struct Timing {
    uint kind;
    ivec4 clips;
    vec4 times;  // sample time of each clip
    float u, v;
    bool looping;
    int override_clip;
    int override_row;
    float override_time;
};

Timing timing_of(int r, float time) {
    Timing tm;
    tm.kind = 0u;
    tm.clips = ivec4(-1);
    tm.times = vec4(0.0);
    tm.u = 0.0;
    tm.v = 0.0;
    tm.looping = false;
    tm.override_clip = -1;
    tm.override_row = -1;
    tm.override_time = 0.0;
    if (r < 0) return tm;
    tm.kind = record_kind(r);
    float start = record_float(r, 13);
    float x = time - start;
    tm.looping = record_float(r, 16) > 0.0;
    for (int k = 0; k < 4; ++k) tm.clips[k] = clip_of(record_float(r, 3 + 3 * k));
    tm.u = record_float(r, 19);
    tm.v = record_float(r, 20);
    float local = x;
    if (tm.kind == BS_RECORD_CLIP) {
        float loop_start = record_float(r, 17), loop_end = record_float(r, 18);
        if (tm.looping && loop_start >= 0.0 && loop_end >= 0.0 && time >= start + loop_start && loop_end > loop_start)
            local = fmod_c(x, loop_end - loop_start) + loop_start;
        tm.times = vec4(local);
    } else if (tm.kind == BS_RECORD_1D || tm.kind == BS_RECORD_2D) {
        vec4 d = vec4(clip_duration(tm.clips[0]), clip_duration(tm.clips[1]), clip_duration(tm.clips[2]),
                      clip_duration(tm.clips[3]));
        float lower = d[0] * (1.0 - tm.u) + d[1] * tm.u;
        float upper = d[2] * (1.0 - tm.u) + d[3] * tm.u;
        float D = tm.kind == BS_RECORD_1D ? lower : lower * (1.0 - tm.v) + upper * tm.v;
        float phase = 0.0;
        if (D > 0.0) phase = tm.looping ? fmod_c(x, D) / D : clamp(x / D, 0.0, 1.0);
        tm.times = tm.kind == BS_RECORD_1D ? vec4(phase * D) : phase * d;
    } else {
        return tm;  // an empty or unknown record: identity, no override
    }
    float o = record_float(r, 23);
    if (o != -1.0) {
        int oc = clip_of(o);
        if (oc >= 0 && g_clips[oc].vector.w < 0.0) {
            tm.override_clip = oc;
            tm.override_row = int(-g_clips[oc].vector.w) - 1;
            tm.override_time = tm.kind == BS_RECORD_CLIP ? local : x;
        }
    }
    return tm;
}

Pose evaluate(Timing tm, int node) {
    Pose m;
    if (tm.kind == BS_RECORD_CLIP) {
        m = sample_clip(tm.clips[0], node, tm.times[0], tm.looping);
    } else if (tm.kind == BS_RECORD_1D) {
        m = blend(sample_clip(tm.clips[0], node, tm.times[0], tm.looping),
                  sample_clip(tm.clips[1], node, tm.times[1], tm.looping), tm.u);
    } else if (tm.kind == BS_RECORD_2D) {
        Pose lower = blend(sample_clip(tm.clips[0], node, tm.times[0], tm.looping),
                           sample_clip(tm.clips[1], node, tm.times[1], tm.looping), tm.u);
        Pose upper = blend(sample_clip(tm.clips[2], node, tm.times[2], tm.looping),
                           sample_clip(tm.clips[3], node, tm.times[3], tm.looping), tm.u);
        m = blend(lower, upper, tm.v);
    } else {
        return identity_pose();
    }
    if (tm.override_row >= 0) {
        uint w = uint(tm.override_row) * uint(NUM_NODES) + uint(node);
        if (w < uint(g_masks.length()) && g_masks[w] > 0.0)
            m = sample_clip(tm.override_clip, node, tm.override_time, tm.looping);
    }
    return m;
}

// ---- instances

bool valid_slot(int id) { return id >= 0 && uint(id) < uint(g_instances.length()) / uint(INSTANCE_WORDS); }
int instance_word(int id, int word) { return g_instances[uint(id) * uint(INSTANCE_WORDS) + uint(word)]; }

// The pool index of a stack slot, or -1 when it names no record.
int stack_record(int id, int slot) {
    int r = instance_word(id, STACK_OFFSET + slot);
    return r >= 0 && uint(r) < record_count() ? r : -1;
}

// A slot that names no record never counts as started.
float record_start(int r) { return r >= 0 ? record_float(r, 13) : 3.4e38; }

// Time, slot in effect, the slot below it and the fade weight of an instance.
struct StackState {
    float time;
    int slot;
    int below;   // -1 when nothing is blended in
    float fade;  // weight of the slot in effect over the one below
    float cycles;
};

StackState stack_state(int id, float t) {
    StackState st = StackState(t, -1, -1, 1.0, 0.0);
    int size = clamp(instance_word(id, STACK_SIZE_OFFSET), 0, MAX_ANIMATIONS_STACK_SIZE);
    float window_start = intBitsToFloat(instance_word(id, TIMELINE_START_OFFSET));
    float window_length = intBitsToFloat(instance_word(id, TIMELINE_LENGTH_OFFSET));
    if (window_length > 0.0) {
        st.cycles = floor((t - window_start) / window_length);
        st.time = fmod_c(t - window_start, window_length) + window_start;
    }
    if (size == 0) return st;
    t = st.time;
    st.slot = 0;
    if (record_start(stack_record(id, 0)) < t) {
        for (int i = 0; i < size; ++i) {
            int r = stack_record(id, i);
            if (r < 0) continue;
            if (t >= record_start(r) && (i + 1 == size || record_start(stack_record(id, i + 1)) > t)) {
                st.slot = i;
                break;
            }
        }
    }
    int next = stack_record(id, st.slot);
    if (st.slot == 0 || next < 0) return st;
    float blend_start = record_float(next, 21), blend_duration = record_float(next, 22);
    if (blend_duration > 0.0) {
        float w = clamp((t - blend_start) / blend_duration, 0.0, 1.0);
        if (w < 1.0) {
            st.below = st.slot - 1;
            st.fade = w;
        }
    } else if (blend_start > t) {
        st.slot = st.slot - 1;  // the entry has not switched in yet
    }
    return st;
}

shared Timing s_upper;
shared Timing s_lower;
shared float s_fade;
shared bool s_blend;
shared int s_slot_id;

void evaluate_records() {
    uint j = gl_WorkGroupID.x;
    if (j >= uint(g_indices.length())) return;
    int id = g_indices[j];
    if (!valid_slot(id) || uint(id + 1) * uint(NUM_NODES) > uint(g_locals_rw.length())) return;
    if (gl_LocalInvocationIndex == 0u) {
        StackState st = stack_state(id, model_time);
        s_upper = timing_of(st.slot >= 0 ? stack_record(id, st.slot) : -1, st.time);
        s_blend = st.below >= 0;
        s_lower = timing_of(st.below >= 0 ? stack_record(id, st.below) : -1, st.time);
        s_fade = st.fade;
    }
    barrier();
    Timing upper = s_upper, lower = s_lower;
    bool blended = s_blend;
    float fade = s_fade;
    for (uint node = gl_LocalInvocationIndex; node < uint(NUM_NODES); node += uint(GROUP_SIZE)) {
        Pose p = evaluate(upper, int(node));
        if (blended) p = blend(evaluate(lower, int(node)), p, fade);
        g_locals_rw[uint(id) * uint(NUM_NODES) + node] = matrix_of(p);
    }
}

void chain_nodes() {
    uint j = gl_WorkGroupID.x;
    if (j >= uint(g_indices.length())) return;
    int id = g_indices[j];
    uint base = uint(id) * uint(NUM_NODES);
    if (id < 0 || base + uint(NUM_NODES) > uint(g_locals.length()) ||
        base + uint(NUM_NODES) > uint(g_models_rw.length()))
        return;
    for (uint node = gl_LocalInvocationIndex; node < uint(NUM_NODES); node += uint(GROUP_SIZE)) {
        mat4 m = mat4(1.0);
        for (int k = 0; k < MAX_NODE_PATH; ++k) {
            int n = g_paths[node * uint(MAX_NODE_PATH) + uint(k)];
            if (n < 0 || n >= NUM_NODES) break;
            m = g_locals[base + uint(n)] * m;
            if (n == 0) break;
        }
        g_models_rw[base + node] = m;
    }
}

void timeline_state() {
    uint j = gl_WorkGroupID.x;
    if (j >= uint(g_indices.length())) return;
    int id = g_indices[j];
    if (!valid_slot(id)) return;
    if (gl_LocalInvocationIndex == 0u && j < uint(g_timeline.length())) {
        StackState st = stack_state(id, model_time);
        g_timeline[j] = vec4(st.time, float(st.slot), st.fade, st.cycles);
    }
    if (uint(id + 1) * uint(INSTANCE_WORDS) <= uint(g_instances_rw.length()))
        for (uint w = gl_LocalInvocationIndex; w < uint(INSTANCE_WORDS); w += uint(GROUP_SIZE))
            g_instances_rw[uint(id) * uint(INSTANCE_WORDS) + w] = g_instances[uint(id) * uint(INSTANCE_WORDS) + w];
}

#endif
