// Host position type: four rows of four floats (x axis, y axis, z axis, position), the memory image of
// a rigid osg::Matrixf.
#pragma once
#include <osg/Vec3f>

template <class T>
struct wPosition3 {
    T m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};

    osg::Vec3f x_axis() const { return osg::Vec3f(m[0][0], m[0][1], m[0][2]); }
    osg::Vec3f y_axis() const { return osg::Vec3f(m[1][0], m[1][1], m[1][2]); }
    osg::Vec3f z_axis() const { return osg::Vec3f(m[2][0], m[2][1], m[2][2]); }
    osg::Vec3f position() const { return osg::Vec3f(m[3][0], m[3][1], m[3][2]); }
    void set_position(const osg::Vec3f& p) { m[3][0] = p.x(); m[3][1] = p.y(); m[3][2] = p.z(); }
};
static_assert(sizeof(wPosition3<float>) == 64, "wPosition3<float> is 16 floats");
