// Clip preprocessing on import: key mending, validation, root motion extraction, resampling, loop check.
#include "animator/library/AnimationManager.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "animator/library/AnimationManagerDetail.h"
#include "animator/util/Log.h"
#include "animator/util/MathUtils.h"

namespace Animator {

using detail::clip_animation_of;
using detail::mix;

namespace {

const double KEY_TIME_TOLERANCE = 1e-3;
// A key time lies on a grid when it is within this fraction of a step from a grid point.
const double GRID_TOLERANCE = 0.01;
// Key times closer than this (ticks) count as one.
const double SAME_TIME = 1e-6;
// Clips on no common grid are resampled RESAMPLE_DIVISIONS times finer than their densest key interval
// (which keeps the corners that their keys make within a small angle), at no fewer keys per second than
// MIN_KEY_RATE and no more than MAX_KEY_RATE; no clip gets more than MAX_MENDED_KEYS keys per track.
const double RESAMPLE_DIVISIONS = 4.0;
const double MIN_KEY_RATE = 30.0;
const double MAX_KEY_RATE = 1000.0;
const double MAX_MENDED_KEYS = 1e6;
// Scaling keys whose components differ by less than this fraction count as uniform.
const float UNIFORM_SCALE_TOLERANCE = 1e-4f;

// The values of a key track at times (ticks) that never decrease, by key time: held before the first
// and after the last key, interpolated between the bracketing keys otherwise. The bracket is found by
// walking on from the last one, so a whole track costs one pass over its keys. The track must hold at
// least one key.
template <class Key>
class TrackWalk {
public:
    TrackWalk(const Key* keys, unsigned n) : _keys(keys), _n(n) {}

    decltype(Key::mValue) at(double t) {
        const Key* keys = _keys;
        if (t <= keys[0].mTime || _n == 1) return keys[0].mValue;
        if (t >= keys[_n - 1].mTime) return keys[_n - 1].mValue;
        while (_upper + 1 < _n && keys[_upper].mTime < t) ++_upper;  // the first key at or after t
        if (_upper == 0) return keys[0].mValue;
        const Key& lower = keys[_upper - 1];
        const Key& upper = keys[_upper];
        const double span = upper.mTime - lower.mTime;
        const float f = span > 0.0 ? static_cast<float>((t - lower.mTime) / span) : 0.0f;
        return mix(lower.mValue, upper.mValue, std::min(std::max(f, 0.0f), 1.0f));
    }

private:
    const Key* _keys;
    unsigned _n;
    unsigned _upper = 0;
};

// True when the track holds a single key, or `count` keys with key k at time k.
template <class Key>
bool is_per_tick(const Key* keys, unsigned n, unsigned count) {
    if (n == 1) return true;
    if (n != count || !keys) return false;
    for (unsigned k = 0; k < n; ++k)
        if (!(std::fabs(keys[k].mTime - k) <= KEY_TIME_TOLERANCE)) return false;
    return true;
}

// Replaces a track by `count` keys, key k at time k holding the old track's value at `source(k)` (which
// must not decrease with k);
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
        TrackWalk<Key> track(keys, n);
        for (unsigned k = 0; k < count; ++k) {
            rebuilt[k].mTime = static_cast<double>(k);
            rebuilt[k].mValue = track.at(source(k));
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

// What the key times of a clip's tracks of several keys tell: the step of a grid anchored at tick 0 on
// which all of them lie (0 when there is none) and the smallest interval between two of them.
struct KeyTimes {
    double grid = 1.0;
    double densest = 0.0;
};

KeyTimes key_times(const aiAnimation* anim) {
    std::vector<double> times;
    auto gather = [&](const auto* keys, unsigned n) {
        if (n < 2 || !keys) return;
        for (unsigned k = 0; k < n; ++k) times.push_back(keys[k].mTime);
    };
    for (unsigned c = 0; c < anim->mNumChannels; ++c) {
        const aiNodeAnim* ch = anim->mChannels[c];
        if (!ch) continue;
        gather(ch->mPositionKeys, ch->mNumPositionKeys);
        gather(ch->mRotationKeys, ch->mNumRotationKeys);
        gather(ch->mScalingKeys, ch->mNumScalingKeys);
    }
    KeyTimes out;
    if (times.empty()) return out;  // constant tracks only: any tick will do
    for (double t : times)
        if (!std::isfinite(t)) return {0.0, 1.0};
    times.push_back(0.0);
    std::sort(times.begin(), times.end());
    double smallest = 0.0, largest = 0.0;
    for (size_t i = 1; i < times.size(); ++i) {
        const double gap = times[i] - times[i - 1];
        if (gap > SAME_TIME && (smallest == 0.0 || gap < smallest)) smallest = gap;
    }
    for (double t : times) largest = std::max(largest, std::fabs(t));
    out.densest = smallest > 0.0 ? smallest : 1.0;
    out.grid = 0.0;
    if (smallest <= 0.0) return {1.0, 1.0};
    // The smallest interval is the step, or a whole multiple of it when keys are missing here and there.
    for (int parts = 1; parts <= 4 && out.grid == 0.0; ++parts) {
        double step = smallest / parts;
        const double steps = std::round(largest / step);
        if (steps < 1.0) continue;
        step = largest / steps;  // the step that the farthest key gives most precisely
        bool on_grid = true;
        for (size_t i = 0; i < times.size() && on_grid; ++i) {
            const double at = times[i] / step;
            on_grid = std::fabs(at - std::round(at)) <= GRID_TOLERANCE;
        }
        if (on_grid) out.grid = std::fabs(step - 1.0) <= KEY_TIME_TOLERANCE * GRID_TOLERANCE ? 1.0 : step;
    }
    return out;
}

// Makes every scaling key uniform (x = y = z): a nearly uniform key takes the mean of its components,
// any other the uniform scale of equal volume, and one that is not a finite scale (or, in a clip
// descriptor, a key that no frame filled) becomes 1. Answers how many channels held keys of the
// second or third kind.
unsigned make_scaling_uniform(aiAnimation* anim, bool descriptor) {
    unsigned changed = 0;
    for (unsigned c = 0; c < anim->mNumChannels; ++c) {
        aiNodeAnim* ch = anim->mChannels[c];
        if (!ch || !ch->mScalingKeys) continue;
        bool mixed = false;
        for (unsigned k = 0; k < ch->mNumScalingKeys; ++k) {
            aiVectorKey& key = ch->mScalingKeys[k];
            const aiVector3D v = key.mValue;
            if (descriptor && key.mTime == 0.0) {
                key.mValue = aiVector3D(1, 1, 1);  // not filled by any frame
                continue;
            }
            const float large = std::max(std::fabs(v.x), std::max(std::fabs(v.y), std::fabs(v.z)));
            const float small = std::min(std::fabs(v.x), std::min(std::fabs(v.y), std::fabs(v.z)));
            float u = 1.0f;
            if (!std::isfinite(large) || large > 1e30f) {
                mixed = true;
            } else if (v.x == v.y && v.y == v.z) {
                continue;
            } else if (large - small <= UNIFORM_SCALE_TOLERANCE * large && (v.x >= 0) == (v.y >= 0) &&
                       (v.y >= 0) == (v.z >= 0)) {
                u = (v.x + v.y + v.z) / 3.0f;
            } else {
                u = static_cast<float>(std::cbrt(std::fabs(double(v.x) * v.y * v.z)));
                mixed = true;
            }
            key.mValue = aiVector3D(u, u, u);
        }
        if (mixed) ++changed;
    }
    return changed;
}

// Gives a channel without scaling keys one key of its node's rest scale (made uniform).
void give_scaling_key(aiNodeAnim* ch, const aiMatrix4x4& rest) {
    aiVector3D scaling, position;
    aiQuaternion rotation;
    rest.Decompose(scaling, rotation, position);
    const float u = static_cast<float>(std::cbrt(std::fabs(double(scaling.x) * scaling.y * scaling.z)));
    delete[] ch->mScalingKeys;
    ch->mScalingKeys = new aiVectorKey[1]{aiVectorKey(0.0, aiVector3D(u, u, u))};
    ch->mNumScalingKeys = 1;
}

// Key k of a channel as a local transform (each track read at min(k, its key count - 1)); an empty
// track takes the value of `rest`.
aiMatrix4x4 key_matrix(const aiNodeAnim* ch, unsigned k, const aiMatrix4x4& rest) {
    aiVector3D scaling, position;
    aiQuaternion rotation;
    rest.Decompose(scaling, rotation, position);
    if (ch->mNumScalingKeys > 0) scaling = ch->mScalingKeys[std::min(k, ch->mNumScalingKeys - 1)].mValue;
    if (ch->mNumRotationKeys > 0) rotation = ch->mRotationKeys[std::min(k, ch->mNumRotationKeys - 1)].mValue;
    if (ch->mNumPositionKeys > 0) position = ch->mPositionKeys[std::min(k, ch->mNumPositionKeys - 1)].mValue;
    return aiMatrix4x4(scaling, rotation, position);
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
    const double rate = ClipRuntime::rate_of(anim), duration = ClipRuntime::duration_of(anim);
    const double seconds = duration / rate;
    const KeyTimes times = key_times(anim);

    // The new tick: the grid step of the source keys when they have one (so that every key is hit),
    // else a step no coarser than the densest key interval.
    double step = times.grid;
    double new_duration = 0.0, new_rate = rate;
    const bool on_grid = step > 0.0 && duration / step <= MAX_MENDED_KEYS &&
                         rate / step <= MAX_KEY_RATE * (1.0 + GRID_TOLERANCE);
    if (on_grid) {
        new_duration = duration / step;
        if (std::fabs(new_duration - std::round(new_duration)) <= KEY_TIME_TOLERANCE)
            new_duration = std::round(new_duration);
        new_rate = seconds > 0.0 ? new_duration / seconds : rate / step;
    } else {
        double interval = std::min(times.densest / rate, 1.0 / MIN_KEY_RATE) / RESAMPLE_DIVISIONS;
        interval = std::max(interval, 1.0 / MAX_KEY_RATE);
        new_duration = std::min(std::ceil(seconds / interval - KEY_TIME_TOLERANCE), MAX_MENDED_KEYS);
        if (new_duration < 1.0 && duration > 0.0) new_duration = 1.0;
        new_rate = seconds > 0.0 ? new_duration / seconds : rate;
        step = new_duration > 0.0 ? duration / new_duration : 1.0;
    }
    const unsigned keys = static_cast<unsigned>(new_duration) + 1;

    // A clip already holding one key per tick at its own rate is left as it is.
    bool regular =
        anim->mTicksPerSecond > 0.0 && anim->mDuration == duration && step == 1.0 && new_duration == duration;
    for (unsigned c = 0; regular && c < anim->mNumChannels; ++c) {
        const aiNodeAnim* ch = anim->mChannels[c];
        regular = ch && is_per_tick(ch->mPositionKeys, ch->mNumPositionKeys, keys) &&
                  is_per_tick(ch->mRotationKeys, ch->mNumRotationKeys, keys) &&
                  is_per_tick(ch->mScalingKeys, ch->mNumScalingKeys, keys);
    }
    if (regular) return;

    auto source = [&](unsigned k) { return k * step; };
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
    anim->mDuration = new_duration;
    anim->mTicksPerSecond = new_rate;
}

void AnimationManager::load_animation(ScenePtr owned, const std::string& name, const PreprocessingOption& option) {
    if (!owned) return;
    const aiScene* scene = owned.get();
    std::lock_guard<orn::mutex> lock(_lock);
    AnimationDescription description;
    description.name = name;
    description.scene = std::move(owned);
    description.channels.assign(static_cast<size_t>(_num_nodes), nullptr);
    const int index = static_cast<int>(_clips.size());

    if (scene->mNumAnimations > 1)
        log_message(LOG_TAG, LOG_WARNING, "animation %s contains multiple animations (%d)", name.c_str(),
                    static_cast<int>(scene->mNumAnimations));
    aiAnimation* anim = clip_animation_of(scene);
    if (anim) {
        const bool descriptor = _descriptor_scenes.count(scene) > 0;
        if (!descriptor) _mend_clip(anim);
        if (const unsigned mixed = make_scaling_uniform(anim, descriptor))
            log_message(LOG_TAG, LOG_WARNING,
                        "animation %s: non-uniform scale on %d channels, replaced by the uniform scale of "
                        "equal volume",
                        name.c_str(), static_cast<int>(mixed));
        validate_animation(anim);
        record_root_motion(anim, option, description);
        // A node animated by several channels follows the first; so does the root motion.
        aiNodeAnim* root = nullptr;
        for (unsigned c = 0; c < anim->mNumChannels; ++c) {
            aiNodeAnim* ch = anim->mChannels[c];
            if (!ch) continue;
            const int id = _find_node(ch->mNodeName.C_Str());
            if (id < 0 || id >= _num_nodes) {
                log_message(LOG_TAG, LOG_ERROR, "node '%s' not found in skeleton", ch->mNodeName.C_Str());
            } else if (!description.channels[id]) {
                description.channels[id] = ch;
                if (ch->mNumScalingKeys == 0) give_scaling_key(ch, _rest_transforms[id]);
            }
            _check_node_name_validity(ch, name);
            if (!root && _name == ch->mNodeName.C_Str()) root = ch;
        }
        if (root) _process_root_motion(description, root, option);
    }
    _clip_index[name] = index;
    _clip_names.push_back(name);
    _clips.push_back(std::move(description));
    // A clip added to a loaded library joins the runtime form at once (init builds it once for all).
    if (_loaded) _runtime.build(*this, _node_ids);
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

    // Heading and travel are taken in model space: through the transform of the root's parents (their
    // keys of the same index where the clip animates them), which may turn and scale the root's space.
    const int id = _find_node(channel->mNodeName.C_Str());
    const std::vector<uint32_t> none;
    const std::vector<uint32_t>& path = id >= 0 && id < static_cast<int>(_node_paths.size()) ? _node_paths[id] : none;
    auto parents_at = [&](unsigned k) {
        aiMatrix4x4 m;
        for (size_t j = path.size(); j-- > 1;) {
            const uint32_t a = path[j];
            const aiNodeAnim* ch = a < description.channels.size() ? description.channels[a] : nullptr;
            m = m * (ch ? key_matrix(ch, k, _rest_transforms[a]) : _rest_transforms[a]);
        }
        return m;
    };

    for (unsigned k = 0; k < K; ++k) {
        const unsigned rk = R > 0 ? std::min(k, R - 1) : 0, pk = P > 0 ? std::min(k, P - 1) : 0;
        const aiQuaternion q = R > 0 ? rotations[rk].mValue : aiQuaternion();
        const aiVector3D p = P > 0 ? positions[pk].mValue : aiVector3D();
        const aiMatrix4x4 parents = parents_at(k);
        const bool plain = parents == aiMatrix4x4();

        const aiVector3D facing = aiMatrix3x3(parents) * rotate(q, aiVector3D(1, 0, 0));
        const aiVector3D at = parents * p;
        const float h = angle_between_vectors(osg::Vec3f(1, 0, 0), osg::Vec3f(facing.x, 0.0f, facing.z));
        if (k < description.root_motion.size()) {
            RootMotionSample& s = description.root_motion[k];
            s.rotation[0] = 0.0f, s.rotation[1] = std::sin(h / 2.0f), s.rotation[2] = 0.0f;
            s.rotation[3] = std::cos(h / 2.0f);
            s.position[0] = at.x, s.position[1] = 0.0f, s.position[2] = at.z;
        }
        if (in_place) {
            const float c = std::cos(-h / 2.0f), s = std::sin(-h / 2.0f);
            if (plain) {
                if (k < P) channel->mPositionKeys[k].mValue = aiVector3D(0.0f, p.y, 0.0f);
                if (k < R)
                    channel->mRotationKeys[k].mValue = aiQuaternion(q.w * c - q.y * s, q.x * c + q.z * s,
                                                                    q.y * c + q.w * s, q.z * c - q.x * s);
            } else {
                // The root's world transform loses the heading and the travel: its local key becomes
                // parents^-1 * unturn * parents * key.
                aiMatrix4x4 unturn(aiQuaternion(c, 0.0f, s, 0.0f).GetMatrix());
                aiMatrix4x4 back;
                aiMatrix4x4::Translation(aiVector3D(-at.x, 0.0f, -at.z), back);
                aiMatrix4x4 inverse = parents;
                inverse.Inverse();
                const aiMatrix4x4 change = inverse * unturn * back * parents;
                aiVector3D scaling, offset;
                aiQuaternion turn;
                change.Decompose(scaling, turn, offset);
                if (k < P) channel->mPositionKeys[k].mValue = change * p;
                if (k < R) channel->mRotationKeys[k].mValue = (turn * q).Normalize();
            }
        }
        const aiQuaternion now = R > 0 ? channel->mRotationKeys[rk].mValue : aiQuaternion();
        const aiVector3D now_at = P > 0 ? channel->mPositionKeys[pk].mValue : aiVector3D();
        description.root_residuals[k] = rigid(now, now_at);
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
