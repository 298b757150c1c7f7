// The reference host's frame: a camera, one render context and one render queue per pass (shadow,
// flat shadow, main), the models' per-instance render calls for every visible instance, the queued
// render objects drawn, renderer event 8 raised at the end and the per-frame heap emptied. On the
// OpenGL back-end the shadow pass draws the shadow map from the light, then the off-screen
// framebuffer is cleared to the sky, the ground is drawn (shadowed by the map) and the flat-shadow
// and main passes follow.
#pragma once
#include <cstdint>
#include <vector>

#include <osg/Vec4f>

#include "host/Graphics.h"

namespace refhost {

// A render queue of one pass: render objects in submission order.
class PassQueue : public Graphics::RenderQueue {
public:
    // `kind` in the host's numbering of queues (16: the flat-shadow queue).
    PassQueue(uint64_t key, const char* class_name, int kind = 0) : _key(key), _class_name(class_name), _kind(kind) {}
    void add(Graphics::IRenderObject* object, uint64_t) override { _objects.push_back(object); }
    uint64_t passKey() const override { return _key; }
    const char* className() const override { return _class_name; }
    int kind() const override { return _kind; }
    const std::vector<Graphics::IRenderObject*>& objects() const { return _objects; }
    void clear() { _objects.clear(); }

private:
    uint64_t _key;
    const char* _class_name;
    int _kind;
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
        bool shadow = true;       // the shadow pass (into the shadow map on the OpenGL back-end)
        bool flat_shadow = true;  // the flat-shadow pass
        bool ground = true;       // OpenGL: the ground at the default terrain's height under the camera,
                                  // under everything else
        osg::Vec4f clear_colour{0.63f, 0.72f, 0.8f, 1.0f};  // the sky
        osg::Vec4f ground_colour{0.55f, 0.6f, 0.52f, 1.0f};
        float ground_extent = 500.0f;  // half the side of the ground square around the camera, metres
    };
    struct Counts {
        size_t submitted[3] = {0, 0, 0};  // render calls per pass type
        size_t drawn[3] = {0, 0, 0};      // render objects drawn per pass type
    };

    // Frame numbers count on from `first_frame`.
    explicit Frame(uint64_t first_frame = 0) : _frame(first_frame) {}

    // Towards the sun of the reference scenes: high, from the front right.
    static const osg::Vec3f SUN;

    // A camera looking from `eye` at `centre`, Y up, with a perspective of `fovy` degrees.
    static Graphics::Camera look_at(const osg::Vec3d& eye, const osg::Vec3d& centre, double fovy, double aspect,
                                    double near_plane, double far_plane);
    // A directional light shining from `towards_light`: an orthographic view along the light that
    // just holds the bounding spheres of the items within `reach` metres of the camera (farther ones
    // cast flat shadows only). Its position is the camera's, so that the shadow pass picks the levels
    // of detail the camera sees.
    static Graphics::Camera directional_light(const osg::Vec3f& towards_light, const Graphics::Camera& camera,
                                              const std::vector<Item>& items, double reach = 60.0);

    // Draws one frame of `items` (each placed at its instance's matrix) seen from `camera`; the shadow
    // pass sees them from `light`, whose view also gives the direction the light comes from (its
    // backward axis). `time` is the render context's time.
    Counts draw(const std::vector<Item>& items, const Graphics::Camera& camera, const Graphics::Camera& light,
                double time, const Options& options);
    uint64_t frame_number() const { return _frame; }
    PassQueue& queue(Pass pass) { return _queues[pass]; }

private:
    void run_pass(Pass pass, const std::vector<Item>& items, const Graphics::Camera& camera, double time,
                  Counts& counts);

    uint64_t _frame = 0;
    PassQueue _queues[3] = {
        {MAIN_KEY, "MainQueue"}, {SHADOW_KEY, "ShadowQueue"}, {FLAT_SHADOW_KEY, "FlatShadowQueue", 16}};
};

}  // namespace refhost
