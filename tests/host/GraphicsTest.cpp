// The model registry, renderer callbacks, distance factors and the per-frame heap.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/Graphics.h"

namespace {

class TestModel : public Graphics::Model {
public:
    explicit TestModel(const char* name, int* destroyed = nullptr) : Model(name, "/models/test"), _destroyed(destroyed) {}
    ~TestModel() override {
        if (_destroyed) ++*_destroyed;
    }
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
private:
    int* _destroyed;
};

int g_destroyed = 0;

Graphics::Model* old_factory(const char* name) {
    return std::strcmp(name, "thing") == 0 || std::strcmp(name, "old") == 0 ? new TestModel("old", &g_destroyed)
                                                                               : nullptr;
}
Graphics::Model* new_factory(const char* name) {
    return std::strcmp(name, "thing") == 0 ? new TestModel("new", &g_destroyed) : nullptr;
}

TEST(Models, NewestFactoryIsAskedFirstAndNullPassesOn) {
    auto& models = Graphics::Models::inst();
    const size_t before = models.factoryCount();
    models.regFactory(old_factory);
    models.regFactory(new_factory);
    models.regFactory(new_factory);  // once is enough
    EXPECT_EQ(models.factoryCount(), before + 2);
    g_destroyed = 0;
    {
        auto thing = models.find("thing");
        ASSERT_TRUE(thing);
        EXPECT_EQ(thing->name(), "new");
        EXPECT_EQ(thing->refCount(), 1);
        auto old = models.find("old");  // the newer factory answers null for it
        ASSERT_TRUE(old);
        EXPECT_EQ(old->name(), "old");
        EXPECT_FALSE(models.find("unknown"));
        EXPECT_FALSE(models.find(nullptr));
    }
    EXPECT_EQ(g_destroyed, 2);  // released with their last reference
    models.unregFactory(new_factory);
    auto thing = models.find("thing");
    ASSERT_TRUE(thing);
    EXPECT_EQ(thing->name(), "old");
    models.unregFactory(old_factory);
    EXPECT_EQ(models.factoryCount(), before);
    EXPECT_FALSE(models.find("old"));
}

class Recorder : public Graphics::RendererCallback {
public:
    Recorder(std::vector<std::string>& log, std::string name) : _log(log), _name(std::move(name)) {}
    void onEvent(int event) override {
        _log.push_back(_name + ":" + std::to_string(event));
        if (action) action();
    }
    std::function<void()> action;
private:
    std::vector<std::string>& _log;
    std::string _name;
};

TEST(RendererCallbacks, RunInAscendingPriorityForTheirEventOnly) {
    std::vector<std::string> log;
    Recorder a(log, "a"), b(log, "b"), c(log, "c"), d(log, "d");
    Graphics::registerRendererCallback(&a, 1001, 5);
    Graphics::registerRendererCallback(&b, 1001, -1);
    Graphics::registerRendererCallback(&c, 1001, 5);   // same priority: after a
    Graphics::registerRendererCallback(&d, 1002, -10);  // another event
    Graphics::raiseRendererEvent(1001);
    std::vector<std::string> expected{"b:1001", "a:1001", "c:1001"};
    EXPECT_EQ(log, expected);
}

TEST(RendererCallbacks, MayUnregisterThemselvesAndOthersDuringTheEvent) {
    std::vector<std::string> log;
    Recorder first(log, "first"), second(log, "second");
    auto third = std::make_unique<Recorder>(log, "third");
    first.action = [&] {
        Graphics::unregisterRendererCallback(&first);
        third.reset();  // destroying a callback unregisters it
    };
    Graphics::registerRendererCallback(&first, 1003, 0);
    Graphics::registerRendererCallback(&second, 1003, 1);
    Graphics::registerRendererCallback(third.get(), 1003, 2);
    Graphics::raiseRendererEvent(1003);
    Graphics::raiseRendererEvent(1003);
    std::vector<std::string> expected{"first:1003", "second:1003", "second:1003"};
    EXPECT_EQ(log, expected);
}

TEST(GraphicsState, DistanceFactorsAndContext) {
    EXPECT_EQ(Graphics::GetDistanceMultiplier(), 1.0f);
    EXPECT_EQ(Graphics::GetDistanceAdder(), 0.0f);
    Graphics::SetDistanceFactors(2.0f, -3.0f);
    EXPECT_EQ(Graphics::GetDistanceMultiplier(), 2.0f);
    EXPECT_EQ(Graphics::GetDistanceAdder(), -3.0f);
    Graphics::SetDistanceFactors(1.0f, 0.0f);

    Graphics::Context ctx;
    ctx.frame_number = 77;
    ctx.pass_type = 1;
    ctx.origin = osg::Vec3d(1, 2, 3);
    Graphics::Context::setCurrentContext(ctx);
    ASSERT_NE(Graphics::Context::getCurrentContext(), nullptr);
    EXPECT_EQ(Graphics::Context::getCurrentContext()->frame_number, 77u);
    EXPECT_EQ(Graphics::Context::getCurrentContext()->pass_type, 1);
    EXPECT_EQ(Graphics::Context::getCurrentContext()->origin, osg::Vec3d(1, 2, 3));
}

TEST(GraphicsState, FrameHeapGivesAlignedDisjointMemory) {
    std::vector<std::pair<char*, size_t>> blocks;
    for (size_t size : {1u, 16u, 100u, 70000u, 3u, 200000u, 0u}) {
        char* p = static_cast<char*>(Graphics::frameHeapAlloc(size));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        std::memset(p, 0xAB, size);
        blocks.emplace_back(p, size);
    }
    for (size_t i = 0; i < blocks.size(); ++i)
        for (size_t j = i + 1; j < blocks.size(); ++j) {
            bool disjoint = blocks[i].first + blocks[i].second <= blocks[j].first ||
                            blocks[j].first + blocks[j].second <= blocks[i].first;
            EXPECT_TRUE(disjoint || blocks[i].second == 0 || blocks[j].second == 0);
        }
    Graphics::frameHeapReset();
    EXPECT_NE(Graphics::frameHeapAlloc(32), nullptr);
    Graphics::frameHeapReset();
}

}  // namespace
