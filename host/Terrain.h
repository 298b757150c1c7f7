// Host terrain: whether a surface lies under a point.
#pragma once
#include <osg/Vec3d>
#include <osg/Vec3f>

namespace ornterrain {
class ITerrain {
public:
    virtual ~ITerrain() = default;
    // The surface point under `point` and its normal; false when there is none.
    virtual bool getSurface(const osg::Vec3d& point, osg::Vec3f& hit, osg::Vec3f& normal) const = 0;
    static ITerrain* GetDefaultTerrain();
};
}  // namespace ornterrain
