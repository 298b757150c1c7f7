// Reference graphics services: the model registry, renderer callbacks, the current render context,
// level-of-detail factors and the per-frame memory heap.
#include "host/Graphics.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace Graphics {

// ---- model registry ----

struct Models::Impl {
    mutable std::mutex mutex;
    std::vector<ModelFactory> factories;  // in registration order
};

Models& Models::inst() {
    static Models* models = new Models;  // never destroyed, see impl()
    return *models;
}

Models::Impl& Models::impl() const {
    // Never destroyed: plug-ins unregister their factories from their own static destructors.
    static Impl* impl = new Impl;
    return *impl;
}

void Models::regFactory(ModelFactory factory) {
    if (!factory) return;
    Impl& i = impl();
    std::lock_guard<std::mutex> lock(i.mutex);
    if (std::find(i.factories.begin(), i.factories.end(), factory) == i.factories.end())
        i.factories.push_back(factory);
}

void Models::unregFactory(ModelFactory factory) {
    Impl& i = impl();
    std::lock_guard<std::mutex> lock(i.mutex);
    i.factories.erase(std::remove(i.factories.begin(), i.factories.end(), factory), i.factories.end());
}

size_t Models::factoryCount() const {
    Impl& i = impl();
    std::lock_guard<std::mutex> lock(i.mutex);
    return i.factories.size();
}

orn::ref_ptr<Model> Models::find(const char* name) {
    if (!name) return {};
    std::vector<ModelFactory> factories;
    {
        Impl& i = impl();
        std::lock_guard<std::mutex> lock(i.mutex);
        factories = i.factories;
    }
    for (auto it = factories.rbegin(); it != factories.rend(); ++it) {
        if (Model* m = (*it)(name)) return orn::ref_ptr<Model>(m);
    }
    return {};
}

// ---- renderer callbacks ----

namespace {

struct Registration {
    RendererCallback* callback;
    int event;
    int priority;
    uint64_t seq;  // keeps equal priorities in registration order and identifies the registration
};

struct CallbackRegistry {
    std::mutex mutex;
    std::vector<Registration> regs;
    uint64_t next_seq = 1;
};

CallbackRegistry& callbacks() {
    static CallbackRegistry* r = new CallbackRegistry;  // never destroyed: callbacks unregister at exit
    return *r;
}

bool still_registered(CallbackRegistry& r, uint64_t seq) {
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const auto& reg : r.regs)
        if (reg.seq == seq) return true;
    return false;
}

}  // namespace

RendererCallback::~RendererCallback() { unregisterRendererCallback(this); }

void registerRendererCallback(RendererCallback* callback, int event, int priority) {
    if (!callback) return;
    CallbackRegistry& r = callbacks();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (auto& reg : r.regs) {
        if (reg.callback == callback && reg.event == event) {
            reg.priority = priority;  // registering again changes the priority
            return;
        }
    }
    r.regs.push_back(Registration{callback, event, priority, r.next_seq++});
}

void unregisterRendererCallback(RendererCallback* callback) {
    CallbackRegistry& r = callbacks();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.regs.erase(std::remove_if(r.regs.begin(), r.regs.end(),
                                [&](const Registration& reg) { return reg.callback == callback; }),
                 r.regs.end());
}

void raiseRendererEvent(int event) {
    CallbackRegistry& r = callbacks();
    std::vector<Registration> due;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        for (const auto& reg : r.regs)
            if (reg.event == event) due.push_back(reg);
    }
    std::stable_sort(due.begin(), due.end(), [](const Registration& a, const Registration& b) {
        return a.priority != b.priority ? a.priority < b.priority : a.seq < b.seq;
    });
    // A callback may unregister itself or others (or be destroyed) while the event runs: each one is
    // checked again right before it is called.
    for (const auto& reg : due)
        if (still_registered(r, reg.seq)) reg.callback->onEvent(event);
}

// ---- render context ----

namespace {
std::mutex g_context_mutex;
Context g_context;
}  // namespace

// Each thread reads its own copy, taken under the lock that setCurrentContext takes.
Context* Context::getCurrentContext() {
    thread_local Context snapshot;
    std::lock_guard<std::mutex> lock(g_context_mutex);
    snapshot = g_context;
    return &snapshot;
}

void Context::setCurrentContext(const Context& context) {
    std::lock_guard<std::mutex> lock(g_context_mutex);
    if (&context != &g_context) g_context = context;
}

// ---- level-of-detail factors ----

namespace {
std::atomic<float> g_distance_mult{1.0f};
std::atomic<float> g_distance_add{0.0f};
}  // namespace

float GetDistanceMultiplier() { return g_distance_mult.load(); }
float GetDistanceAdder() { return g_distance_add.load(); }

void SetDistanceFactors(float multiplier, float adder) {
    g_distance_mult.store(multiplier);
    g_distance_add.store(adder);
}

// ---- per-frame heap ----

namespace {

// Blocks of at least 64 KiB handed out front to back; all freed together.
struct FrameHeap {
    static constexpr size_t block_bytes = 64 * 1024;
    static constexpr size_t alignment = alignof(std::max_align_t) > 16 ? alignof(std::max_align_t) : 16;
    struct Block {
        char* data;
        size_t size;
        size_t used;
    };
    std::mutex mutex;
    std::vector<Block> blocks;

    void* alloc(size_t bytes) {
        if (bytes == 0) bytes = 1;
        bytes = (bytes + alignment - 1) / alignment * alignment;
        std::lock_guard<std::mutex> lock(mutex);
        if (blocks.empty() || blocks.back().size - blocks.back().used < bytes) {
            size_t size = std::max(block_bytes, bytes);
            char* data = static_cast<char*>(std::aligned_alloc(alignment, size));
            if (!data) return nullptr;
            blocks.push_back(Block{data, size, 0});
        }
        Block& b = blocks.back();
        void* p = b.data + b.used;
        b.used += bytes;
        return p;
    }

    void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& b : blocks) std::free(b.data);
        blocks.clear();
    }
};

FrameHeap& frame_heap() {
    static FrameHeap* heap = new FrameHeap;  // never destroyed: drawing may outlast static teardown
    return *heap;
}

}  // namespace

void* frameHeapAlloc(size_t bytes) { return frame_heap().alloc(bytes); }
void frameHeapReset() { frame_heap().reset(); }

}  // namespace Graphics
