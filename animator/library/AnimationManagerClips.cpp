// Clip entries of a library directory (files and Lua descriptors), scene import and the clip accessors.
#include "animator/library/AnimationManager.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <assimp/cimport.h>

#include "animator/library/AnimationManagerDetail.h"
#include "animator/library/AssbinCheck.h"
#include "animator/util/Log.h"
#include "host/Vfs.h"

namespace Animator {

using detail::clear_global;
using detail::clip_animation_of;
using detail::MAX_CLIP_SECONDS;
using detail::MAX_CLIP_TICKS;
using detail::read_numbers;
using detail::split_entry;

namespace {

// The take name that a common online animation library writes into its files.
const char* const LIBRARY_TAKE_NAME = "mixamo.com";
// A descriptor asking for more keys than this is refused rather than allocated.
const int MAX_DESCRIPTOR_KEYS = 1 << 20;

// Why a clip of `ticks` ticks at `rate` ticks per second (none: the default rate) is refused, or null.
const char* clip_length_fault(double ticks, double rate) {
    if (!std::isfinite(ticks) || !std::isfinite(rate)) return "has a duration that is not a number";
    const double per_second = rate > 0.0 ? rate : DEFAULT_TICKS_PER_SECOND;
    if (ticks > MAX_CLIP_TICKS || ticks / per_second > MAX_CLIP_SECONDS) return "is longer than 20 minutes";
    return nullptr;
}

// The same for an imported scene: every animation, by its duration and by its last key.
const char* scene_length_fault(const aiScene* scene) {
    for (unsigned a = 0; scene && scene->mAnimations && a < scene->mNumAnimations; ++a) {
        const aiAnimation* anim = scene->mAnimations[a];
        if (!anim) continue;
        double last = anim->mDuration;
        for (unsigned c = 0; anim->mChannels && c < anim->mNumChannels; ++c) {
            const aiNodeAnim* ch = anim->mChannels[c];
            if (!ch) continue;
            if (ch->mPositionKeys && ch->mNumPositionKeys)
                last = std::max(last, ch->mPositionKeys[ch->mNumPositionKeys - 1].mTime);
            if (ch->mRotationKeys && ch->mNumRotationKeys)
                last = std::max(last, ch->mRotationKeys[ch->mNumRotationKeys - 1].mTime);
            if (ch->mScalingKeys && ch->mNumScalingKeys)
                last = std::max(last, ch->mScalingKeys[ch->mNumScalingKeys - 1].mTime);
        }
        if (const char* fault = clip_length_fault(last, anim->mTicksPerSecond)) return fault;
    }
    return nullptr;
}

}  // namespace

aiAnimation* detail::clip_animation_of(const aiScene* scene) {
    if (!scene || scene->mNumAnimations == 0 || !scene->mAnimations) return nullptr;
    const unsigned n = scene->mNumAnimations;
    if (n == 1) return scene->mAnimations[0];
    for (unsigned i = 0; i < n; ++i)
        if (scene->mAnimations[i] && std::strcmp(scene->mAnimations[i]->mName.C_Str(), LIBRARY_TAKE_NAME) == 0)
            return scene->mAnimations[i];
    for (unsigned i = n; i-- > 0;)
        if (scene->mAnimations[i] && scene->mAnimations[i]->mNumChannels > 0) return scene->mAnimations[i];
    return scene->mAnimations[n - 1];
}

void AnimationManager::_load_clip_entry(const std::string& dir, const std::string& entry,
                                        const PreprocessingOption& option, SkeletonGate& skeleton) {
    std::string stem, ext;
    split_entry(entry, stem, ext);
    const std::string name = orn::toLower(stem);
    std::vector<char> data;

    if (ext == ".lua") {
        // A descriptor names its bones, which are looked up in the skeleton while it is read.
        if (!_skeleton_ready(skeleton)) return;
        ScenePtr scene;
        {
            std::lock_guard<std::mutex> lua_lock(_lua_lock);
            Lua::StackGuard guard(_lua);
            lua_pushvalue(_lua, LUA_GLOBALSINDEX);
            Lua::Config cfg(_lua);
            if (!ornvfs::read_file(dir + "/" + entry, data)) return;
            clear_global(_lua, "orn_character_animation");
            if (!cfg.load_buffer(data.data(), data.size(), entry.c_str())) return;
            lua_pop(_lua, 1);
            if (!cfg.open("orn_character_animation")) return;
            scene = _build_descriptor_scene(cfg);
            if (!scene) log_message(LOG_TAG, LOG_ERROR, "error loading animation %s", entry.c_str());
            if (scene && cfg.failed()) {
                log_message(LOG_TAG, LOG_ERROR, "error loading animation %s", entry.c_str());
                return;
            }
        }
        if (!scene) return;
        {
            std::lock_guard<orn::mutex> lock(_lock);
            _descriptor_scenes.insert(scene.get());
        }
        load_animation(std::move(scene), name, option);
        return;
    }

    if (ext == ".fbx" || ext == ".assbin" || ext == ".anim") {
        // Reading and importing need no skeleton; what they found is reported once it has loaded.
        const bool read = ornvfs::read_file(dir + "/" + entry, data) && !data.empty();
        ScenePtr scene(read && AssbinCheck::accept(data.data(), data.size(), entry)
                           ? import_clip_from_memory(data.data(), data.size())
                           : nullptr);
        if (!_skeleton_ready(skeleton)) return;
        if (!read) {
            log_message(LOG_TAG, LOG_ERROR, "can not read '%s'", entry.c_str());
            return;
        }
        if (!scene) {
            log_message(LOG_TAG, LOG_ERROR, "error loading animation %s", entry.c_str());
            return;
        }
        if (const char* fault = scene_length_fault(scene.get())) {
            log_message(LOG_TAG, LOG_ERROR, "animation %s %s", entry.c_str(), fault);
            return;
        }
        load_animation(std::move(scene), name, option);
    }
}

ScenePtr AnimationManager::_build_descriptor_scene(Lua::Config& cfg) {
    int rate = -1, duration = -1;
    cfg.read("rate", rate);
    cfg.read("duration", duration);
    if (duration >= MAX_DESCRIPTOR_KEYS || clip_length_fault(duration, rate)) {
        log_message(LOG_TAG, LOG_ERROR, "clip duration %d is too long", duration);
        return nullptr;
    }
    const unsigned keys = duration >= 0 ? static_cast<unsigned>(duration) + 1 : 0;

    aiScene* scene = new aiScene();
    ScenePtr owner(scene);
    scene->mRootNode = new aiNode("scene");
    aiAnimation* anim = new aiAnimation();
    anim->mTicksPerSecond = rate;
    anim->mDuration = duration;
    scene->mNumAnimations = 1;
    scene->mAnimations = new aiAnimation*[1]{anim};

    std::vector<aiNodeAnim*> channels;
    lua_State* L = cfg.state();
    if (cfg.open("animation")) {
        lua_pushnil(L);
        while (cfg.next()) {
            std::string node;
            if (!cfg.key(node) || !lua_istable(L, -1) || node.size() >= MAXLEN || _find_node(node) < 0) {
                lua_pop(L, 1);
                continue;
            }
            aiNodeAnim* ch = new aiNodeAnim();
            ch->mNodeName.Set(node);
            ch->mNumPositionKeys = ch->mNumRotationKeys = ch->mNumScalingKeys = keys;
            ch->mPositionKeys = new aiVectorKey[keys];
            ch->mRotationKeys = new aiQuatKey[keys];
            ch->mScalingKeys = new aiVectorKey[keys];
            for (unsigned k = 0; k < keys; ++k) {
                ch->mPositionKeys[k] = aiVectorKey(0.0, aiVector3D(0, 0, 0));
                ch->mScalingKeys[k] = aiVectorKey(0.0, aiVector3D(0, 0, 0));
                ch->mRotationKeys[k] = aiQuatKey(0.0, aiQuaternion());
            }
            // Frames beyond the key count are ignored; a list missing from a frame is skipped.
            for (unsigned i = 1; i <= keys && cfg.open(static_cast<int>(i)); ++i) {
                float v[4];
                if (read_numbers(cfg, "s", v, 3, FLT_MAX))
                    ch->mScalingKeys[i - 1] = aiVectorKey(i, aiVector3D(v[0], v[1], v[2]));
                if (read_numbers(cfg, "t", v, 3, FLT_MAX))
                    ch->mPositionKeys[i - 1] = aiVectorKey(i, aiVector3D(v[0], v[1], v[2]));
                if (read_numbers(cfg, "r", v, 4, FLT_MAX))
                    ch->mRotationKeys[i - 1] = aiQuatKey(i, aiQuaternion(v[3], v[0], v[1], v[2]));
                cfg.close();
            }
            channels.push_back(ch);
            lua_pop(L, 1);
        }
        cfg.close();
    }
    anim->mNumChannels = static_cast<unsigned>(channels.size());
    if (!channels.empty()) {
        anim->mChannels = new aiNodeAnim*[channels.size()];
        std::copy(channels.begin(), channels.end(), anim->mChannels);
    }
    return owner;
}

// ---------------------------------------------------------------------------------------------------
// Clip accessors

const aiAnimation* AnimationManager::_clip_animation(int clip) const {
    if (clip < 0 || clip >= static_cast<int>(_clips.size())) return nullptr;
    return clip_animation_of(_clips[clip].scene.get());
}

const aiAnimation* AnimationManager::get_clip_animation(int clip) const { return _clip_animation(clip); }

unsigned short AnimationManager::get_animation_index(const std::string& name) const {
    auto it = _clip_index.find(orn::toLower(name));
    if (it == _clip_index.end()) {
        log_message(LOG_TAG, LOG_ERROR, "animation '%s' not found", name.c_str());
        return INVALID_CLIP;
    }
    return static_cast<unsigned short>(it->second);
}

int AnimationManager::get_default_animation_index(std::string& name) const {
    name = _default_animation_name;
    return _default_animation_index;
}

std::vector<const char*> AnimationManager::get_animation_names() const {
    std::vector<const char*> names;
    names.reserve(_clip_names.size());
    for (const std::string& n : _clip_names) names.push_back(n.c_str());
    return names;
}

const aiScene* AnimationManager::get_animation(int clip, std::string& name) const {
    if (clip < 0 || clip >= static_cast<int>(_clips.size())) {
        name.clear();
        return nullptr;
    }
    name = _clips[clip].name;
    return _clips[clip].scene.get();
}

float AnimationManager::get_animation_duration(int clip) const {
    const aiAnimation* anim = _clip_animation(clip);
    if (!anim) return 0.0f;
    return static_cast<float>(ClipRuntime::duration_of(anim) / ClipRuntime::rate_of(anim));
}

float AnimationManager::get_animation_duration(const std::string& name) const {
    return get_animation_duration(static_cast<int>(get_animation_index(name)));
}

const AnimationManager::AnimationDescription* AnimationManager::get_description(int clip) const {
    if (clip < 0 || clip >= static_cast<int>(_clips.size())) return nullptr;
    return &_clips[clip];
}

}  // namespace Animator
