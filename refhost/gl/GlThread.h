// The thread that owns a back-end's OpenGL context: every GL call of the back-end runs on it, as a
// command taken in order from one queue that any thread may post to.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace render {

class EglContext;

class GlThread {
public:
    using Command = std::function<void()>;

    // Starts the thread and makes its context; null with `error` set when no context can be made.
    static std::shared_ptr<GlThread> start(std::string& error);
    // Stops the thread (as stop() without a teardown) if that has not been done.
    ~GlThread();
    GlThread(const GlThread&) = delete;
    GlThread& operator=(const GlThread&) = delete;

    // Queues a command; false (the command dropped) once the thread is stopping.
    bool post(Command command);
    // Runs a command on the thread and waits for it; runs it at once when called on the thread.
    // False when the thread has stopped and the command did not run.
    bool call(const Command& command);
    // Runs every command queued so far, then `teardown`, then destroys the context and ends the
    // thread; commands posted later are dropped. Must not be called on the thread itself.
    void stop(Command teardown);

    bool on_thread() const { return std::this_thread::get_id() == _id; }
    // Unique within the process: tells the resources of one context from those of another.
    uint64_t serial() const { return _serial; }
    // Where the context lives (EglContext::source).
    const std::string& source() const { return _source; }

    // Runs `release` (which deletes GL objects) on the thread of `owner`: at once on that thread,
    // queued from any other; dropped when the thread has stopped, whose context took the objects with it.
    static void dispose(const std::weak_ptr<GlThread>& owner, Command release);

private:
    GlThread();
    void run(std::unique_ptr<EglContext> context);

    std::mutex _mutex;
    std::condition_variable _wake;
    std::deque<Command> _queue;
    bool _accepting = true;
    bool _stopping = false;
    Command _teardown;
    std::thread _thread;
    std::thread::id _id;
    uint64_t _serial;
    std::string _source;
};

}  // namespace render
