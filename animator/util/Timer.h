// A pausable, scalable, optionally wrapping stopwatch.
#pragma once
#include <cstdint>

namespace Animator {

class Timer {
public:
    Timer();
    double Get();
    void Set(double v);
    double GetScale();
    void SetScale(double s);
    void Start();
    void Stop();
    bool stopped();
    void set_loop(double period);

private:
    double getTime();

    int64_t _start_ticks;  // 100-nanosecond ticks at construction
    double _value = 0.0;
    double _resume = 0.0;
    double _scale = 1.0;
    bool _stopped = true;
    double _loop = 0.0;
};

}  // namespace Animator
