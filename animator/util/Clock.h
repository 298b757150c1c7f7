// The animation clock of the whole plug-in: the host world time unless the host installed a callback.
#pragma once
#include <functional>

namespace Animator {
double get_model_time();
void set_time_callback(const std::function<double()>& f);
}  // namespace Animator
