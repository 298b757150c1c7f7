// Stopwatch rules: stopped readings, set, scale, wrapping and restarts. Sleeps are short and every
// bound on elapsed time is generous or derived from an outside measurement.
#include <chrono>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "animator/util/Timer.h"

namespace {

using Animator::Timer;
using Clock = std::chrono::steady_clock;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

TEST(Timer, StoppedRunningScaledAndWrappedReadings) {
    Timer looped;  // built stopped: a stopped reading is the set value, unscaled and unwrapped
    looped.Set(5.0);
    looped.SetScale(4.0);
    looped.set_loop(2.0);
    Timer timer;
    auto before = Clock::now();
    timer.Start();
    sleep_ms(20);
    EXPECT_EQ(looped.Get(), 5.0);
    EXPECT_EQ(looped.GetScale(), 4.0);  // kept for the next start
    const double reading = timer.Get();
    EXPECT_GE(reading, 0.019);
    EXPECT_LE(reading, seconds_since(before) + 1e-4);
    timer.Start();  // a second start discards the run time
    EXPECT_LT(timer.Get(), 0.019);
    sleep_ms(20);
    timer.Set(5.0);  // counts on from the set value, not from the last start
    EXPECT_LT(timer.Get(), 5.019);
    sleep_ms(20);  // without folding in the run so far, the new scale would make the reading jump
    const double unscaled = timer.Get();
    EXPECT_GE(unscaled, 5.019);
    timer.SetScale(10.0);
    before = Clock::now();
    const double t0 = timer.Get();
    EXPECT_NEAR(t0, unscaled, 0.01);
    sleep_ms(20);
    const double t1 = timer.Get();
    EXPECT_GE(t1 - t0, 10.0 * 0.019);
    EXPECT_LE(t1 - t0, 10.0 * seconds_since(before) + 1e-4);
    timer.Stop();
    const double frozen = timer.Get();
    sleep_ms(10);
    EXPECT_EQ(timer.Get(), frozen);

    looped.Start();  // a running reading wraps keeping its sign, and stopping stores the wrapped value
    for (const auto& [set, wrapped] : {std::pair{5.0, 1.0}, std::pair{-3.0, -1.0}, std::pair{5.5, 1.5}}) {
        looped.Set(set);
        EXPECT_NEAR(looped.Get(), wrapped, 0.05) << set;
    }
    looped.Stop();
    EXPECT_NEAR(looped.Get(), 1.5, 0.05);
}

}  // namespace
