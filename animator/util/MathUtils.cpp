#include "animator/util/MathUtils.h"

#include <climits>
#include <cmath>
#include <iomanip>

#include <assimp/types.h>
#include <osg/Matrixf>

#include "host/Render.h"

namespace Animator {

namespace {

constexpr float PI_F = 3.1415927f;

struct EulerHalfAngles {
    double ca, sa, cb, sb, cc, sc;
};

EulerHalfAngles half_angles(double a, double b, double c) {
    return {std::cos(a * 0.5), std::sin(a * 0.5), std::cos(b * 0.5),
            std::sin(b * 0.5), std::cos(c * 0.5), std::sin(c * 0.5)};
}

// Components of qZ(b) * qY(a) * qX(c).
void euler_to_quaternion(double a, double b, double c, double& w, double& x, double& y, double& z) {
    const EulerHalfAngles h = half_angles(a, b, c);
    w = h.cc * h.cb * h.ca + h.sc * h.sb * h.sa;
    x = h.sc * h.cb * h.ca - h.cc * h.sb * h.sa;
    y = h.cc * h.cb * h.sa + h.sc * h.sb * h.ca;
    z = h.cc * h.sb * h.ca - h.sc * h.cb * h.sa;
}

void quaternion_to_euler(double x, double y, double z, double w, float& a, float& b, float& c) {
    c = static_cast<float>(std::atan2(2.0 * (y * z + x * w), 1.0 - 2.0 * (x * x + y * y)));
    const double s = 2.0 * (y * w - x * z);
    if (std::fabs(s) >= 1.0)
        a = static_cast<float>(std::copysign(M_PI / 2.0, s));
    else
        a = static_cast<float>(std::asin(s));
    b = static_cast<float>(std::atan2(2.0 * (x * y + z * w), 1.0 - 2.0 * (z * z + y * y)));
}

osg::Matrixf rigid_blend(const osg::Matrixf& a, const osg::Matrixf& b, double t) {
    osg::Quat q;
    q.slerp(static_cast<float>(t), a.getRotate(), b.getRotate());
    const float wa = static_cast<float>(1.0 - t);
    const float wb = static_cast<float>(t);
    const osg::Vec3f ta = a.getTrans();
    const osg::Vec3f tb = b.getTrans();
    const osg::Vec3f translation(ta.x() * wa + tb.x() * wb, ta.y() * wa + tb.y() * wb, ta.z() * wa + tb.z() * wb);
    return osg::Matrixf::rotate(q) * osg::Matrixf::translate(translation);
}

}  // namespace

osg::Matrixf to_Matrixf(const aiMatrix4x4& m) {
    osg::Matrixf result;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) result(r, c) = m[c][r];
    return result;
}

wPosition3<float> to_Position3(const osg::Matrixf& m) {
    wPosition3<float> p;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) p.m[r][c] = m(r, c);
    p.m[0][3] = 0;
    p.m[1][3] = 0;
    p.m[2][3] = 0;
    p.m[3][3] = 1;
    return p;
}

wPosition3<float> to_position3(const aiMatrix4x4& m) {
    wPosition3<float> p;
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 3; ++c) p.m[r][c] = m[c][r];
        p.m[r][3] = r == 3 ? 1.0f : 0.0f;
    }
    return p;
}

osg::Vec3f get_translation(const aiMatrix4x4& m) { return osg::Vec3f(m.a4, m.b4, m.c4); }

void set_translation(aiMatrix4x4& m, const osg::Vec3f& t) {
    m.a4 = t.x();
    m.b4 = t.y();
    m.c4 = t.z();
}

osg::Matrixf invert(const osg::Matrixf& m) {
    osg::Matrixf result(m);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) result(r, c) = m(c, r);
    for (int c = 0; c < 3; ++c) result(3, c) = -m(3, c);
    return result;
}

template <>
aiQuaternion toQuaternion<aiQuaternion>(double a, double b, double c) {
    double w, x, y, z;
    euler_to_quaternion(a, b, c, w, x, y, z);
    return aiQuaternion(static_cast<ai_real>(w), static_cast<ai_real>(x), static_cast<ai_real>(y),
                        static_cast<ai_real>(z));
}

template <>
Quaternion toQuaternion<Quaternion>(double a, double b, double c) {
    double w, x, y, z;
    euler_to_quaternion(a, b, c, w, x, y, z);
    return Quaternion(static_cast<float>(w), static_cast<float>(x), static_cast<float>(y), static_cast<float>(z));
}

template <>
osg::Quatf toQuaternion<osg::Quatf>(double a, double b, double c) {
    double w, x, y, z;
    euler_to_quaternion(a, b, c, w, x, y, z);
    return osg::Quatf(x, y, z, w);
}

void toEulerianAngle(const aiQuaternion& q, float& a, float& b, float& c) { quaternion_to_euler(q.x, q.y, q.z, q.w, a, b, c); }

void toEulerianAngle(const Quaternion& q, float& a, float& b, float& c) { quaternion_to_euler(q.x, q.y, q.z, q.w, a, b, c); }

void toEulerianAngle(const osg::Quatf& q, float& a, float& b, float& c) {
    quaternion_to_euler(q.x(), q.y(), q.z(), q.w(), a, b, c);
}

float angle_between_vectors(const osg::Vec3f& u, const osg::Vec3f& v) {
    osg::Vec3f a = u;
    osg::Vec3f b = v;
    a.normalize();  // leaves a zero vector as it is
    b.normalize();
    const osg::Vec3f cross = a ^ b;
    const float dot = a * b;
    if (cross.length() < 0.001f) return dot > 0 ? 0.0f : PI_F;
    const float angle = std::acos(clamp(dot, -1.0f, 1.0f));
    const float sign = cross.y() > 0 ? 1.0f : (cross.y() < 0 ? -1.0f : 0.0f);
    return angle * sign;
}

float get_heading(const osg::Vec3f& v) { return angle_between_vectors(osg::Vec3f(1, 0, 0), v); }

float get_heading(const wPosition3<float>& p) { return get_heading(p.x_axis()); }

int saturate_to_int(double value) {
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(value);
}

float clamp(float value, float low, float high) {
    const float upper = value > high ? high : value;
    return upper > low ? upper : low;  // a NaN compares false and gives low
}

osg::Vec4f slerp(const osg::Vec4f& p_in, const osg::Vec4f& q_in, float t) {
    osg::Vec4f p = p_in;
    osg::Vec4f q = q_in;
    if (p.length() > 0) p.normalize();
    if (q.length() > 0) q.normalize();
    double d = p * q;
    if (d < 0) {
        q = -q;
        d = -d;
    }
    if (d > 0.9995) {
        osg::Vec4f r = p + (q - p) * t;
        if (r.length() > 0) r.normalize();
        return r;
    }
    const double theta0 = std::acos(d);
    const double theta = theta0 * t;
    const double sin_theta0 = std::sin(theta0);
    const double wq = std::sin(theta) / sin_theta0;
    const double wp = std::cos(theta) - d * wq;
    return p * static_cast<float>(wp) + q * static_cast<float>(wq);
}

osg::Matrixf blend_matrices(const osg::Matrixf& a, const osg::Matrixf& b, float t) { return rigid_blend(a, b, t); }

osg::Matrixf lerp(const osg::Matrixf& a, const osg::Matrixf& b, double t) { return rigid_blend(a, b, t); }

aiMatrix4x4 blend_ai_matrices(const aiMatrix4x4& a, const aiMatrix4x4& b, float t) {
    const aiQuaternion qa{aiMatrix3x3(a)};
    const aiQuaternion qb{aiMatrix3x3(b)};
    aiQuaternion q;
    aiQuaternion::Interpolate(q, qa, qb, t);
    aiMatrix4x4 result(q.GetMatrix());
    result.a4 = a.a4 + (b.a4 - a.a4) * t;
    result.b4 = a.b4 + (b.b4 - a.b4) * t;
    result.c4 = a.c4 + (b.c4 - a.c4) * t;
    return result;
}

void render_marker(const osg::Matrixf& transform, const osg::Vec3f& centre, float size) {
    static render::RenderLine* line = new render::RenderLine;  // kept for the life of the process
    const osg::Vec3f axes[3] = {osg::Vec3f(size, 0, 0), osg::Vec3f(0, size, 0), osg::Vec3f(0, 0, size)};
    const osg::Vec4f colours[3] = {osg::Vec4f(0.8f, 0, 0, 1), osg::Vec4f(0, 0.8f, 0, 1), osg::Vec4f(0, 0, 0.8f, 1)};
    for (int i = 0; i < 3; ++i) {
        const osg::Vec3f points[2] = {centre + axes[i], centre - axes[i]};
        line->render(points, 2, transform, colours[i], ~0u, true);
    }
}

}  // namespace Animator

std::ostream& operator<<(std::ostream& os, const osg::Vec3f& v) {
    const std::ios_base::fmtflags flags = os.flags();
    const std::streamsize precision = os.precision();
    os << "{" << std::fixed << std::setprecision(5) << std::setw(15) << v.x() << ", " << std::setw(15) << v.y()
       << ", " << std::setw(15) << v.z() << "}";
    os.flags(flags);
    os.precision(precision);
    return os;
}
