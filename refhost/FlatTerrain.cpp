// Reference terrain (see FlatTerrain.h).
#include "refhost/FlatTerrain.h"

#include <atomic>

namespace refhost {

namespace {
std::atomic<ornterrain::ITerrain*> g_override{nullptr};
}

bool FlatTerrain::getSurface(const osg::Vec3d& point, osg::Vec3f& hit, osg::Vec3f& normal) const {
    hit.set(static_cast<float>(point.x()), static_cast<float>(_height), static_cast<float>(point.z()));
    normal.set(0.0f, 1.0f, 0.0f);
    return true;
}

void set_default_terrain(ornterrain::ITerrain* terrain) { g_override.store(terrain); }

}  // namespace refhost

namespace ornterrain {

ITerrain* ITerrain::GetDefaultTerrain() {
    static refhost::FlatTerrain ground;
    ITerrain* t = refhost::g_override.load();
    return t ? t : &ground;
}

}  // namespace ornterrain
