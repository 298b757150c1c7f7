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

aiMatrix4x4 ai_rotation_y(float angle) {
    aiMatrix4x4 m;
    aiMatrix4x4::RotationY(angle, m);
    return m;
}

void expect_matrix_near(const osg::Matrixf& a, const osg::Matrixf& b, float eps = EPS) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(a(r, c), b(r, c), eps) << "element " << r << "," << c;
}

// ---- conversions -------------------------------------------------------------------------------

TEST(MatrixConversion, ToMatrixfTransposesAndMovesTranslationToRow) {
    aiMatrix4x4 m = ai_rotation_y(0.3f);
    m.a4 = 1;
    m.b4 = 2;
    m.c4 = 3;
    const osg::Matrixf o = to_Matrixf(m);
    EXPECT_FLOAT_EQ(o.ptr()[12], 1);
    EXPECT_FLOAT_EQ(o.ptr()[13], 2);
    EXPECT_FLOAT_EQ(o.ptr()[14], 3);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(o(r, c), m[c][r]);
}

TEST(MatrixConversion, SameTransformOnPointsInBothForms) {
    aiMatrix4x4 rot;
    aiMatrix4x4::RotationZ(0.7f, rot);
    aiMatrix4x4 tr;
    aiMatrix4x4::Translation(aiVector3D(1, -2, 5), tr);
    const aiMatrix4x4 m = tr * rot;
    const aiVector3D p_ai = m * aiVector3D(0.5f, 2, -1);
    const osg::Vec3f p_osg = osg::Vec3f(0.5f, 2, -1) * to_Matrixf(m);
    EXPECT_NEAR(p_ai.x, p_osg.x(), EPS);
    EXPECT_NEAR(p_ai.y, p_osg.y(), EPS);
    EXPECT_NEAR(p_ai.z, p_osg.z(), EPS);
}

TEST(MatrixConversion, PositionsForceRigidFourthColumn) {
    osg::Matrixf o = osg::Matrixf::rotate(0.4, osg::Vec3f(0, 1, 0)) * osg::Matrixf::translate(4, 5, 6);
    o(0, 3) = 9;
    o(3, 3) = 2;
    const wPosition3<float> p = to_Position3(o);
    EXPECT_EQ(p.m[0][3], 0);
    EXPECT_EQ(p.m[3][3], 1);
    EXPECT_EQ(p.position(), osg::Vec3f(4, 5, 6));
    EXPECT_EQ(p.x_axis(), osg::Vec3f(o(0, 0), o(0, 1), o(0, 2)));

    aiMatrix4x4 m = ai_rotation_y(1.1f);
    m.a4 = 7;
    m.c4 = -3;
    m.d1 = 5;  // not a rigid bottom row: ignored
    const wPosition3<float> q = to_position3(m);
    const wPosition3<float> via = to_Position3(to_Matrixf(m));
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(q.m[r][c], via.m[r][c]);
    EXPECT_EQ(q.position(), osg::Vec3f(7, 0, -3));
}

TEST(MatrixConversion, GetAndSetTranslationTouchOnlyFourthColumn) {
    aiMatrix4x4 m = ai_rotation_y(0.5f);
    const aiMatrix4x4 before = m;
    set_translation(m, osg::Vec3f(1, 2, 3));
    EXPECT_EQ(get_translation(m), osg::Vec3f(1, 2, 3));
    EXPECT_EQ(m.a1, before.a1);
    EXPECT_EQ(m.c3, before.c3);
    EXPECT_EQ(m.d4, 1);
}

TEST(Invert, PureTranslationIsExactInverse) {
    const osg::Matrixf t = osg::Matrixf::translate(1.5f, -2, 3);
    expect_matrix_near(invert(t) * t, osg::Matrixf::identity(), 0);
}

TEST(Invert, RotatedMatrixKeepsNegatedTranslationUnrotated) {
    const osg::Matrixf m = osg::Matrixf::rotate(PI / 2, osg::Vec3f(0, 1, 0)) * osg::Matrixf::translate(1, 2, 3);
    const osg::Matrixf inv = invert(m);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(inv(r, c), m(c, r));
    EXPECT_EQ(inv.getTrans(), osg::Vec3f(-1, -2, -3));
    EXPECT_EQ(inv(0, 3), m(0, 3));
    EXPECT_EQ(inv(3, 3), m(3, 3));
}

// ---- Euler angles ------------------------------------------------------------------------------

TEST(EulerAngles, SingleAxisQuaternions) {
    const float c = 0.8f;
    const aiQuaternion qx = toQuaternion<aiQuaternion>(0, 0, c);
    EXPECT_NEAR(qx.w, std::cos(c / 2), EPS);
    EXPECT_NEAR(qx.x, std::sin(c / 2), EPS);
    EXPECT_NEAR(qx.y, 0, EPS);
    EXPECT_NEAR(qx.z, 0, EPS);

    const Quaternion qy = toQuaternion<Quaternion>(c, 0, 0);
    EXPECT_NEAR(qy.w, std::cos(c / 2), EPS);
    EXPECT_NEAR(qy.y, std::sin(c / 2), EPS);
    EXPECT_NEAR(qy.x, 0, EPS);
    EXPECT_NEAR(qy.z, 0, EPS);

    const osg::Quatf qz = toQuaternion<osg::Quatf>(0, c, 0);
    EXPECT_NEAR(qz.w(), std::cos(c / 2), EPS);
    EXPECT_NEAR(qz.z(), std::sin(c / 2), EPS);
    EXPECT_NEAR(qz.x(), 0, EPS);
    EXPECT_NEAR(qz.y(), 0, EPS);
}

TEST(EulerAngles, OrderIsZThenYThenX) {
    const double a = 0.3, b = -0.6, c = 1.1;
    const aiQuaternion q = toQuaternion<aiQuaternion>(a, b, c);
    const aiQuaternion expected = aiQuaternion(aiVector3D(0, 0, 1), b) * aiQuaternion(aiVector3D(0, 1, 0), a) *
                                  aiQuaternion(aiVector3D(1, 0, 0), c);
    EXPECT_NEAR(q.w, expected.w, EPS);
    EXPECT_NEAR(q.x, expected.x, EPS);
    EXPECT_NEAR(q.y, expected.y, EPS);
    EXPECT_NEAR(q.z, expected.z, EPS);
}

TEST(EulerAngles, RoundTripForAllThreeTypes) {
    const float a = 0.4f, b = -1.2f, c = 2.5f;
    float ra, rb, rc;
    toEulerianAngle(toQuaternion<aiQuaternion>(a, b, c), ra, rb, rc);
    EXPECT_NEAR(ra, a, 1e-4);
    EXPECT_NEAR(rb, b, 1e-4);
    EXPECT_NEAR(rc, c, 1e-4);
    toEulerianAngle(toQuaternion<Quaternion>(a, b, c), ra, rb, rc);
    EXPECT_NEAR(ra, a, 1e-4);
    EXPECT_NEAR(rb, b, 1e-4);
    EXPECT_NEAR(rc, c, 1e-4);
    toEulerianAngle(toQuaternion<osg::Quatf>(a, b, c), ra, rb, rc);
    EXPECT_NEAR(ra, a, 1e-4);
    EXPECT_NEAR(rb, b, 1e-4);
    EXPECT_NEAR(rc, c, 1e-4);
}

TEST(EulerAngles, PitchSaturatesAtRightAngle) {
    // 2(y w - x z) rounds slightly above 1: asin would give NaN.
    const float h = 0.70710685f;
    float a = 0, b = 0, c = 0;
    toEulerianAngle(Quaternion(h, 0, h, 0), a, b, c);
    EXPECT_EQ(a, static_cast<float>(M_PI / 2));
    toEulerianAngle(Quaternion(h, 0, -h, 0), a, b, c);
    EXPECT_EQ(a, static_cast<float>(-M_PI / 2));
    EXPECT_FALSE(std::isnan(b));
    EXPECT_FALSE(std::isnan(c));
}

// ---- headings ----------------------------------------------------------------------------------

TEST(AngleBetweenVectors, SignedByTurnAboutY) {
    const osg::Vec3f x(1, 0, 0);
    EXPECT_NEAR(angle_between_vectors(x, osg::Vec3f(0, 0, -1)), PI / 2, EPS);
    EXPECT_NEAR(angle_between_vectors(x, osg::Vec3f(0, 0, 1)), -PI / 2, EPS);
    EXPECT_EQ(angle_between_vectors(x, osg::Vec3f(-1, 0, 0)), 3.1415927f);
    EXPECT_EQ(angle_between_vectors(x, osg::Vec3f(1, 0.0001f, 0)), 0.0f);
    EXPECT_NEAR(angle_between_vectors(osg::Vec3f(3, 0, 0), osg::Vec3f(-2, 0, -2)), 3 * PI / 4, EPS);
}

TEST(AngleBetweenVectors, NoYComponentOfCrossGivesZero) {
    EXPECT_EQ(angle_between_vectors(osg::Vec3f(1, 0, 0), osg::Vec3f(0, 1, 0)), 0.0f);
}

TEST(AngleBetweenVectors, ZeroVectorCountsAsParallelOpposite) {
    EXPECT_EQ(angle_between_vectors(osg::Vec3f(1, 0, 0), osg::Vec3f(0, 0, 0)), 3.1415927f);
}

TEST(Heading, OfVectorsAndPositions) {
    EXPECT_EQ(get_heading(osg::Vec3f(0, 1, 0)), 0.0f);
    EXPECT_NEAR(get_heading(osg::Vec3f(1, 0, -1)), PI / 4, EPS);
    const osg::Matrixf turned = osg::Matrixf::rotate(osg::Quat(PI / 2, osg::Vec3f(0, 1, 0)));
    // The x axis turned +90 degrees about Y points to -Z.
    EXPECT_NEAR(get_heading(to_Position3(turned)), PI / 2, EPS);
}

// ---- clamp -------------------------------------------------------------------------------------

TEST(Clamp, BoundsReversedBoundsAndNaN) {
    EXPECT_EQ(clamp(5, 0, 1), 1);
    EXPECT_EQ(clamp(-1, 0, 1), 0);
    EXPECT_EQ(clamp(0.25f, 0, 1), 0.25f);
    EXPECT_EQ(clamp(0.5f, 1, 0), 1);
    EXPECT_EQ(clamp(std::numeric_limits<float>::quiet_NaN(), -2, 3), -2);
}

// ---- slerp -------------------------------------------------------------------------------------

osg::Vec4f quat_y(float angle) { return osg::Vec4f(0, std::sin(angle / 2), 0, std::cos(angle / 2)); }

TEST(Slerp, HalfwayAndEnds) {
    const osg::Vec4f p = quat_y(0), q = quat_y(PI / 2);
    const osg::Vec4f mid = slerp(p, q, 0.5f);
    const osg::Vec4f expected = quat_y(PI / 4);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(mid[i], expected[i], EPS);
    const osg::Vec4f end = slerp(p, q, 1.0f);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(end[i], q[i], EPS);
}

TEST(Slerp, InputsAreNormalised) {
    const osg::Vec4f mid = slerp(quat_y(0) * 3.0f, quat_y(PI / 2) * 0.5f, 0.5f);
    EXPECT_NEAR(mid.length(), 1.0f, EPS);
}

TEST(Slerp, OppositeSignTakesShortWay) {
    const osg::Vec4f p = quat_y(0.2f);
    const osg::Vec4f q = -quat_y(0.6f);
    const osg::Vec4f mid = slerp(p, q, 0.5f);
    const osg::Vec4f expected = quat_y(0.4f);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(mid[i], expected[i], EPS);

    const osg::Vec4f same = slerp(p, -p, 0.5f);  // dot product -1
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(same[i], p[i], EPS);
}

TEST(Slerp, NearlyEqualInputsBlendLinearlyAndNormalise) {
    const osg::Vec4f p = quat_y(0.0f);
    const osg::Vec4f q = quat_y(0.06f);  // dot = cos(0.03) = 0.99955 > 0.9995
    const osg::Vec4f r = slerp(p, q, 0.5f);
    osg::Vec4f expected = (p + q) * 0.5f;
    expected.normalize();
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(r[i], expected[i], 1e-6);
    EXPECT_NEAR(r.length(), 1.0f, 1e-6);
}

TEST(Slerp, ZeroInputDoesNotProduceNaN) {
    const osg::Vec4f r = slerp(osg::Vec4f(0, 0, 0, 0), quat_y(0.5f), 0.5f);
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(std::isnan(r[i]));
}

// ---- rigid blends ------------------------------------------------------------------------------

TEST(BlendMatrices, RotationSlerpAndTranslationLerp) {
    const osg::Matrixf a = osg::Matrixf::translate(0, 0, 0);
    const osg::Matrixf b = osg::Matrixf::rotate(PI / 2, osg::Vec3f(0, 1, 0)) * osg::Matrixf::translate(2, 4, -6);
    const osg::Matrixf mid = blend_matrices(a, b, 0.5f);
    const osg::Matrixf expected =
        osg::Matrixf::rotate(PI / 4, osg::Vec3f(0, 1, 0)) * osg::Matrixf::translate(1, 2, -3);
    expect_matrix_near(mid, expected);
    expect_matrix_near(blend_matrices(a, b, 0.0f), a);
    expect_matrix_near(blend_matrices(a, b, 1.0f), b);
    expect_matrix_near(lerp(a, b, 0.5), expected);
}

TEST(BlendMatrices, ScaleIsDropped) {
    const osg::Matrixf a = osg::Matrixf::scale(2, 2, 2) * osg::Matrixf::translate(1, 0, 0);
    const osg::Matrixf b = osg::Matrixf::scale(2, 2, 2) * osg::Matrixf::translate(3, 0, 0);
    const osg::Matrixf mid = blend_matrices(a, b, 0.5f);
    expect_matrix_near(mid, osg::Matrixf::translate(2, 0, 0));
}

TEST(BlendMatrices, OppositeHemisphereQuaternionsBlendShortWay) {
    const osg::Matrixf a = osg::Matrixf::rotate(osg::Quat(0.1, osg::Vec3f(0, 1, 0)));
    const osg::Matrixf b = osg::Matrixf::rotate(osg::Quat(2 * PI - 0.1, osg::Vec3f(0, 1, 0)));
    expect_matrix_near(blend_matrices(a, b, 0.5f), osg::Matrixf::identity());
}

TEST(BlendAiMatrices, RotationTranslationAndBottomRow) {
    aiMatrix4x4 a;
    aiMatrix4x4 b;
    aiMatrix4x4::RotationZ(PI / 2, b);
    b.a4 = 4;
    b.b4 = -2;
    b.c4 = 1;
    const aiMatrix4x4 mid = blend_ai_matrices(a, b, 0.25f);
    aiMatrix4x4 expected;
    aiMatrix4x4::RotationZ(PI / 8, expected);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(mid[r][c], expected[r][c], EPS);
    EXPECT_NEAR(mid.a4, 1, EPS);
    EXPECT_NEAR(mid.b4, -0.5f, EPS);
    EXPECT_NEAR(mid.c4, 0.25f, EPS);
    EXPECT_EQ(mid.d1, 0);
    EXPECT_EQ(mid.d2, 0);
    EXPECT_EQ(mid.d3, 0);
    EXPECT_EQ(mid.d4, 1);
}

TEST(BlendAiMatrices, AgreesWithOsgFormBlend) {
    aiMatrix4x4 a = ai_rotation_y(0.3f);
    a.a4 = 1;
    aiMatrix4x4 b = ai_rotation_y(-1.2f);
    b.c4 = 2;
    const osg::Matrixf via_osg = blend_matrices(to_Matrixf(a), to_Matrixf(b), 0.7f);
    expect_matrix_near(to_Matrixf(blend_ai_matrices(a, b, 0.7f)), via_osg, 1e-4f);
}

TEST(BlendAiMatrices, OppositeHemisphereTakesShortWay) {
    aiMatrix4x4 a;
    aiMatrix4x4 b;
    aiMatrix4x4::Rotation(2 * PI - 0.2f, aiVector3D(1, 0, 0), b);
    const aiMatrix4x4 mid = blend_ai_matrices(a, b, 0.5f);
    aiMatrix4x4 expected;
    aiMatrix4x4::RotationX(-0.1f, expected);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(mid[r][c], expected[r][c], 1e-4);
}

// ---- marker and text ---------------------------------------------------------------------------

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
