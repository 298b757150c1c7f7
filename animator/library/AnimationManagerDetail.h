// Helpers and limits shared by the source files of AnimationManager (internal, not part of its interface).
#pragma once
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "animator/library/AnimationManager.h"
#include "animator/util/MathUtils.h"
#include "host/Strings.h"
#include "host/Vfs.h"

namespace Animator {
namespace detail {

const char* const ANIMATIONS_ROOT = "/animations/";
// Clips longer than this (in seconds, or in ticks at any rate) are refused: a few bytes of a file could
// otherwise ask for gigabytes of keys and packed frames.
const double MAX_CLIP_SECONDS = 20.0 * 60.0;
const double MAX_CLIP_TICKS = 1 << 24;

// Forgets a global a data file sets, without running any code the files left behind (metamethods).
inline void clear_global(lua_State* L, const char* name) {
    lua_pushstring(L, name);
    lua_pushnil(L);
    lua_rawset(L, LUA_GLOBALSINDEX);
}

// "walk_fwd.FBX" -> ("walk_fwd", ".fbx"); no extension for names without a dot (or a leading one).
inline void split_entry(const std::string& entry, std::string& stem, std::string& ext) {
    const size_t slash = entry.find_last_of('/');
    const size_t dot = entry.find_last_of('.');
    if (dot == std::string::npos || dot == 0 || (slash != std::string::npos && dot < slash + 2)) {
        stem = entry;
        ext.clear();
        return;
    }
    stem = entry.substr(0, dot);
    ext = orn::toLower(entry.substr(dot));
}

// Reads up to `count` numbers of the list `name` of the current table; absent numbers keep `fill`.
inline bool read_numbers(Lua::Config& cfg, const char* name, float* out, int count, float fill) {
    if (!cfg.open(name)) return false;
    for (int i = 0; i < count; ++i) {
        out[i] = fill;
        cfg.read(i + 1, out[i]);
    }
    cfg.close();
    return true;
}

// The animation of a scene that is its clip: the only one; of several, the one bearing the take name
// of the common online animation library, else the last one that has channels, else the last.
aiAnimation* clip_animation_of(const aiScene* scene);

inline aiVector3D mix(const aiVector3D& a, const aiVector3D& b, float f) { return a + (b - a) * f; }
inline aiQuaternion mix(const aiQuaternion& a, const aiQuaternion& b, float f) {
    aiQuaternion out;
    aiQuaternion::Interpolate(out, a, b, f);
    return out;
}

// Scales closer to 1 than this are taken as 1.
const float UNIT_SCALE_TOLERANCE = 1e-5f;

// The uniform scale of a transform (the length of its first axis) and the transform without it.
inline float split_scale(aiMatrix4x4& m) {
    const float s = aiVector3D(m.a1, m.b1, m.c1).Length();
    if (std::fabs(s - 1.0f) <= UNIT_SCALE_TOLERANCE) return 1.0f;
    if (!(s > 1e-12f) || !std::isfinite(s)) {
        const aiVector3D p(m.a4, m.b4, m.c4);
        m = aiMatrix4x4();
        m.a4 = p.x, m.b4 = p.y, m.c4 = p.z;
        return s > 0.0f && std::isfinite(s) ? s : 0.0f;
    }
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m[r][c] /= s;
    return s;
}

// The rigid blend of two transforms (rotation by slerp, translation linearly) that carries their
// uniform scales linearly.
inline aiMatrix4x4 blend_scaled(aiMatrix4x4 a, aiMatrix4x4 b, float t) {
    const float sa = split_scale(a), sb = split_scale(b);
    aiMatrix4x4 r = blend_ai_matrices(a, b, t);
    if (sa == 1.0f && sb == 1.0f) return r;
    const float s = (1.0f - t) * sa + t * sb;
    for (int i = 0; i < 3; ++i)
        for (int c = 0; c < 3; ++c) r[i][c] *= s;
    return r;
}

// Reads a whole descriptor and runs it; true when the chunk ran (its first result is then on top).
inline bool run_descriptor(Lua::Config& cfg, const std::string& path) {
    std::vector<char> data;
    if (!ornvfs::read_file(path, data)) return false;
    return cfg.load_buffer(data.data(), data.size(), path.c_str());
}

}  // namespace detail
}  // namespace Animator
