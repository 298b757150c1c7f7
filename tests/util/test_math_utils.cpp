// Matrix and quaternion conventions, Euler angles, signed headings and the rigid blends.
#include <cmath>
#include <limits>
#include <memory>
#include <sstream>

#include <assimp/types.h>
#include <gtest/gtest.h>

#include "animator/util/MathUtils.h"
#include "refhost/CpuBackend.h"

namespace {

using namespace Animator;

constexpr float PI = 3.14159265f;
constexpr float EPS = 1e-5f;

aiMatrix4x4 ai_rotation_y(float angle, float tx = 0, float tz = 0) {
    aiMatrix4x4 m;
    aiMatrix4x4::RotationY(angle, m);
    m.a4 = tx;
    m.c4 = tz;
    return m;
}

void expect_matrix_near(const osg::Matrixf& a, const osg::Matrixf& b, float eps = EPS) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(a(r, c), b(r, c), eps) << "element " << r << "," << c;
}

void expect_rotation_near(const aiMatrix4x4& a, const aiMatrix4x4& b, float eps) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(a[r][c], b[r][c], eps);
}

void expect_vec4_near(const osg::Vec4f& a, const osg::Vec4f& b, float eps = EPS) {
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(a[i], b[i], eps) << "component " << i;
}

osg::Vec4f quat_y(float angle) { return osg::Vec4f(0, std::sin(angle / 2), 0, std::cos(angle / 2)); }

TEST(MatrixConversion, TransposeTranslationRowAndRigidPositions) {
    aiMatrix4x4 m = ai_rotation_y(0.3f, 1, 3);
    m.b4 = 2;
    const osg::Matrixf o = to_Matrixf(m);
    EXPECT_EQ(o.getTrans(), osg::Vec3f(1, 2, 3));
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(o(r, c), m[c][r]);

    aiMatrix4x4 rot, tr;
    aiMatrix4x4::RotationZ(0.7f, rot);
    aiMatrix4x4::Translation(aiVector3D(1, -2, 5), tr);
    const aiVector3D p_ai = (tr * rot) * aiVector3D(0.5f, 2, -1);
    const osg::Vec3f p_osg = osg::Vec3f(0.5f, 2, -1) * to_Matrixf(tr * rot);
    EXPECT_NEAR((osg::Vec3f(p_ai.x, p_ai.y, p_ai.z) - p_osg).length(), 0, EPS);

    osg::Matrixf bad = osg::Matrixf::rotate(0.4, osg::Vec3f(0, 1, 0)) * osg::Matrixf::translate(4, 5, 6);
    bad(0, 3) = 9;
    bad(3, 3) = 2;
    const wPosition3<float> p = to_Position3(bad);
    EXPECT_EQ(p.m[0][3], 0);
    EXPECT_EQ(p.m[3][3], 1);
    EXPECT_EQ(p.position(), osg::Vec3f(4, 5, 6));
    EXPECT_EQ(p.x_axis(), osg::Vec3f(bad(0, 0), bad(0, 1), bad(0, 2)));

    aiMatrix4x4 n = ai_rotation_y(1.1f, 7, -3);
    n.d1 = 5;  // not a rigid bottom row: ignored
    const wPosition3<float> q = to_position3(n), via = to_Position3(to_Matrixf(n));
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(q.m[r][c], via.m[r][c]);
    EXPECT_EQ(q.position(), osg::Vec3f(7, 0, -3));

    aiMatrix4x4 s = ai_rotation_y(0.5f);
    const aiMatrix4x4 before = s;
    set_translation(s, osg::Vec3f(1, 2, 3));
    EXPECT_EQ(get_translation(s), osg::Vec3f(1, 2, 3));
    expect_rotation_near(s, before, 0);
    EXPECT_EQ(s.d4, 1);
}

TEST(Invert, TransposesRotationAndNegatesTranslationUnrotated) {
    const osg::Matrixf t = osg::Matrixf::translate(1.5f, -2, 3);
    expect_matrix_near(invert(t) * t, osg::Matrixf::identity(), 0);

    const osg::Matrixf m = osg::Matrixf::rotate(PI / 2, osg::Vec3f(0, 1, 0)) * osg::Matrixf::translate(1, 2, 3);
    const osg::Matrixf inv = invert(m);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(inv(r, c), m(c, r));
    EXPECT_EQ(inv.getTrans(), osg::Vec3f(-1, -2, -3));
    EXPECT_EQ(inv(0, 3), m(0, 3));
    EXPECT_EQ(inv(3, 3), m(3, 3));
}

TEST(EulerAngles, AxesOrderRoundTripAndSaturatedPitch) {
    const float c = 0.8f, cs = std::cos(c / 2), sn = std::sin(c / 2);
    const aiQuaternion qx = toQuaternion<aiQuaternion>(0, 0, c);  // (a about Y, b about Z, c about X)
    expect_vec4_near({qx.x, qx.y, qx.z, qx.w}, {sn, 0, 0, cs});
    const Quaternion qy = toQuaternion<Quaternion>(c, 0, 0);
    expect_vec4_near({qy.x, qy.y, qy.z, qy.w}, {0, sn, 0, cs});
    const osg::Quatf qz = toQuaternion<osg::Quatf>(0, c, 0);
    expect_vec4_near(osg::Vec4f(qz.x(), qz.y(), qz.z(), qz.w()), {0, 0, sn, cs});

    const float a = 0.3f, b = -0.6f, cc = 1.1f;
    const aiQuaternion q = toQuaternion<aiQuaternion>(a, b, cc);
    const aiQuaternion e = aiQuaternion(aiVector3D(0, 0, 1), b) * aiQuaternion(aiVector3D(0, 1, 0), a) *
                           aiQuaternion(aiVector3D(1, 0, 0), cc);
    expect_vec4_near({q.x, q.y, q.z, q.w}, {e.x, e.y, e.z, e.w});

    float ra[3], rb[3], rc[3];
    toEulerianAngle(toQuaternion<aiQuaternion>(0.4f, -1.2f, 2.5f), ra[0], rb[0], rc[0]);
    toEulerianAngle(toQuaternion<Quaternion>(0.4f, -1.2f, 2.5f), ra[1], rb[1], rc[1]);
    toEulerianAngle(toQuaternion<osg::Quatf>(0.4f, -1.2f, 2.5f), ra[2], rb[2], rc[2]);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_NEAR(ra[i], 0.4f, 1e-4);
        EXPECT_NEAR(rb[i], -1.2f, 1e-4);
        EXPECT_NEAR(rc[i], 2.5f, 1e-4);
    }

    // 2(y w - x z) rounds slightly above 1: asin would give NaN.
    const float h = 0.70710685f;
    float pa = 0, pb = 0, pc = 0;
    toEulerianAngle(Quaternion(h, 0, h, 0), pa, pb, pc);
    EXPECT_EQ(pa, static_cast<float>(M_PI / 2));
    toEulerianAngle(Quaternion(h, 0, -h, 0), pa, pb, pc);
    EXPECT_EQ(pa, static_cast<float>(-M_PI / 2));
    EXPECT_FALSE(std::isnan(pb) || std::isnan(pc));
}

TEST(Headings, SignedAngleParallelRuleAndHeadings) {
    struct Case {
        osg::Vec3f a, b;
        float angle;
    };
    const Case cases[] = {
        {{1, 0, 0}, {0, 0, -1}, PI / 2},
        {{1, 0, 0}, {0, 0, 1}, -PI / 2},
        {{1, 0, 0}, {-1, 0, 0}, 3.1415927f},
        {{1, 0, 0}, {1, 0.0001f, 0}, 0},
        {{3, 0, 0}, {-2, 0, -2}, 3 * PI / 4},
        {{1, 0, 0}, {0, 1, 0}, 0},           // cross product has no Y component
        {{1, 0, 0}, {0, 0, 0}, 3.1415927f},  // zero vector counts as parallel opposite
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        EXPECT_NEAR(angle_between_vectors(c.a, c.b), c.angle, EPS);
    }
    EXPECT_EQ(angle_between_vectors(osg::Vec3f(1, 0, 0), osg::Vec3f(-1, 0, 0)), 3.1415927f);
    EXPECT_EQ(get_heading(osg::Vec3f(0, 1, 0)), 0.0f);
    EXPECT_NEAR(get_heading(osg::Vec3f(1, 0, -1)), PI / 4, EPS);
    // The x axis turned +90 degrees about Y points to -Z.
    EXPECT_NEAR(get_heading(to_Position3(osg::Matrixf::rotate(osg::Quat(PI / 2, osg::Vec3f(0, 1, 0))))), PI / 2, EPS);
}

TEST(Clamp, BoundsReversedBoundsAndNaN) {
    EXPECT_EQ(clamp(5, 0, 1), 1);
    EXPECT_EQ(clamp(-1, 0, 1), 0);
    EXPECT_EQ(clamp(0.25f, 0, 1), 0.25f);
    EXPECT_EQ(clamp(0.5f, 1, 0), 1);
    EXPECT_EQ(clamp(std::numeric_limits<float>::quiet_NaN(), -2, 3), -2);
}

TEST(Slerp, EndsNormalisingShortWayNearEqualAndZero) {
    const osg::Vec4f p = quat_y(0), q = quat_y(PI / 2);
    expect_vec4_near(slerp(p, q, 0.5f), quat_y(PI / 4));
    expect_vec4_near(slerp(p, q, 1.0f), q);
    EXPECT_NEAR(slerp(p * 3.0f, q * 0.5f, 0.5f).length(), 1.0f, EPS);

    expect_vec4_near(slerp(quat_y(0.2f), -quat_y(0.6f), 0.5f), quat_y(0.4f));
    expect_vec4_near(slerp(quat_y(0.2f), -quat_y(0.2f), 0.5f), quat_y(0.2f));  // dot product -1

    const osg::Vec4f near = quat_y(0.06f);  // dot = cos(0.03) = 0.99955 > 0.9995: linear blend
    osg::Vec4f expected = (p + near) * 0.5f;
    expected.normalize();
    expect_vec4_near(slerp(p, near, 0.5f), expected, 1e-6f);

    const osg::Vec4f r = slerp(osg::Vec4f(0, 0, 0, 0), quat_y(0.5f), 0.5f);
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(std::isnan(r[i]));
}

TEST(BlendMatrices, SlerpLerpScaleDropAndShortWay) {
    const osg::Matrixf a;
    const osg::Matrixf b = osg::Matrixf::rotate(PI / 2, osg::Vec3f(0, 1, 0)) * osg::Matrixf::translate(2, 4, -6);
    const osg::Matrixf expected = osg::Matrixf::rotate(PI / 4, osg::Vec3f(0, 1, 0)) * osg::Matrixf::translate(1, 2, -3);
    expect_matrix_near(blend_matrices(a, b, 0.5f), expected);
    expect_matrix_near(blend_matrices(a, b, 0.0f), a);
    expect_matrix_near(blend_matrices(a, b, 1.0f), b);
    expect_matrix_near(lerp(a, b, 0.5), expected);

    expect_matrix_near(blend_matrices(osg::Matrixf::scale(2, 2, 2) * osg::Matrixf::translate(1, 0, 0),
                                      osg::Matrixf::scale(2, 2, 2) * osg::Matrixf::translate(3, 0, 0), 0.5f),
                       osg::Matrixf::translate(2, 0, 0));
    expect_matrix_near(blend_matrices(osg::Matrixf::rotate(osg::Quat(0.1, osg::Vec3f(0, 1, 0))),
                                      osg::Matrixf::rotate(osg::Quat(2 * PI - 0.1, osg::Vec3f(0, 1, 0))), 0.5f),
                       osg::Matrixf::identity());
}

TEST(BlendAiMatrices, RotationTranslationBottomRowAndShortWay) {
    aiMatrix4x4 a, b, expected;
    aiMatrix4x4::RotationZ(PI / 2, b);
    b.a4 = 4;
    b.b4 = -2;
    b.c4 = 1;
    const aiMatrix4x4 mid = blend_ai_matrices(a, b, 0.25f);
    aiMatrix4x4::RotationZ(PI / 8, expected);
    expect_rotation_near(mid, expected, EPS);
    EXPECT_NEAR((get_translation(mid) - osg::Vec3f(1, -0.5f, 0.25f)).length(), 0, EPS);
    EXPECT_TRUE(mid.d1 == 0 && mid.d2 == 0 && mid.d3 == 0 && mid.d4 == 1);

    const aiMatrix4x4 c = ai_rotation_y(0.3f, 1, 0), d = ai_rotation_y(-1.2f, 0, 2);
    expect_matrix_near(to_Matrixf(blend_ai_matrices(c, d, 0.7f)), blend_matrices(to_Matrixf(c), to_Matrixf(d), 0.7f),
                       1e-4f);

    aiMatrix4x4 far;
    aiMatrix4x4::Rotation(2 * PI - 0.2f, aiVector3D(1, 0, 0), far);
    aiMatrix4x4::RotationX(-0.1f, expected);
    expect_rotation_near(blend_ai_matrices(aiMatrix4x4(), far, 0.5f), expected, 1e-4f);
}

TEST(RenderMarker, DrawsThreeColouredAxisSegments) {
    auto backend = std::make_shared<render::CpuBackend>();
    render::set_backend(backend);
    const osg::Matrixf transform = osg::Matrixf::translate(0, 1, 0);
    render_marker(transform, osg::Vec3f(1, 2, 3), 0.5f);
    const auto lines = backend->commands(render::Command::DrawLines);
    render::set_backend(nullptr);
    ASSERT_EQ(lines.size(), 3u);
    const osg::Vec3f offsets[3] = {{0.5f, 0, 0}, {0, 0.5f, 0}, {0, 0, 0.5f}};
    const osg::Vec4f colours[3] = {{0.8f, 0, 0, 1}, {0, 0.8f, 0, 1}, {0, 0, 0.8f, 1}};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(lines[i].points.size(), 2u);
        EXPECT_EQ(lines[i].points[0], osg::Vec3f(1, 2, 3) + offsets[i]);
        EXPECT_EQ(lines[i].points[1], osg::Vec3f(1, 2, 3) - offsets[i]);
        EXPECT_EQ(lines[i].color, colours[i]);
        EXPECT_EQ(lines[i].pattern, ~0u);
        EXPECT_TRUE(lines[i].depth_test);
        expect_matrix_near(lines[i].matrix, transform, 0);
    }
}

TEST(Vec3Output, FixedWidthFifteenPrecisionFive) {
    std::ostringstream os;
    os << osg::Vec3f(1, -2.5f, 1234.56789f) << " " << 0.5;
    EXPECT_EQ(os.str(), "{        1.00000,        -2.50000,      1234.56787} 0.5");
}

}  // namespace
