// Matrix and quaternion conventions, Euler angles, signed headings and the rigid blends.
#include <cmath>
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
const aiVector3D X(1, 0, 0), Y(0, 1, 0), Z(0, 0, 1);

aiMatrix4x4 ai_rigid(const aiVector3D& axis, float angle, const aiVector3D& t = aiVector3D()) {
    return aiMatrix4x4(aiVector3D(1, 1, 1), aiQuaternion(axis, angle), t);
}

osg::Matrixf rigid(float angle, const osg::Vec3f& t = osg::Vec3f()) {
    return osg::Matrixf::rotate(angle, osg::Vec3f(0, 1, 0)) * osg::Matrixf::translate(t);
}

void expect_matrix_near(const osg::Matrixf& a, const osg::Matrixf& b, float eps = EPS) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(a(r, c), b(r, c), eps) << "element " << r << "," << c;
}

osg::Matrixf as_matrix(const wPosition3<float>& p) { return osg::Matrixf(&p.m[0][0]); }

osg::Vec4f quat_y(float angle) { return osg::Vec4f(0, std::sin(angle / 2), 0, std::cos(angle / 2)); }

template <class Q> osg::Vec4f xyzw(const Q& q) { return osg::Vec4f(q.x, q.y, q.z, q.w); }
osg::Vec4f xyzw(const osg::Quatf& q) { return osg::Vec4f(q.x(), q.y(), q.z(), q.w()); }

TEST(MatrixConversion, TransposeRigidPositionsTranslationAndInvert) {
    const aiMatrix4x4 m = ai_rigid(Z, 0.7f, {1, -2, 5});
    const aiVector3D p = m * aiVector3D(0.5f, 2, -1);  // column vectors against row vectors
    EXPECT_NEAR((osg::Vec3f(p.x, p.y, p.z) - osg::Vec3f(0.5f, 2, -1) * to_Matrixf(m)).length(), 0, EPS);

    osg::Matrixf bad = rigid(0.4f, {4, 5, 6});
    bad(0, 3) = 9;  // a non-rigid last column is forced back to (0, 0, 0, 1)
    bad(3, 3) = 2;
    expect_matrix_near(as_matrix(to_Position3(bad)), rigid(0.4f, {4, 5, 6}), 0);
    aiMatrix4x4 n = ai_rigid(Y, 1.1f, {7, 0, -3});
    n.d1 = 5;  // likewise the bottom row of an assimp matrix
    expect_matrix_near(as_matrix(to_position3(n)), rigid(1.1f, {7, 0, -3}));

    aiMatrix4x4 s = ai_rigid(Y, 0.5f);
    set_translation(s, osg::Vec3f(1, 2, 3));
    EXPECT_TRUE(s == ai_rigid(Y, 0.5f, {1, 2, 3}));
    EXPECT_EQ(get_translation(s), osg::Vec3f(1, 2, 3));

    osg::Matrixf inverse = osg::Matrixf::rotate(-PI / 2, osg::Vec3f(0, 1, 0));
    inverse.setTrans(-1, -2, -3);  // the translation is negated, not rotated
    expect_matrix_near(invert(rigid(PI / 2, {1, 2, 3})), inverse);
}

// q = qZ(b) * qY(a) * qX(c) for every quaternion type, and back.
template <class Q> void check_euler(float a, float b, float c) {
    const Q q = toQuaternion<Q>(a, b, c);
    EXPECT_LT((xyzw(q) - xyzw(aiQuaternion(Z, b) * aiQuaternion(Y, a) * aiQuaternion(X, c))).length(), EPS);
    float ra = 0, rb = 0, rc = 0;
    toEulerianAngle(q, ra, rb, rc);
    EXPECT_LT((osg::Vec3f(ra, rb, rc) - osg::Vec3f(a, b, c)).length(), 1e-4f) << ra << " " << rb << " " << rc;
}

TEST(EulerAngles, AxesOrderRoundTripAndSaturatedPitch) {
    check_euler<aiQuaternion>(0.4f, -2.2f, 2.5f);  // b and c beyond pi/2 need the full atan2 range
    check_euler<Quaternion>(0.4f, -2.2f, 2.5f);
    check_euler<osg::Quatf>(0.4f, -2.2f, 2.5f);
    for (float sign : {1.0f, -1.0f}) {
        float a = 0, b = 0, c = 0;  // 2(y w - x z) rounds slightly beyond 1: asin would give NaN
        toEulerianAngle(Quaternion(0.70710685f, 0, sign * 0.70710685f, 0), a, b, c);
        EXPECT_EQ(a, static_cast<float>(sign * M_PI / 2));
    }
}

TEST(Angles, SignedAngleParallelRuleHeadingsAndClamp) {
    struct Case { osg::Vec3f a, b; float angle; };
    const Case cases[] = {
        {{1, 0, 0}, {0, 0, -1}, PI / 2},  {{1, 0, 0}, {0, 0, 1}, -PI / 2}, {{1, 0, 0}, {1, 0, -1}, PI / 4},
        {{1, 0, 0}, {-1, 0, 0}, PI},      {{3, 0, 0}, {-2, 0, -2}, 3 * PI / 4},
        {{1, 0, 0}, {1, 0, 0.0005f}, 0},  // parallel within the tolerance
        {{1, 0, 0}, {0, 1, 0}, 0},        // the cross product has no Y component
        {{1, 0, 0}, {0, 0, 0}, PI},       // a zero vector counts as parallel opposite
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        EXPECT_NEAR(angle_between_vectors(c.a, c.b), c.angle, EPS);
        if (c.a == osg::Vec3f(1, 0, 0)) {
            EXPECT_NEAR(get_heading(c.b), c.angle, EPS);
        }
    }
    EXPECT_NEAR(get_heading(to_Position3(rigid(PI / 2))), PI / 2, EPS);  // the x axis turned to -Z

    EXPECT_EQ(clamp(5, 0, 1), 1);  // reversed bounds give the lower one, and so does NaN
    EXPECT_EQ(clamp(0.25f, 0, 1), 0.25f);
    EXPECT_EQ(clamp(0.5f, 1, 0), 1);
    EXPECT_EQ(clamp(std::nanf(""), -2, 3), -2);
}

TEST(Interpolation, SlerpAndRigidBlendsWeightsShortWayAndDegenerateInputs) {
    EXPECT_LT((slerp(quat_y(0) * 3.0f, quat_y(PI / 2) * 0.5f, 0.25f) - quat_y(PI / 8)).length(), EPS);  // normalised
    EXPECT_LT((slerp(quat_y(0.2f), -quat_y(0.6f), 0.5f) - quat_y(0.4f)).length(), EPS);
    // Equal (or opposite) inputs take the linear blend instead of dividing by sin(0).
    EXPECT_LT((slerp(quat_y(0.2f), -quat_y(0.2f), 0.5f) - quat_y(0.2f)).length(), EPS);
    EXPECT_LT((slerp(quat_y(0.7f), quat_y(0.7f), 0.3f) - quat_y(0.7f)).length(), EPS);
    EXPECT_FALSE(std::isnan(slerp(osg::Vec4f(0, 0, 0, 0), quat_y(0.5f), 0.5f).length()));

    // Rigid blends: rotations slerped, translations lerped, scale dropped.
    const osg::Matrixf expected = rigid(PI / 8, {0.5f, 1, -1.5f});
    expect_matrix_near(blend_matrices(osg::Matrixf(), rigid(PI / 2, {2, 4, -6}), 0.25f), expected);
    expect_matrix_near(lerp(osg::Matrixf(), rigid(PI / 2, {2, 4, -6}), 0.25), expected);
    const auto scaled = [](float x) { return osg::Matrixf::scale(2, 2, 2) * osg::Matrixf::translate(x, 0, 0); };
    expect_matrix_near(blend_matrices(scaled(1), scaled(3), 0.5f), osg::Matrixf::translate(2, 0, 0));
    expect_matrix_near(blend_matrices(rigid(0.1f), rigid(2 * PI - 0.1f), 0.5f), osg::Matrixf::identity());

    const aiMatrix4x4 c = ai_rigid(Y, 0.3f, {1, 0, 0}), d = ai_rigid(Z, -1.2f, {4, -2, 2});
    expect_matrix_near(to_Matrixf(blend_ai_matrices(c, d, 0.3f)), blend_matrices(to_Matrixf(c), to_Matrixf(d), 0.3f),
                       1e-4f);
    expect_matrix_near(to_Matrixf(blend_ai_matrices(aiMatrix4x4(), ai_rigid(X, 2 * PI - 0.2f), 0.5f)),
                       to_Matrixf(ai_rigid(X, -0.1f)), 1e-4f);
}

TEST(DebugOutput, MarkerAxisSegmentsAndFixedWidthVectors) {
    auto backend = std::make_shared<render::CpuBackend>();
    render::set_backend(backend);
    const osg::Vec3f centre(1, 2, 3);
    render_marker(osg::Matrixf::translate(0, 1, 0), centre, 0.5f);
    const auto lines = backend->commands(render::Command::DrawLines);
    render::set_backend(nullptr);
    ASSERT_EQ(lines.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        osg::Vec3f offset, colour;
        offset[i] = 0.5f;
        colour[i] = 0.8f;
        EXPECT_EQ(lines[i].points, (std::vector<osg::Vec3f>{centre + offset, centre - offset})) << i;
        EXPECT_EQ(lines[i].color, osg::Vec4f(colour, 1)) << i;
        EXPECT_EQ(lines[i].matrix.getTrans(), osg::Vec3f(0, 1, 0)) << i;
    }

    std::ostringstream os;
    os << osg::Vec3f(1, -2.5f, 1234.56789f) << " " << 1234567.0;  // the stream's own format is restored
    EXPECT_EQ(os.str(), "{        1.00000,        -2.50000,      1234.56787} 1.23457e+06");
}

}  // namespace
