#include "animator/util/Timer.h"

#include <chrono>
#include <cmath>

namespace Animator {

namespace {

using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;  // 100 ns

int64_t current_ticks() {
    return std::chrono::duration_cast<Ticks>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

Timer::Timer() : _start_ticks(current_ticks()) {}

double Timer::getTime() {
    const int64_t nanoseconds = (current_ticks() - _start_ticks) * 100;
    return static_cast<double>(nanoseconds) / 1e9;
}

double Timer::Get() {
    if (_stopped) return _value;
    const double x = (getTime() - _resume) * _scale + _value;
    if (_loop == 0.0) return x;
    return std::fmod(x, _loop);
}

void Timer::Set(double v) {
    _value = v;
    _resume = getTime();
}

double Timer::GetScale() { return _scale; }

void Timer::SetScale(double s) {
    if (!_stopped) {
        _value = Get();
        _scale = s;
        _resume = getTime();
    } else {
        _scale = s;
    }
}

void Timer::Start() {
    _stopped = false;
    _resume = getTime();
}

void Timer::Stop() {
    if (_stopped) return;
    _value = Get();
    _stopped = true;
}

bool Timer::stopped() { return _stopped; }

void Timer::set_loop(double period) { _loop = period; }

}  // namespace Animator
