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

TEST(Timer, NewTimerIsStoppedAtZero) {
    Timer timer;
    EXPECT_TRUE(timer.stopped());
    sleep_ms(5);
    EXPECT_EQ(timer.Get(), 0.0);
    EXPECT_EQ(timer.GetScale(), 1.0);
}

TEST(Timer, StartCountsRealTime) {
    Timer timer;
    const auto before = Clock::now();
    timer.Start();
    EXPECT_FALSE(timer.stopped());
    sleep_ms(20);
    const double reading = timer.Get();
    const double outside = seconds_since(before);
    EXPECT_GE(reading, 0.019);
    EXPECT_LE(reading, outside + 1e-4);
}

TEST(Timer, SetOnStoppedTimerHoldsAndThenCountsOn) {
    Timer timer;
    timer.Set(5.0);
    sleep_ms(5);
    EXPECT_EQ(timer.Get(), 5.0);
    EXPECT_TRUE(timer.stopped());
    timer.Start();
    sleep_ms(10);
    EXPECT_GE(timer.Get(), 5.009);
    EXPECT_LT(timer.Get(), 6.0);
}

TEST(Timer, StopFreezesReadingAndSecondStopChangesNothing) {
    Timer timer;
    timer.Start();
    sleep_ms(10);
    timer.Stop();
    const double frozen = timer.Get();
    EXPECT_GE(frozen, 0.009);
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
    EXPECT_EQ(timer.GetScale(), 2.0);
    const double at_change = timer.Get();
    EXPECT_NEAR(at_change, 3.0, 0.05);
    const auto before = Clock::now();
    const double t0 = timer.Get();
    sleep_ms(20);
    const double t1 = timer.Get();
    const double outside = seconds_since(before);
    EXPECT_GE(t1 - t0, 2.0 * 0.019);
    EXPECT_LE(t1 - t0, 2.0 * outside + 1e-4);
}

TEST(Timer, ScaleOnStoppedTimerOnlyStoresScale) {
    Timer timer;
    timer.Set(1.5);
    timer.SetScale(4.0);
    EXPECT_EQ(timer.Get(), 1.5);
    EXPECT_EQ(timer.GetScale(), 4.0);
}

TEST(Timer, LoopWrapsRunningReadingAtOnce) {
    Timer timer;
    timer.Start();
    timer.Set(5.0);
    timer.set_loop(2.0);
    EXPECT_NEAR(timer.Get(), 1.0, 0.05);
}

TEST(Timer, NegativeReadingWrapsToNegative) {
    Timer timer;
    timer.Start();
    timer.Set(-3.0);
    timer.set_loop(2.0);
    EXPECT_NEAR(timer.Get(), -1.0, 0.05);
}

TEST(Timer, LoopDoesNotWrapStoppedReading) {
    Timer timer;
    timer.Set(5.0);
    timer.set_loop(2.0);
    EXPECT_EQ(timer.Get(), 5.0);
}

TEST(Timer, StopStoresWrappedReading) {
    Timer timer;
    timer.Start();
    timer.Set(5.5);
    timer.set_loop(2.0);
    timer.Stop();
    const double stopped = timer.Get();
    EXPECT_NEAR(stopped, 1.5, 0.05);
    sleep_ms(5);
    EXPECT_EQ(timer.Get(), stopped);
}

TEST(Timer, SecondStartDiscardsRunTime) {
    Timer timer;
    timer.Start();
    sleep_ms(30);
    EXPECT_GE(timer.Get(), 0.029);
    timer.Start();
    EXPECT_LT(timer.Get(), 0.02);
}

TEST(Timer, CopiesKeepTheirOwnState) {
    Timer timer;
    timer.Set(2.0);
    Timer copy = timer;
    copy.Set(7.0);
    EXPECT_EQ(timer.Get(), 2.0);
    EXPECT_EQ(copy.Get(), 7.0);
}

}  // namespace
