// Reference terrain: an endless horizontal plane (y = 0 unless moved). Another terrain may be
// installed in its place for ITerrain::GetDefaultTerrain().
#pragma once
#include "host/Terrain.h"

namespace refhost {

class FlatTerrain : public ornterrain::ITerrain {
public:
    explicit FlatTerrain(double height = 0.0) : _height(height) {}
    bool getSurface(const osg::Vec3d& point, osg::Vec3f& hit, osg::Vec3f& normal) const override;
    double height() const { return _height; }
private:
    double _height;
};

// Makes GetDefaultTerrain() answer `terrain`; null restores the flat ground at y = 0.
void set_default_terrain(ornterrain::ITerrain* terrain);

}  // namespace refhost
