#include "animator/util/Clock.h"

#include "host/Log.h"

namespace Animator {

namespace {

// Built on first use so that static objects of the plug-in may read the clock while they are built.
std::function<double()>& time_callback() {
    static std::function<double()> callback;
    return callback;
}

}  // namespace

double get_model_time() {
    const auto& callback = time_callback();
    if (callback) return callback();
    return wTime::GetModelTime();
}

void set_time_callback(const std::function<double()>& f) { time_callback() = f; }

}  // namespace Animator
