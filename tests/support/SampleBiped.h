// The sample character ("biped") for tests that need a real model: the sample animations and models
// mounted, the recording render back-end installed, one loaded model shared by the whole test program,
// and a model clock the tests set by hand.
#pragma once
#include <memory>
#include <string>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelStatic.h"
#include "refhost/CpuBackend.h"

namespace test {

// The sample library of the "biped" skeleton type, initialised on first use.
Animator::AnimationManager& biped_manager();
// The sample model "biped.chanimgpu", loaded on first use.
Animator::CharacterModelStatic* biped_model();
// The recording back-end the sample character was loaded on (installed by the first use).
std::shared_ptr<render::CpuBackend> biped_backend();
// A fresh character on the sample model.
std::unique_ptr<Animator::CharacterModelCookie> new_character();

// Model time under the test's control while it lives.
class ManualClock {
public:
    explicit ManualClock(double t = 0.0);
    ~ManualClock();
    void set(double t) { *_t = t; }
    double get() const { return *_t; }

private:
    std::shared_ptr<double> _t;
};

}  // namespace test
