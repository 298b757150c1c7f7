// The task pool: barriers over many tasks, priorities, nested waits from pool tasks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <set>
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

TEST(Tasks, WaitReturnsAfterEveryTaskRanOnPoolWorkersEvenThrowingOnes) {
    test::LogCapture log;
    auto barrier = orn::SharedGroupBarrier::create();
    std::atomic<int> done{0};
    std::mutex m;
    std::set<std::thread::id> threads;
    for (int i = 0; i < 1000; ++i)
        orn::push_pooled_task(
            [&] {
                std::lock_guard<std::mutex> lock(m);
                threads.insert(std::this_thread::get_id());
                done.fetch_add(1);
            },
            barrier, i % 3, "count");
    orn::push_pooled_task([] { throw std::runtime_error("boom"); }, barrier, 0, "throws");
    orn::push_pooled_task(nullptr, barrier, 0, "empty");
    orn::set_pool_workers(1);  // resizing keeps the queued tasks
    orn::set_pool_workers(3);
    barrier->get_signal().wait();
    orn::set_pool_workers(0);
    EXPECT_EQ(done.load(), 1000);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    EXPECT_TRUE(log.has(8, "boom")) << log.dump();
}

TEST(Tasks, HigherPriorityRunsFirst) {
    PoolSize one(1);
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    auto barrier = orn::SharedGroupBarrier::create();
    std::vector<int> order;
    // The only worker is held by the first task (blocked outside the pool's signals, so it does not
    // help) while the others queue up.
    orn::push_pooled_task([opened] { opened.wait(); }, barrier, 100, "gate");
    for (int p : {1, 5, 3, 5, -2}) orn::push_pooled_task([&order, p] { order.push_back(p); }, barrier, p, "p");
    gate.set_value();
    barrier->get_signal().wait();
    EXPECT_EQ(order, (std::vector<int>{5, 5, 3, 1, -2}));
}

// A task that pushes children into its own group and waits for them, `depth` levels deep.
void nested(int depth, std::atomic<int>& leaves) {
    if (depth == 0) {
        leaves.fetch_add(1);
        return;
    }
    auto barrier = orn::SharedGroupBarrier::create();
    for (int i = 0; i < 3; ++i)
        orn::push_pooled_task([depth, &leaves] { nested(depth - 1, leaves); }, barrier, 1, "nested");
    barrier->get_signal().wait();
}

TEST(Tasks, NestedWaitsFromPoolTasksDoNotDeadlockOneOrTwoWorkers) {
    for (unsigned workers : {1u, 2u}) {
        SCOPED_TRACE(workers);
        PoolSize size(workers);
        ASSERT_EQ(orn::get_pool_workers(), workers);
        std::atomic<int> leaves{0};
        auto outer = orn::SharedGroupBarrier::create();
        for (int i = 0; i < 4; ++i) orn::push_pooled_task([&] { nested(3, leaves); }, outer, 1, "root");
        auto finished = std::async(std::launch::async, [&] { outer->get_signal().wait(); });
        ASSERT_EQ(finished.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "pool deadlocked";
        EXPECT_EQ(leaves.load(), 4 * 27);
    }
}

}  // namespace
