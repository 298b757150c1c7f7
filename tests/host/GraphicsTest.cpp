// The model registry, renderer callbacks and the per-frame heap.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "host/Graphics.h"

namespace {

// A model that only counts its destruction.
class StubModel : public Graphics::Model {
public:
    explicit StubModel(const char* name) : Model(name, "/models/test") {}
    ~StubModel() override { ++destroyed; }
    model::LoadState getLoadState() const override { return model::LS_LOADED; }
    osg::BoundingBox getBoundingBox() override { return {}; }
    osg::Vec3f GetCenter() override { return {}; }
    float GetRadius() override { return 0; }
    void reload() override {}
    model::IModel* getIModelInterface() override { return nullptr; }
    void GetTexturesNames(std::set<std::string>&) const override {}
    std::unique_ptr<model::ModelCookie> createCookie() override { return nullptr; }
    void render(const Graphics::ModelInstance&, Graphics::RenderQueue&, const wPosition3<float>&) override {}
    int getNumConnectors() override { return 0; }
    Graphics::ModelConnector* GetConnector(int) override { return nullptr; }
    Graphics::ModelConnector* GetConnector(const char*) override { return nullptr; }
    Graphics::ModelConnector* GetConnector(const std::string&) override { return nullptr; }
    static inline int destroyed = 0;
};

Graphics::Model* old_factory(const char* name) {
    return !std::strcmp(name, "thing") || !std::strcmp(name, "old") ? new StubModel("old") : nullptr;
}
Graphics::Model* new_factory(const char* name) { return !std::strcmp(name, "thing") ? new StubModel("new") : nullptr; }

TEST(Models, NewestFactoryIsAskedFirstAndNullPassesOn) {
    auto& models = Graphics::Models::inst();
    const size_t before = models.factoryCount();
    models.regFactory(old_factory);
    models.regFactory(new_factory);
    models.regFactory(new_factory);  // once is enough
    EXPECT_EQ(models.factoryCount(), before + 2);
    StubModel::destroyed = 0;
    {
        auto thing = models.find("thing");
        auto old = models.find("old");  // the newer factory answers null for it
        ASSERT_TRUE(thing && old);
        EXPECT_TRUE(thing->name() == "new" && old->name() == "old");
        EXPECT_FALSE(models.find("unknown") || models.find(nullptr));
    }
    EXPECT_EQ(StubModel::destroyed, 2) << "released with their last reference";
    models.unregFactory(new_factory);
    EXPECT_EQ(models.find("thing")->name(), "old");
    models.unregFactory(old_factory);
    EXPECT_TRUE(models.factoryCount() == before && !models.find("old"));
}

// Logs "name:event" for every event it hears, then runs `action`.
struct Recorder : Graphics::RendererCallback {
    Recorder(std::vector<std::string>& log, std::string name) : log(log), name(std::move(name)) {}
    void onEvent(int event) override {
        log.push_back(name + ":" + std::to_string(event));
        if (action) action();
    }
    std::vector<std::string>& log;
    std::string name;
    std::function<void()> action;
};

TEST(RendererCallbacks, RunInPriorityOrderForTheirEventAndMayUnregisterDuringIt) {
    std::vector<std::string> log;
    Recorder a(log, "a"), b(log, "b"), c(log, "c"), d(log, "d");
    auto e = std::make_unique<Recorder>(log, "e");
    b.action = [&] {
        Graphics::unregisterRendererCallback(&b);
        e.reset();  // destroying a callback unregisters it
    };
    // c has a's priority and comes after it; d waits for another event.
    for (auto [callback, event, priority] : {std::tuple<Recorder*, int, int>{&a, 1001, 5}, {&b, 1001, -1},
                                             {&c, 1001, 5}, {&d, 1002, -10}, {e.get(), 1001, 9}})
        Graphics::registerRendererCallback(callback, event, priority);
    Graphics::raiseRendererEvent(1001);
    Graphics::raiseRendererEvent(1001);
    EXPECT_EQ(log, (std::vector<std::string>{"b:1001", "a:1001", "c:1001", "a:1001", "c:1001"}));
}

TEST(FrameHeap, GivesAlignedDisjointMemory) {
    std::vector<std::pair<char*, size_t>> blocks;
    for (size_t size : {1u, 16u, 100u, 70000u, 3u, 200000u, 0u}) {
        char* p = static_cast<char*>(Graphics::frameHeapAlloc(size));
        ASSERT_TRUE(p && reinterpret_cast<uintptr_t>(p) % 16 == 0) << "block of " << size;
        std::memset(p, 0xAB, size);
        for (const auto& [q, n] : blocks) EXPECT_TRUE(p + size <= q || q + n <= p) << "block of " << size;
        blocks.emplace_back(p, size);
    }
    Graphics::frameHeapReset();
    EXPECT_NE(Graphics::frameHeapAlloc(32), nullptr);
    Graphics::frameHeapReset();
}

}  // namespace
