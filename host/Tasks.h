// Host task pool, task-group barriers, signals and the mutex type.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace orn {

using mutex = std::mutex;

// Raised when the count of its barrier falls to zero; waiting on it from a pool task helps run queued
// tasks, so it never deadlocks the pool.
class signal {
public:
    void wait();
    bool try_wait();  // never blocks
private:
    friend class SharedGroupBarrier;
    std::mutex _m;
    std::condition_variable _cv;
    int _count = 0;
};

// A group of pending work. Tasks pushed with it hold it; holders may also be added by hand (a model
// holds its load barrier while a stage runs). The signal passes once nothing holds it.
class SharedGroupBarrier {
public:
    static std::shared_ptr<SharedGroupBarrier> create();
    void acquire();
    void release();
    signal& get_signal() { return _signal; }
private:
    signal _signal;
};
using barrier_ptr = std::shared_ptr<SharedGroupBarrier>;

// Runs `task` to completion on a worker of the host pool. Higher priority values run first.
void push_pooled_task(std::function<void()> task, const barrier_ptr& barrier, int priority,
                      const char* name);

// Pool size control for the host program and benchmarks (0 = hardware concurrency).
void set_pool_workers(unsigned count);
unsigned get_pool_workers();

}  // namespace orn
