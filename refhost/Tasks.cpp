// Reference task pool: a fixed set of worker threads serving one priority queue, with task-group
// barriers. A pool worker that waits on a signal runs queued tasks meanwhile, so nested waits finish
// even with a single worker.
#include "host/Tasks.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include "host/Log.h"

namespace orn {

namespace {

thread_local bool tls_pool_worker = false;
constexpr std::chrono::microseconds SPIN_BEFORE_SLEEP(2000);

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

struct Task {
    int priority = 0;
    uint64_t seq = 0;
    std::function<void()> fn;
    barrier_ptr barrier;
    std::string name;
};

// Heap order: higher priority first, then first pushed first.
struct TaskOrder {
    bool operator()(const Task& a, const Task& b) const {
        if (a.priority != b.priority) return a.priority < b.priority;
        return a.seq > b.seq;
    }
};

unsigned resolve_count(unsigned count) {
    if (count == 0) count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : count;
}

void run_task(Task& task) {
    try {
        task.fn();
    } catch (const std::exception& e) {
        orn_logf("TASKS", 8, "task '%s' threw: %s", task.name.c_str(), e.what());
    } catch (...) {
        orn_logf("TASKS", 8, "task '%s' threw", task.name.c_str());
    }
    task.fn = nullptr;  // the task's captures go before its group is released
    if (task.barrier) task.barrier->release();
}

class Pool {
public:
    void push(Task task) {
        {
            std::lock_guard<std::mutex> lock(_m);
            if (_threads.empty()) grow_locked();
            task.seq = _seq++;
            _queue.push_back(std::move(task));
            std::push_heap(_queue.begin(), _queue.end(), TaskOrder());
            _queued.store(_queue.size(), std::memory_order_release);
        }
        _cv.notify_one();
    }

    // Runs one queued task on the calling thread; false when the queue is empty.
    bool run_one() {
        Task task;
        if (!pop(task)) return false;
        run_task(task);
        return true;
    }

    void set_workers(unsigned count) {
        if (tls_pool_worker) {
            orn_logf("TASKS", 16, "the pool size can not be changed from a pool task");
            return;
        }
        std::lock_guard<std::mutex> resize(_resize_m);
        std::vector<std::thread> retired;
        {
            std::lock_guard<std::mutex> lock(_m);
            _target = resolve_count(count);
            if (_threads.empty()) return;  // started on first use
            while (_threads.size() > _target) {
                retired.push_back(std::move(_threads.back()));
                _threads.pop_back();
            }
            grow_locked();
        }
        _cv.notify_all();
        // Workers past the target leave after their current task.
        for (auto& t : retired) t.join();
    }

    unsigned workers() {
        std::lock_guard<std::mutex> lock(_m);
        return _target;
    }

private:
    bool pop(Task& out) {
        std::lock_guard<std::mutex> lock(_m);
        if (_queue.empty()) return false;
        std::pop_heap(_queue.begin(), _queue.end(), TaskOrder());
        out = std::move(_queue.back());
        _queue.pop_back();
        _queued.store(_queue.size(), std::memory_order_release);
        return true;
    }

    void grow_locked() {
        while (_threads.size() < _target) {
            unsigned index = static_cast<unsigned>(_threads.size());
            _threads.emplace_back([this, index] { worker(index); });
        }
    }

    void worker(unsigned index) {
        tls_pool_worker = true;
        pthread_setname_np(pthread_self(), ("orn-pool-" + std::to_string(index)).c_str());
        for (;;) {
            Task task;
            // A worker that ran out of work keeps looking for a moment before it sleeps: waking a
            // sleeping thread costs far more than a short task, so bursts of small tasks (one clip
            // each) spread over all workers.
            const auto spin_until = std::chrono::steady_clock::now() + SPIN_BEFORE_SLEEP;
            while (_queued.load(std::memory_order_acquire) == 0 && std::chrono::steady_clock::now() < spin_until) {
                for (int i = 0; i < 64; ++i) cpu_relax();
                std::this_thread::yield();
            }
            {
                std::unique_lock<std::mutex> lock(_m);
                _cv.wait(lock, [&] { return index >= _target || !_queue.empty(); });
                if (index >= _target) return;
                std::pop_heap(_queue.begin(), _queue.end(), TaskOrder());
                task = std::move(_queue.back());
                _queue.pop_back();
                _queued.store(_queue.size(), std::memory_order_release);
            }
            run_task(task);
        }
    }

    std::mutex _m;
    std::condition_variable _cv;
    std::vector<Task> _queue;  // a heap under TaskOrder
    std::atomic<size_t> _queued{0};  // _queue.size(), readable without the lock
    std::vector<std::thread> _threads;
    std::mutex _resize_m;
    unsigned _target = resolve_count(0);
    uint64_t _seq = 0;
};

// Never destroyed: static objects of other libraries may still push or wait while the process ends;
// idle workers simply stay blocked until then.
Pool& pool() {
    static Pool* p = new Pool;
    return *p;
}

}  // namespace

void signal::wait() {
    if (tls_pool_worker) {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(_m);
                if (_count <= 0) return;
            }
            if (pool().run_one()) continue;
            // Nothing queued: the group's tasks run elsewhere. Wake up now and then in case more
            // tasks are queued that this thread could help with.
            std::unique_lock<std::mutex> lock(_m);
            if (_cv.wait_for(lock, std::chrono::milliseconds(1), [&] { return _count <= 0; })) return;
        }
    }
    std::unique_lock<std::mutex> lock(_m);
    _cv.wait(lock, [&] { return _count <= 0; });
}

bool signal::try_wait() {
    std::lock_guard<std::mutex> lock(_m);
    return _count <= 0;
}

std::shared_ptr<SharedGroupBarrier> SharedGroupBarrier::create() { return std::make_shared<SharedGroupBarrier>(); }

void SharedGroupBarrier::acquire() {
    std::lock_guard<std::mutex> lock(_signal._m);
    ++_signal._count;
}

void SharedGroupBarrier::release() {
    std::lock_guard<std::mutex> lock(_signal._m);
    if (_signal._count <= 0) {
        orn_logf("TASKS", 8, "barrier released more often than acquired");
        return;
    }
    if (--_signal._count == 0) _signal._cv.notify_all();
}

void push_pooled_task(std::function<void()> task, const barrier_ptr& barrier, int priority, const char* name) {
    if (!task) {
        orn_logf("TASKS", 8, "empty task '%s' not pushed", name ? name : "");
        return;
    }
    if (barrier) barrier->acquire();
    pool().push(Task{priority, 0, std::move(task), barrier, name ? name : ""});
}

void set_pool_workers(unsigned count) { pool().set_workers(count); }
unsigned get_pool_workers() { return pool().workers(); }

}  // namespace orn
