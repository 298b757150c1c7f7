#include "refhost/Frame.h"

#include "host/Position.h"
#include "host/Render.h"
#include "refhost/gl/GlBackend.h"

namespace refhost {

namespace {

wPosition3<float> to_position(const osg::Matrixf& m) {
    wPosition3<float> p;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) p.m[r][c] = m(r, c);
    return p;
}

}  // namespace

Graphics::Camera Frame::look_at(const osg::Vec3d& eye, const osg::Vec3d& centre, double fovy, double aspect,
                                double near_plane, double far_plane) {
    Graphics::Camera camera;
    camera.position = eye;
    camera.view.makeLookAt(osg::Vec3f(eye), osg::Vec3f(centre), osg::Vec3f(0.0f, 1.0f, 0.0f));
    camera.projection.makePerspective(fovy, aspect, near_plane, far_plane);
    return camera;
}

void Frame::run_pass(Pass pass, const std::vector<Item>& items, const Graphics::Camera& camera, double time,
                     Counts& counts) {
    Graphics::Context context;
    context.frame_number = _frame;
    context.pass_type = pass;
    context.origin = osg::Vec3d(0.0, 0.0, 0.0);
    context.time = time;
    context.prev_origin_transform.makeIdentity();
    context.camera = camera;
    Graphics::Context::setCurrentContext(context);

    PassQueue& queue = _queues[pass];
    queue.clear();
    for (const Item& item : items) {
        if (!item.model || !item.instance) continue;
        item.model->render(*item.instance, queue, to_position(item.instance->getMatrix()));
        ++counts.submitted[pass];
    }
    render::Backend* backend = render::get_backend();
    if (auto* gl = dynamic_cast<render::GlBackend*>(backend))
        gl->set_view_projection(camera.view * camera.projection);
    for (Graphics::IRenderObject* object : queue.objects()) {
        object->draw(Graphics::Context::getCurrentContext());
        ++counts.drawn[pass];
    }
}

Frame::Counts Frame::draw(const std::vector<Item>& items, const Graphics::Camera& camera,
                          const Graphics::Camera& light, double time, const Options& options) {
    ++_frame;
    Counts counts;
    auto* gl = dynamic_cast<render::GlBackend*>(render::get_backend());
    // The shadow pass writes depth only; this host keeps no shadow map of its own, so the frame is
    // cleared after it and the flat shadows mark the ground.
    if (options.shadow) run_pass(SHADOW, items, light, time, counts);
    if (gl) gl->begin_frame(options.clear_colour);
    if (options.flat_shadow) run_pass(FLAT_SHADOW, items, camera, time, counts);
    run_pass(MAIN, items, camera, time, counts);
    Graphics::raiseRendererEvent(8);
    Graphics::frameHeapReset();
    return counts;
}

}  // namespace refhost
