// Conversions between assimp and OpenSceneGraph math, Euler angles, headings and rigid blends.
// assimp matrices are column-vector (translation in a4, b4, c4); osg matrices are row-vector
// (translation in elements 12, 13, 14); one transform in the two forms is a transpose.
#pragma once
#include <ostream>

#include <assimp/matrix4x4.h>
#include <assimp/quaternion.h>
#include <osg/Matrixf>
#include <osg/Quat>
#include <osg/Vec3f>
#include <osg/Vec4f>

#include "host/Position.h"

namespace osg {
// OpenSceneGraph's quaternion (x, y, z, w) under the single-precision name used here.
using Quatf = Quat;
}  // namespace osg

namespace Animator {

// Plain quaternion stored w, x, y, z.
struct Quaternion {
    float w = 1, x = 0, y = 0, z = 0;
    Quaternion() = default;
    Quaternion(float w_, float x_, float y_, float z_) : w(w_), x(x_), y(y_), z(z_) {}
};

osg::Matrixf to_Matrixf(const aiMatrix4x4& m);
wPosition3<float> to_Position3(const osg::Matrixf& m);
wPosition3<float> to_position3(const aiMatrix4x4& m);
osg::Vec3f get_translation(const aiMatrix4x4& m);
void set_translation(aiMatrix4x4& m, const osg::Vec3f& t);
osg::Matrixf invert(const osg::Matrixf& m);

// q = qZ(b) * qY(a) * qX(c); a about Y, b about Z, c about X (radians).
template <class Q> Q toQuaternion(double a, double b, double c);
template <> aiQuaternion toQuaternion<aiQuaternion>(double a, double b, double c);
template <> Quaternion toQuaternion<Quaternion>(double a, double b, double c);
template <> osg::Quatf toQuaternion<osg::Quatf>(double a, double b, double c);
void toEulerianAngle(const aiQuaternion& q, float& a, float& b, float& c);
void toEulerianAngle(const Quaternion& q, float& a, float& b, float& c);
void toEulerianAngle(const osg::Quatf& q, float& a, float& b, float& c);

// Signed angle in [-pi, pi], signed by the turn about Y.
float angle_between_vectors(const osg::Vec3f& u, const osg::Vec3f& v);
float get_heading(const osg::Vec3f& v);
float get_heading(const wPosition3<float>& p);
float clamp(float value, float low, float high);
// A number read from data as an int: truncated toward zero, held to the int range, NaN as 0.
int saturate_to_int(double value);
// Quaternions held x, y, z, w in a Vec4f.
osg::Vec4f slerp(const osg::Vec4f& p, const osg::Vec4f& q, float t);
osg::Matrixf blend_matrices(const osg::Matrixf& a, const osg::Matrixf& b, float t);
osg::Matrixf lerp(const osg::Matrixf& a, const osg::Matrixf& b, double t);
aiMatrix4x4 blend_ai_matrices(const aiMatrix4x4& a, const aiMatrix4x4& b, float t);
void render_marker(const osg::Matrixf& transform, const osg::Vec3f& centre, float size);

}  // namespace Animator

std::ostream& operator<<(std::ostream& os, const osg::Vec3f& v);
