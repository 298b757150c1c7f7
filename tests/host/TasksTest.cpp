// The task pool: barriers over many tasks, priorities, nested waits from pool tasks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "host/Tasks.h"
#include "tests/support/TestSupport.h"

namespace {

// Sets the pool size for one test; the default size is back afterwards.
class PoolSize {
public:
    explicit PoolSize(unsigned workers) { orn::set_pool_workers(workers); }
    ~PoolSize() { orn::set_pool_workers(0); }
};

TEST(Tasks, BarrierPassesOnlyWhenEveryHolderReleased) {
    auto barrier = orn::SharedGroupBarrier::create();
    barrier->get_signal().wait();  // no holders: passes at once
    barrier->acquire();
    barrier->acquire();
    barrier->release();
    EXPECT_FALSE(barrier->get_signal().try_wait());
    auto waiter = std::async(std::launch::async, [&] { barrier->get_signal().wait(); });
    barrier->release();
    waiter.get();
    EXPECT_TRUE(barrier->get_signal().try_wait());
}

TEST(Tasks, WaitReturnsAfterEveryTaskRanOnPoolWorkersEvenThrowingOnesAndAcrossResizes) {
    test::LogCapture log;
    auto barrier = orn::SharedGroupBarrier::create();
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> done{0}, on_caller{0};
    for (int i = 0; i < 1000; ++i)
        orn::push_pooled_task([&] { on_caller += std::this_thread::get_id() == caller; ++done; }, barrier, i % 3, "n");
    orn::push_pooled_task([] { throw std::runtime_error("boom"); }, barrier, 0, "throws");
    orn::push_pooled_task(nullptr, barrier, 0, "empty");
    orn::set_pool_workers(1);  // resizing keeps the queued tasks
    PoolSize three(3);
    barrier->get_signal().wait();
    EXPECT_TRUE(done == 1000 && on_caller == 0) << done << " done, " << on_caller << " on the waiting thread";
    EXPECT_TRUE(log.has(8, "boom")) << log.dump();
}

TEST(Tasks, HigherPriorityRunsFirst) {
    PoolSize one(1);
    std::promise<void> gate;
    auto barrier = orn::SharedGroupBarrier::create();
    std::vector<int> order;
    // The only worker is held by the first task (blocked outside the pool's signals, so it does not
    // help) while the others queue up.
    orn::push_pooled_task([opened = gate.get_future().share()] { opened.wait(); }, barrier, 100, "gate");
    for (int p : {1, 5, 3, 5, -2}) orn::push_pooled_task([&order, p] { order.push_back(p); }, barrier, p, "p");
    gate.set_value();
    barrier->get_signal().wait();
    EXPECT_EQ(order, (std::vector<int>{5, 5, 3, 1, -2}));
}

// A task that pushes children into its own group and waits for them, `depth` levels deep.
void nested(int depth, std::atomic<int>& leaves) {
    auto barrier = orn::SharedGroupBarrier::create();
    for (int i = 0; depth > 0 && i < 3; ++i)
        orn::push_pooled_task([depth, &leaves] { nested(depth - 1, leaves); }, barrier, 1, "nested");
    barrier->get_signal().wait();
    leaves += depth == 0;
}

TEST(Tasks, NestedWaitsFromPoolTasksDoNotDeadlockOneOrTwoWorkers) {
    for (unsigned workers : {1u, 2u}) {
        SCOPED_TRACE(workers);
        PoolSize size(workers);
        std::atomic<int> leaves{0};
        auto outer = orn::SharedGroupBarrier::create();
        for (int i = 0; i < 4; ++i) orn::push_pooled_task([&] { nested(3, leaves); }, outer, 1, "root");
        auto finished = std::async(std::launch::async, [&] { outer->get_signal().wait(); });
        ASSERT_EQ(finished.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "pool deadlocked";
        EXPECT_EQ(leaves.load(), 4 * 27);
    }
}

}  // namespace
