// The reference host's frame: a camera, one render context and one render queue per pass (shadow,
// flat shadow, main), the models' per-instance render calls for every visible instance, the queued
// render objects drawn, renderer event 8 raised at the end and the per-frame heap emptied. On the
// OpenGL back-end the main pass lands in the off-screen framebuffer, cleared after the shadow pass.
#pragma once
#include <cstdint>
#include <vector>

#include <osg/Vec4f>

#include "host/Graphics.h"

namespace refhost {

// A render queue of one pass: render objects in submission order.
class PassQueue : public Graphics::RenderQueue {
public:
    PassQueue(uint64_t key, const char* class_name) : _key(key), _class_name(class_name) {}
    void add(Graphics::IRenderObject* object, uint64_t) override { _objects.push_back(object); }
    uint64_t passKey() const override { return _key; }
    const char* className() const override { return _class_name; }
    const std::vector<Graphics::IRenderObject*>& objects() const { return _objects; }
    void clear() { _objects.clear(); }

private:
    uint64_t _key;
    const char* _class_name;
    std::vector<Graphics::IRenderObject*> _objects;
};

class Frame {
public:
    // Pass types of the render context, and the keys of their queues.
    enum Pass : int { MAIN = 0, SHADOW = 1, FLAT_SHADOW = 2 };
    static constexpr uint64_t MAIN_KEY = 100, SHADOW_KEY = 200, FLAT_SHADOW_KEY = 300;

    struct Item {
        Graphics::Model* model;
        const Graphics::ModelInstance* instance;
    };
    struct Options {
        bool shadow = true;
        bool flat_shadow = true;
        osg::Vec4f clear_colour{0.55f, 0.6f, 0.52f, 1.0f};
    };
    struct Counts {
        size_t submitted[3] = {0, 0, 0};  // render calls per pass type
        size_t drawn[3] = {0, 0, 0};      // render objects drawn per pass type
    };

    // Frame numbers count on from `first_frame`.
    explicit Frame(uint64_t first_frame = 0) : _frame(first_frame) {}

    // A camera looking from `eye` at `centre`, Y up, with a perspective of `fovy` degrees.
    static Graphics::Camera look_at(const osg::Vec3d& eye, const osg::Vec3d& centre, double fovy, double aspect,
                                    double near_plane, double far_plane);

    // Draws one frame of `items` (each placed at its instance's matrix) seen from `camera`; the shadow
    // pass sees them from `light`. `time` is the render context's time.
    Counts draw(const std::vector<Item>& items, const Graphics::Camera& camera, const Graphics::Camera& light,
                double time, const Options& options);
    uint64_t frame_number() const { return _frame; }
    PassQueue& queue(Pass pass) { return _queues[pass]; }

private:
    void run_pass(Pass pass, const std::vector<Item>& items, const Graphics::Camera& camera, double time,
                  Counts& counts);

    uint64_t _frame = 0;
    PassQueue _queues[3] = {{MAIN_KEY, "MainQueue"}, {SHADOW_KEY, "ShadowQueue"}, {FLAT_SHADOW_KEY, "FlatShadowQueue"}};
};

}  // namespace refhost
