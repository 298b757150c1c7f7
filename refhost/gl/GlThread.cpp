// The GL thread and its command queue (see GlThread.h).
#include "refhost/gl/GlThread.h"

#include <atomic>
#include <future>

#include "refhost/gl/EglContext.h"

namespace render {

namespace {
std::atomic<uint64_t> next_serial{1};
}  // namespace

GlThread::GlThread() : _serial(next_serial++) {}

std::shared_ptr<GlThread> GlThread::start(std::string& error) {
    std::shared_ptr<GlThread> thread(new GlThread);
    GlThread* self = thread.get();
    std::promise<bool> made;
    std::future<bool> result = made.get_future();
    // The context is made on the thread it stays current on. The thread sets `_id`, `_source` and
    // `error` before it answers through `made`, so they are seen here once `result` is ready.
    thread->_thread = std::thread([self, &made, &error] {
        self->_id = std::this_thread::get_id();
        std::string reason;
        std::unique_ptr<EglContext> context = EglContext::create(reason);
        if (!context) {
            error = reason.empty() ? "no OpenGL context" : reason;
            made.set_value(false);
            return;
        }
        self->_source = context->source();
        made.set_value(true);
        self->run(std::move(context));
    });
    if (!result.get()) {
        thread->_thread.join();
        thread->_accepting = false;
        return nullptr;
    }
    return thread;
}

GlThread::~GlThread() {
    if (_thread.joinable()) stop(nullptr);
}

void GlThread::run(std::unique_ptr<EglContext> context) {
    for (;;) {
        Command command;
        {
            std::unique_lock<std::mutex> lock(_mutex);
            _wake.wait(lock, [this] { return !_queue.empty() || _stopping; });
            if (_queue.empty()) break;
            command = std::move(_queue.front());
            _queue.pop_front();
        }
        command();
        // `command` (and what it holds) is released here, outside the lock: releasing a resource may
        // dispose of GL objects, which runs on this thread at once.
    }
    Command teardown;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        teardown = std::move(_teardown);
    }
    if (teardown) teardown();
    teardown = nullptr;
    context.reset();
}

bool GlThread::post(Command command) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_accepting) return false;
        _queue.push_back(std::move(command));
    }
    _wake.notify_one();
    return true;
}

bool GlThread::call(const Command& command) {
    if (on_thread()) {
        command();
        return true;
    }
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    if (!post([&command, &done] {
            command();
            done.set_value();
        }))
        return false;
    finished.wait();
    return true;
}

void GlThread::stop(Command teardown) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_thread.joinable() || _stopping) return;
        _accepting = false;
        _stopping = true;
        _teardown = std::move(teardown);
    }
    _wake.notify_one();
    _thread.join();
}

void GlThread::dispose(const std::weak_ptr<GlThread>& owner, Command release) {
    std::shared_ptr<GlThread> thread = owner.lock();
    if (!thread) return;
    if (thread->on_thread()) release();
    else thread->post(std::move(release));
}

}  // namespace render
