#include "refhost/Frame.h"

#include <algorithm>
#include <limits>

#include "host/Position.h"
#include "host/Render.h"
#include "host/Terrain.h"
#include "refhost/gl/GlBackend.h"

namespace refhost {

namespace {

wPosition3<float> to_position(const osg::Matrixf& m) {
    wPosition3<float> p;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) p.m[r][c] = m(r, c);
    return p;
}

// The room left around the bounds of the shadow casters, metres.
constexpr double kLightMargin = 0.5;

// The direction a camera's view looks back along (its +Z axis in world coordinates).
osg::Vec3f backward_axis(const osg::Matrixf& view) { return osg::Vec3f(view(0, 2), view(1, 2), view(2, 2)); }

}  // namespace

const osg::Vec3f Frame::SUN(0.45f, 1.0f, 0.3f);

Graphics::Camera Frame::directional_light(const osg::Vec3f& towards_light, const Graphics::Camera& camera,
                                          const std::vector<Item>& items, double reach) {
    osg::Vec3d direction(towards_light);
    if (!direction.valid() || direction.normalize() == 0.0) direction.set(0.0, 1.0, 0.0);
    const osg::Vec3d up = std::abs(direction.y()) < 0.99 ? osg::Vec3d(0.0, 1.0, 0.0) : osg::Vec3d(0.0, 0.0, 1.0);
    osg::Matrixd view;
    view.makeLookAt(camera.position + direction, camera.position, up);

    // The casters' bounding spheres in the light's view.
    const double inf = std::numeric_limits<double>::infinity();
    osg::Vec3d low(inf, inf, inf), high(-inf, -inf, -inf);
    Graphics::Model* model = nullptr;  // the bounds of the last item's model (a crowd shares one)
    osg::Vec3f model_centre;
    double radius = 0.0;
    for (const Item& item : items) {
        if (!item.model || !item.instance) continue;
        if (item.model != model) {
            model = item.model;
            model_centre = model->GetCenter();
            radius = model->GetRadius() + kLightMargin;
        }
        const osg::Vec3d centre = osg::Vec3d(model_centre * item.instance->getMatrix());
        if (!centre.valid() || (centre - camera.position).length() - radius > reach) continue;
        const osg::Vec3d at = centre * view;
        for (int k = 0; k < 3; ++k) {
            low[k] = std::min(low[k], at[k] - radius);
            high[k] = std::max(high[k], at[k] + radius);
        }
    }
    if (!(low.x() <= high.x())) {  // nothing casts a shadow: a small box at the camera
        low.set(-1.0, -1.0, -1.0);
        high.set(1.0, 1.0, 1.0);
    }
    Graphics::Camera light;
    light.position = camera.position;
    light.view = view;
    // The view looks down -Z: the nearest caster has the highest Z.
    light.projection.makeOrtho(low.x(), high.x(), low.y(), high.y(), -high.z(), -low.z());
    return light;
}

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
    if (gl) gl->set_light(backward_axis(light.view), light.view * light.projection);
    // The shadow pass writes depth only, into the shadow map that the ground and the main pass sample.
    if (options.shadow) {
        if (gl) gl->begin_shadow_map();
        run_pass(SHADOW, items, light, time, counts);
    }
    if (gl) {
        gl->begin_frame(options.clear_colour);
        osg::Vec3f ground, normal;
        if (options.ground && ornterrain::ITerrain::GetDefaultTerrain()->getSurface(camera.position, ground, normal))
            gl->draw_ground(camera.view * camera.projection, ground, options.ground_extent, options.ground_colour);
    }
    if (options.flat_shadow) run_pass(FLAT_SHADOW, items, camera, time, counts);
    run_pass(MAIN, items, camera, time, counts);
    Graphics::raiseRendererEvent(8);
    Graphics::frameHeapReset();
    return counts;
}

}  // namespace refhost
