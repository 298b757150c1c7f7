// Stopwatch rules: stopped readings, set, scale, wrapping and restarts. Sleeps are short and every
// bound on elapsed time is generous or derived from an outside measurement.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "animator/util/Timer.h"

namespace {

using Animator::Timer;
using Clock = std::chrono::steady_clock;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

TEST(Timer, StoppedReadingsHoldUntilStart) {
    Timer timer;
    EXPECT_TRUE(timer.stopped());
    sleep_ms(5);
    EXPECT_EQ(timer.Get(), 0.0);
    timer.Set(5.0);
    timer.SetScale(4.0);  // only stored while stopped
    timer.set_loop(2.0);  // a stopped reading is not wrapped
    sleep_ms(5);
    EXPECT_EQ(timer.Get(), 5.0);
    EXPECT_EQ(timer.GetScale(), 4.0);
    EXPECT_TRUE(timer.stopped());

    Timer copy = timer;
    copy.Set(7.0);
    EXPECT_EQ(timer.Get(), 5.0);
}

TEST(Timer, RunningCountsFromSetValueAndStopFreezes) {
    Timer timer;
    const auto before = Clock::now();
    timer.Start();
    EXPECT_FALSE(timer.stopped());
    sleep_ms(20);
    const double reading = timer.Get();
    EXPECT_GE(reading, 0.019);
    EXPECT_LE(reading, seconds_since(before) + 1e-4);
    timer.Start();  // a second start discards the run time
    EXPECT_LT(timer.Get(), 0.02);

    timer.Set(5.0);
    sleep_ms(10);
    EXPECT_GE(timer.Get(), 5.009);
    EXPECT_LT(timer.Get(), 6.0);
    timer.Stop();
    const double frozen = timer.Get();
    sleep_ms(10);
    EXPECT_EQ(timer.Get(), frozen);
    timer.Stop();
    EXPECT_EQ(timer.Get(), frozen);
    EXPECT_TRUE(timer.stopped());
}

TEST(Timer, ScaleChangeKeepsReadingContinuousAndSpeedsUp) {
    Timer timer;
    timer.Start();
    timer.Set(3.0);
    timer.SetScale(2.0);
    EXPECT_NEAR(timer.Get(), 3.0, 0.05);
    const auto before = Clock::now();
    const double t0 = timer.Get();
    sleep_ms(20);
    const double t1 = timer.Get();
    const double outside = seconds_since(before);
    EXPECT_GE(t1 - t0, 2.0 * 0.019);
    EXPECT_LE(t1 - t0, 2.0 * outside + 1e-4);
}

TEST(Timer, LoopWrapsRunningReadingKeepingSignAndStopStoresIt) {
    struct Case {
        double set, wrapped;
    };
    for (const Case& c : {Case{5.0, 1.0}, Case{-3.0, -1.0}, Case{5.5, 1.5}}) {
        SCOPED_TRACE(c.set);
        Timer timer;
        timer.Start();
        timer.Set(c.set);
        timer.set_loop(2.0);
        EXPECT_NEAR(timer.Get(), c.wrapped, 0.05);
        timer.Stop();
        const double stopped = timer.Get();
        EXPECT_NEAR(stopped, c.wrapped, 0.05);
        sleep_ms(2);
        EXPECT_EQ(timer.Get(), stopped);
    }
}

}  // namespace
