#include "animator/model/CharacterModelStatic.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/util/Log.h"

namespace Animator {

namespace {

// The most slots one timeline may deal; a larger count is cut (the stack shows only 100 anyway).
constexpr int MAX_TIMELINE_SLOTS = 100000;

// End-of-frame hook of a model (renderer event 8).
class CharacterModelCallback : public Graphics::RendererCallback {
public:
    explicit CharacterModelCallback(CharacterModelStatic* model) : _model(model) {}
    void onEvent(int) override { _model->end_frame(); }

private:
    CharacterModelStatic* _model;
};

uint64_t timeline_seed(float t, float random) {
    uint64_t seed = 0;
    if (std::isfinite(t)) {
        const double frac = static_cast<double>(t) - std::trunc(static_cast<double>(t));
        seed = static_cast<uint64_t>(static_cast<int64_t>(static_cast<float>(frac) * 1000.0f));
    }
    const float scaled = random * 18446744073709551616.0f;  // random * 2^64, in float
    if (std::isfinite(scaled) && scaled > 0.0f && scaled < 18446744073709551616.0f)
        seed += static_cast<uint64_t>(scaled);
    return seed;
}

}  // namespace

CharacterModelStatic::CharacterModelStatic(const char* name, const char* path)
    : CharacterModelBase(name, path), CharacterModelReflection(this) {
    _callback = std::make_unique<CharacterModelCallback>(this);
    Graphics::registerRendererCallback(_callback.get(), 8, -1);
}

CharacterModelStatic::~CharacterModelStatic() {
    _callback.reset();  // unregisters itself
}

std::unique_ptr<model::ModelCookie> CharacterModelStatic::createCookie() {
    wait_for_basic_load();
    return std::make_unique<CharacterModelCookie>(this);
}

void CharacterModelStatic::on_instance_added(CharacterModelCookie*) {}

void CharacterModelStatic::do_load_basic() {
    CharacterModelBase::do_load_basic();

    _idle_entries.clear();
    _idle_count = 1;
    Lua::StackGuard guard(_lua);
    Lua::Config cfg(_lua);
    bool use_idle_timeline = false;
    cfg.read("use_idle_timeline", use_idle_timeline);
    if (!use_idle_timeline || !cfg.open("idle_timeline")) return;
    int count = 1;
    cfg.read("count", count);
    _idle_count = count;
    if (!cfg.open("probabilities")) return;
    for (int i = 1; cfg.open(i); ++i) {
        std::string clip_name;
        double share = 0.0;
        cfg.read(1, clip_name);
        cfg.read(2, share);
        cfg.close();
        if (!_manager) continue;
        const unsigned short clip = _manager->get_animation_index(clip_name);  // logs an unknown name
        if (clip == INVALID_CLIP || clip >= _manager->get_num_animations()) continue;
        IdleEntry entry;
        entry.duration = _manager->get_animation_duration(clip);
        entry.share = static_cast<float>(share);
        entry.clip = clip;
        _idle_entries.push_back(entry);
    }
}

void CharacterModelStatic::do_load_main() {
    CharacterModelBase::do_load_main();
    _model_time_variable = _shader ? _shader->getVariable("model_time") : -1;
}

float CharacterModelStatic::generate_timeline(float t, std::vector<osg::Vec3f>& out, float& total,
                                              float random) const {
    const size_t first = out.size();
    // Whole slots per entry; NaN and entries under one slot deal none.
    std::vector<double> wanted(_idle_entries.size(), 0.0);
    double requested = 0.0;
    for (size_t e = 0; e < _idle_entries.size(); ++e) {
        const double slots = static_cast<double>(_idle_count) * _idle_entries[e].share;
        wanted[e] = slots >= 1.0 ? std::floor(std::min(slots, 1e12)) : 0.0;
        requested += wanted[e];
    }
    // Past the cap every entry keeps its proportion of the slots.
    if (requested > MAX_TIMELINE_SLOTS) {
        if (!_timeline_cut_reported.exchange(true))
            log_message(LOG_TAG, LOG_WARNING, "model %s: idle timeline cut to %d slots", name().c_str(),
                        MAX_TIMELINE_SLOTS);
        for (double& n : wanted) n = std::floor(n * MAX_TIMELINE_SLOTS / requested);
    }
    for (size_t e = 0; e < _idle_entries.size(); ++e)
        for (int i = 0; i < static_cast<int>(wanted[e]); ++i)
            out.emplace_back(0.0f, _idle_entries[e].duration, static_cast<float>(_idle_entries[e].clip));

    std::mt19937_64 generator(timeline_seed(t, random));
    // Fisher-Yates over the appended part, drawing from the seeded generator.
    for (size_t i = out.size() - first; i > 1; --i) {
        std::uniform_int_distribution<size_t> pick(0, i - 1);
        std::swap(out[first + i - 1], out[first + pick(generator)]);
    }

    float start = t;
    total = 0.0f;
    for (size_t i = first; i < out.size(); ++i) {
        const float duration = out[i].y();
        out[i] = osg::Vec3f(start, start + duration, out[i].z());
        start += duration;
        total += duration;
    }
    return total;
}

}  // namespace Animator
