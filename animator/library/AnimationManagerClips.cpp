// Clip import and preprocessing of AnimationManager: key mending, validation, root-motion extraction
// and the maintenance operations on clip keys.
#include <algorithm>
#include <cmath>
#include <cstring>

#include <assimp/cimport.h>

#include "animator/library/AnimationManager.h"
#include "animator/util/Log.h"
#include "animator/util/MathUtils.h"

namespace Animator {

namespace {

// Above this rate an imported clip is resampled at MENDED_RATE frames per second.
const double MAX_KEY_RATE = 60.0;
const double MENDED_RATE = 30.0;
// assimp's convention for a clip that gives no rate.
const double DEFAULT_TICKS_PER_SECOND = 25.0;
const double KEY_TIME_TOLERANCE = 1e-3;

aiVector3D mix(const aiVector3D& a, const aiVector3D& b, float f) { return a + (b - a) * f; }
aiQuaternion mix(const aiQuaternion& a, const aiQuaternion& b, float f) {
    aiQuaternion out;
    aiQuaternion::Interpolate(out, a, b, f);
    return out;
}

// The value of a key track at a time (ticks), by key time: held before the first and after the last
// key, interpolated between the bracketing keys otherwise. The track must hold at least one key.
template <class Key>
decltype(Key::mValue) value_at_time(const Key* keys, unsigned n, double t) {
    if (t <= keys[0].mTime || n == 1) return keys[0].mValue;
    if (t >= keys[n - 1].mTime) return keys[n - 1].mValue;
    const Key* upper = std::lower_bound(keys, keys + n, t, [](const Key& k, double v) { return k.mTime < v; });
    if (upper == keys) return keys[0].mValue;
    if (upper == keys + n) return keys[n - 1].mValue;
    const Key* lower = upper - 1;
    const double span = upper->mTime - lower->mTime;
    const float f = span > 0.0 ? static_cast<float>((t - lower->mTime) / span) : 0.0f;
    return mix(lower->mValue, upper->mValue, std::min(std::max(f, 0.0f), 1.0f));
}

// True when the track holds a single key, or `count` keys with key k at time k.
template <class Key>
bool is_per_tick(const Key* keys, unsigned n, unsigned count) {
    if (n == 1) return true;
    if (n != count || !keys) return false;
    for (unsigned k = 0; k < n; ++k)
        if (!(std::fabs(keys[k].mTime - k) <= KEY_TIME_TOLERANCE)) return false;
    return true;
}

// Replaces a track by `count` keys, key k at time k holding the old track's value at `source(k)`;
// a track with one key keeps it (at time 0) and an empty one gets the single key `rest`.
template <class Key, class Value, class Source>
void rebuild_track(Key*& keys, unsigned& n, unsigned count, const Value& rest, Source source) {
    if (n == 1 && keys) {
        keys[0].mTime = 0.0;
        return;
    }
    Key* rebuilt;
    if (n == 0 || !keys) {
        rebuilt = new Key[1];
        rebuilt[0].mTime = 0.0;
        rebuilt[0].mValue = rest;
        count = 1;
    } else {
        rebuilt = new Key[count];
        for (unsigned k = 0; k < count; ++k) {
            rebuilt[k].mTime = static_cast<double>(k);
            rebuilt[k].mValue = value_at_time(keys, n, source(k));
        }
    }
    delete[] keys;
    keys = rebuilt;
    n = count;
}

// The track rebuilding of resample_animation: N keys at whole ticks, bracketing by a linear search in
// float; a tick without a bracket becomes a key at time 0 holding `none`.
template <class Key, class Value>
void resample_track(Key*& keys, unsigned& n, int count, const Value& none) {
    if (n == 0 || !keys || n == 1 || n == static_cast<unsigned>(count)) return;
    Key* out = new Key[count];
    for (int i = 0; i < count; ++i) {
        const float tick = static_cast<float>(i);
        Key key;
        key.mTime = 0.0;
        key.mValue = none;
        if (static_cast<float>(keys[0].mTime) >= tick) {
            key = {static_cast<double>(i), keys[0].mValue};
        } else if (tick >= static_cast<float>(keys[n - 1].mTime)) {
            key = {static_cast<double>(i), keys[n - 1].mValue};
        } else {
            for (unsigned j = 1; j < n; ++j) {
                const float t0 = static_cast<float>(keys[j - 1].mTime), t1 = static_cast<float>(keys[j].mTime);
                if (t0 < tick && tick <= t1) {
                    const float f = (tick - t0) / (t1 - t0);
                    key = {static_cast<double>(i), mix(keys[j - 1].mValue, keys[j].mValue, f)};
                    break;
                }
            }
        }
        out[i] = key;
    }
    delete[] keys;
    keys = out;
    n = static_cast<unsigned>(count);
}

// q ⊗ v ⊗ q̄ for a pure vector v.
aiVector3D rotate(const aiQuaternion& q, const aiVector3D& v) {
    const aiQuaternion p(0.0f, v.x, v.y, v.z);
    const aiQuaternion c(q.w, -q.x, -q.y, -q.z);
    const aiQuaternion r = q * p * c;
    return aiVector3D(r.x, r.y, r.z);
}

osg::Matrixf rigid(const aiQuaternion& q, const aiVector3D& p) {
    return osg::Matrixf::rotate(osg::Quat(q.x, q.y, q.z, q.w)) * osg::Matrixf::translate(p.x, p.y, p.z);
}

}  // namespace

void AnimationManager::_mend_clip(aiAnimation* anim) const {
    const double rate = anim->mTicksPerSecond > 0.0 ? anim->mTicksPerSecond : DEFAULT_TICKS_PER_SECOND;
    const double duration = std::isfinite(anim->mDuration) && anim->mDuration > 0.0 ? anim->mDuration : 0.0;

    const bool whole = duration == std::floor(duration) && duration < 1e7;
    bool regular = anim->mTicksPerSecond > 0.0 && rate <= MAX_KEY_RATE && whole && anim->mDuration >= 0.0;
    const unsigned count = whole ? static_cast<unsigned>(duration) + 1 : 0;
    for (unsigned c = 0; regular && c < anim->mNumChannels; ++c) {
        const aiNodeAnim* ch = anim->mChannels[c];
        regular = ch && is_per_tick(ch->mPositionKeys, ch->mNumPositionKeys, count) &&
                  is_per_tick(ch->mRotationKeys, ch->mNumRotationKeys, count) &&
                  is_per_tick(ch->mScalingKeys, ch->mNumScalingKeys, count);
    }
    if (regular) return;

    // The clip keeps its length in seconds; it gets a whole number of ticks at (about) its own rate,
    // or at MENDED_RATE when its rate is above MAX_KEY_RATE, and one key per tick.
    const double seconds = duration / rate;
    double ticks = std::round(rate > MAX_KEY_RATE ? seconds * MENDED_RATE : duration);
    if (ticks < 1.0 && duration > 0.0) ticks = 1.0;
    ticks = std::min(ticks, 1e6);
    const double new_rate = seconds > 0.0 ? ticks / seconds : (rate > MAX_KEY_RATE ? MENDED_RATE : rate);
    const unsigned keys = static_cast<unsigned>(ticks) + 1;
    auto source = [&](unsigned k) { return ticks > 0.0 ? k * duration / ticks : 0.0; };

    for (unsigned c = 0; c < anim->mNumChannels; ++c) {
        aiNodeAnim* ch = anim->mChannels[c];
        if (!ch) continue;
        aiVector3D scaling(1, 1, 1), position(0, 0, 0);
        aiQuaternion rotation;
        const int id = _find_node(ch->mNodeName.C_Str());
        if (id >= 0 && id < static_cast<int>(_rest_transforms.size()))
            _rest_transforms[id].Decompose(scaling, rotation, position);
        rebuild_track(ch->mPositionKeys, ch->mNumPositionKeys, keys, position, source);
        rebuild_track(ch->mRotationKeys, ch->mNumRotationKeys, keys, rotation, source);
        rebuild_track(ch->mScalingKeys, ch->mNumScalingKeys, keys, scaling, source);
    }
    anim->mDuration = ticks;
    anim->mTicksPerSecond = new_rate;
}

void AnimationManager::load_animation(const aiScene* scene, const std::string& name, const PreprocessingOption& option) {
    if (!scene) return;
    std::lock_guard<orn::mutex> lock(_lock);
    AnimationDescription description;
    description.name = name;
    description.scene = scene;
    description.channels.assign(static_cast<size_t>(_num_nodes), nullptr);
    const int index = static_cast<int>(_clips.size());

    aiAnimation* anim = scene->mNumAnimations > 0 && scene->mAnimations ? scene->mAnimations[0] : nullptr;
    if (anim) {
        if (!_descriptor_scenes.count(scene)) _mend_clip(anim);
        validate_animation(anim);
        record_root_motion(anim, option, description);
        for (unsigned c = 0; c < anim->mNumChannels; ++c) {
            aiNodeAnim* ch = anim->mChannels[c];
            if (!ch) continue;
            const int id = _find_node(ch->mNodeName.C_Str());
            if (id < 0 || id >= _num_nodes)
                log_message(LOG_TAG, LOG_ERROR, "node '%s' not found in skeleton", ch->mNodeName.C_Str());
            else
                description.channels[id] = ch;
            _check_node_name_validity(ch, name);
            if (_name == ch->mNodeName.C_Str()) _process_root_motion(description, ch, option);
        }
    }
    _clip_index[name] = index;
    _clip_names.push_back(name);
    _clips.push_back(std::move(description));
}

bool AnimationManager::validate_animation(const aiAnimation* anim) {
    if (!anim) return false;
    const unsigned expected = static_cast<unsigned>(std::max(0.0, anim->mDuration + 1.0));
    bool valid = true;
    for (unsigned c = 0; c < anim->mNumChannels; ++c) {
        const aiNodeAnim* ch = anim->mChannels[c];
        if (!ch) continue;
        if (_find_node(ch->mNodeName.C_Str()) < 0)
            log_message(LOG_TAG, LOG_WARNING, "validate_animation: node '%s' not found in skeleton",
                        ch->mNodeName.C_Str());
        auto fits = [&](unsigned n) { return n == 1 || n == expected; };
        if (!fits(ch->mNumPositionKeys) || !fits(ch->mNumRotationKeys)) valid = false;
    }
    return valid;
}

void AnimationManager::_check_node_name_validity(const aiNodeAnim* channel, const std::string& file) {
    if (!channel) return;
    const char* node = channel->mNodeName.C_Str();
    for (const char* p = node; *p; ++p) {
        const unsigned char byte = static_cast<unsigned char>(*p);
        if (byte > 127)
            log_message(LOG_TAG, LOG_ERROR, "Non-ASCII sybmol [%c] found in node '%s', in file '%s'", *p, node,
                        file.c_str());
    }
}

void AnimationManager::record_root_motion(const aiAnimation* anim, const PreprocessingOption& option,
                                          AnimationDescription& description) {
    if (!anim || anim->mNumChannels == 0) return;
    const aiNodeAnim* root = nullptr;
    for (unsigned c = 0; c < anim->mNumChannels && !root; ++c) {
        const aiNodeAnim* ch = anim->mChannels[c];
        if (ch && std::strncmp(ch->mNodeName.C_Str(), _name.c_str(), MAXLEN - 1) == 0) root = ch;
    }
    if (!root) return;

    const unsigned P = root->mNumPositionKeys, R = root->mNumRotationKeys;
    if (P != R && std::min(P, R) >= 2)
        log_message(LOG_TAG, LOG_ERROR, "Inconsistent number of keys: rot = %d, pos = %d", static_cast<int>(R),
                    static_cast<int>(P));
    const unsigned K = std::max(P, R);
    if (K < 1) return;

    description.root_motion.clear();
    description.root_keys.clear();
    description.root_residuals.clear();
    for (unsigned k = 0; k < K; ++k) {
        const aiQuaternion q = R > 0 ? root->mRotationKeys[R < 2 ? 0 : std::min(k, R - 1)].mValue : aiQuaternion();
        const aiVector3D p = P > 0 ? root->mPositionKeys[P < 2 ? 0 : std::min(k, P - 1)].mValue : aiVector3D();
        RootMotionSample sample;
        sample.rotation[0] = q.x, sample.rotation[1] = q.y, sample.rotation[2] = q.z, sample.rotation[3] = q.w;
        sample.position[0] = p.x, sample.position[1] = p.y, sample.position[2] = p.z;
        sample.phase = anim->mDuration > 0.0 ? static_cast<float>(static_cast<double>(k) / anim->mDuration) : 0.0f;
        description.root_motion.push_back(sample);
        description.root_keys.push_back(rigid(q, p));
        description.root_residuals.push_back(osg::Matrixf::identity());
    }
}

void AnimationManager::_process_root_motion(AnimationDescription& description, aiNodeAnim* channel,
                                            const PreprocessingOption& option) {
    if (!channel) return;
    const unsigned P = channel->mNumPositionKeys, R = channel->mNumRotationKeys;
    // Every sample is processed (a track shorter than the other holds its last key), reading the
    // keys as imported while they are rewritten.
    const std::vector<aiVectorKey> positions(channel->mPositionKeys, channel->mPositionKeys + P);
    const std::vector<aiQuatKey> rotations(channel->mRotationKeys, channel->mRotationKeys + R);
    const unsigned K = std::max(P, R);
    const bool in_place = _name != "typeD";
    if (description.root_residuals.size() < K) description.root_residuals.resize(K, osg::Matrixf::identity());

    for (unsigned k = 0; k < K; ++k) {
        const unsigned rk = R > 0 ? std::min(k, R - 1) : 0, pk = P > 0 ? std::min(k, P - 1) : 0;
        const aiQuaternion q = R > 0 ? rotations[rk].mValue : aiQuaternion();
        const aiVector3D p = P > 0 ? positions[pk].mValue : aiVector3D();

        const aiVector3D facing = rotate(q, aiVector3D(1, 0, 0));
        const float h = angle_between_vectors(osg::Vec3f(1, 0, 0), osg::Vec3f(facing.x, 0.0f, facing.z));
        if (k < description.root_motion.size()) {
            RootMotionSample& s = description.root_motion[k];
            s.rotation[0] = 0.0f, s.rotation[1] = std::sin(h / 2.0f), s.rotation[2] = 0.0f;
            s.rotation[3] = std::cos(h / 2.0f);
            s.position[0] = p.x, s.position[1] = 0.0f, s.position[2] = p.z;
        }
        if (in_place) {
            if (k < P) channel->mPositionKeys[k].mValue = aiVector3D(0.0f, p.y, 0.0f);
            if (k < R) {
                const float c = std::cos(-h / 2.0f), s = std::sin(-h / 2.0f);
                channel->mRotationKeys[k].mValue = aiQuaternion(q.w * c - q.y * s, q.x * c + q.z * s,
                                                                q.y * c + q.w * s, q.z * c - q.x * s);
            }
        }
        const aiQuaternion now = R > 0 ? channel->mRotationKeys[rk].mValue : aiQuaternion();
        const aiVector3D at = P > 0 ? channel->mPositionKeys[pk].mValue : aiVector3D();
        description.root_residuals[k] = rigid(now, at);
    }
}

bool AnimationManager::resample_animation(aiAnimation* anim) {
    if (!anim) return true;
    const double n = anim->mDuration + 1.0;
    if (!(n >= 1.0) || n > 1e7) return true;
    const int count = static_cast<int>(n);
    for (unsigned c = 0; c < anim->mNumChannels; ++c) {
        aiNodeAnim* ch = anim->mChannels[c];
        if (!ch) continue;
        resample_track(ch->mPositionKeys, ch->mNumPositionKeys, count, aiVector3D(0, 0, 0));
        resample_track(ch->mRotationKeys, ch->mNumRotationKeys, count, aiQuaternion());
    }
    return true;
}

bool AnimationManager::check_loop(const aiScene* scene, int animation_index) {
    if (!scene || animation_index < 0 || animation_index >= static_cast<int>(scene->mNumAnimations)) return true;
    const aiAnimation* anim = scene->mAnimations[animation_index];
    for (unsigned c = 0; anim && c < anim->mNumChannels; ++c) {
        const aiNodeAnim* ch = anim->mChannels[c];
        if (!ch || ch->mNumRotationKeys == 0) continue;
        const aiQuaternion& a = ch->mRotationKeys[0].mValue;
        const aiQuaternion& b = ch->mRotationKeys[ch->mNumRotationKeys - 1].mValue;
        const float d[4] = {a.w - b.w, a.x - b.x, a.y - b.y, a.z - b.z};
        for (float v : d)
            if (!(std::fabs(v) <= 0.001f)) return false;
    }
    return true;
}

}  // namespace Animator
