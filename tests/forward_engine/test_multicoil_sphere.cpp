// Multi-coil point leadfields against the coil-level leadfields and their
// fixed factors; field components on spheres against the point formulas and
// against each other across source descriptions.
#include <cmath>
#include <vector>

#include "PhysTestSupport.h"

namespace {

using phystest::cross;
using phystest::dot;
using phystest::len;
using phystest::Probe;
using phystest::relDiff;
using phystest::scaled;
using phystest::Vec;

constexpr double kDeg = 180.0 / 3.141592653589793;

struct MultiCoil : ::testing::Test {
    Probe e;
    phystest::Rng rng;
    std::vector<Vec> pos, dir, lf;
    std::vector<const double*> pp, pd;
    std::vector<double*> pl;
    Vec r0;
    void make(int n) {
        pos.resize(n), dir.resize(n), lf.resize(n);
        pp.clear(), pd.clear(), pl.clear();
        for (int i = 0; i < n; ++i) {
            pos[i] = rng.onSphere(0.11);
            dir[i] = rng.onSphere(1.0);
            lf[i] = {{7, 7, 7}};
            pp.push_back(pos[i]), pd.push_back(dir[i]), pl.push_back(lf[i]);
        }
        r0 = rng.onSphere(0.05);
    }
    // The three-component coil-level row at point i for the given settings.
    Vec coilRow(int i, int mag, int code, double mu) {
        CMForward02Coil03xyz c;
        c.isMagSrc = mag, c.coilFwdModel = code, c.mu4PiRatio = mu;
        Vec out;
        c.coil26xLf3D_all(pos[i], dir[i], r0, out);
        return out;
    }
};

TEST_F(MultiCoil, EachFormulaIsTheCoilLevelLeadfieldWithItsFixedFactor) {
    make(20);
    e.mu4PiRatio = 3.0;
    // By (isMagSrc, coilFwdModel): Sarvas with 1e-10; Cuffin, the same field,
    // with 1e-9; the magnetic dipole with mu4PiRatio; the primary current with
    // 7.957747154594243e-12. Each against the coil-level row (coilMag, coilCode).
    const struct { int mag, code, coilMag, coilCode; double mu; } cases[] = {
        {0, 0, 0, 0, 1e-10}, {0, 3, 0, 0, 1e-10}, {0, 4, 0, 0, 1e-9},
        {1, 4, 1, 0, 3.0},   {1, 0, 1, 2, 7.957747154594243e-12}, {1, 2, 1, 2, 7.957747154594243e-12}};
    for (const auto& c : cases) {
        e.isMagSrc = c.mag, e.coilFwdModel = c.code;
        EXPECT_EQ(e.point2LfMutiCoils(20, pp.data(), pd.data(), r0, pl.data()), 1);
        for (int i = 0; i < 20; ++i)
            EXPECT_LT(relDiff(lf[i], coilRow(i, c.coilMag, c.coilCode, c.mu)), 1e-9) << c.mag << " " << c.code;
    }
}

TEST_F(MultiCoil, EdgeCasesStayFinite) {
    make(4);
    // Nothing is written for n < 1 or missing arrays.
    EXPECT_EQ(e.point2LfMutiCoils(0, pp.data(), pd.data(), r0, pl.data()), 1);
    EXPECT_EQ(e.point2LfMutiCoils(4, nullptr, pd.data(), r0, pl.data()), 1);
    EXPECT_EQ(lf[0][0], 7.0);
    // A source on the z axis has no leadfield for a z dipole.
    r0 = {{0.0, 0.0, 0.05}};
    e.point2LfMultiCoils03Sarvas(4, pp.data(), pd.data(), r0, pl.data());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(lf[i][2], 0.0);
    // Point 0 at the source, 1 at the centre, 2 on the source's ray (Cuffin's
    // parallel case: 1e-9 g (N x r0), g = -1/F = -1/(4 |r0|^3) at P = 2 r0).
    pos[0] = r0, pos[1] = Vec{}, pos[2] = scaled(r0, 2.0);
    for (int mag : {0, 1}) {
        for (int code : {0, 4}) {
            e.isMagSrc = mag, e.coilFwdModel = code;
            e.point2LfMutiCoils(4, pp.data(), pd.data(), r0, pl.data());
            EXPECT_EQ(len(lf[0]), 0.0);
            EXPECT_TRUE(mag == 1 || len(lf[1]) == 0.0);
            for (int i = 1; i < 4; ++i) EXPECT_TRUE(std::isfinite(len(lf[i])));
        }
    }
    e.point2LfMultiCoils02Cuffin(4, pp.data(), pd.data(), r0, pl.data());
    const Vec expected = scaled(cross(dir[2], r0), -1e-9 / (4 * std::pow(0.05, 3)));
    EXPECT_LT(relDiff(lf[2], expected), 1e-12);
    e.point2LfMultiCoils03Sarvas(4, pp.data(), pd.data(), r0, pl.data());
    EXPECT_LT(relDiff(lf[2], scaled(expected, 0.1)), 1e-9);
}

struct OnSpheres : ::testing::Test {
    Probe e;
    // A source at (10, 20, 30) mm, direction angles (a, b), moment 2, and the
    // same source in spherical form (radius, azimuth, polar angle in degrees).
    double cart[6] = {10, 20, 30, 35, 70, 2};
    double sph[6];
    const double field[3] = {60, -40, 110}, orient[3] = {0.3, -0.5, 0.81};
    void SetUp() override {
        const double r = std::sqrt(10.0 * 10 + 20 * 20 + 30 * 30);
        const double s[6] = {r, std::atan2(20.0, 10.0) * kDeg, std::acos(30.0 / r) * kDeg, 35, 70, 2};
        std::copy(s, s + 6, sph);
    }
};

TEST_F(OnSpheres, BiotSavartMembers) {
    e.mu4PiRatio = 1.5;
    const double b = e.coil28Q5Bcmp_BiotSavartEqn(field, orient, cart);
    EXPECT_NE(b, 0.0);
    EXPECT_NEAR(e.coil28Q5Bcmp_BiotSavartEqn_Qsph(field, orient, sph), b, 1e-12 * std::fabs(b));
    const double back[3] = {-orient[0], -orient[1], -orient[2]};
    EXPECT_EQ(e.coil28Q5Bcmp_BiotSavartEqn(field, back, cart), -b);
    // B is Q x d: no component along d or along Q.
    const double d[3] = {0.5, -0.6, 0.8};
    EXPECT_NEAR(e.coil28Q5Bcmp_BiotSavartEqn(field, d, cart), 0.0, 1e-12 * std::fabs(b));
    // A z dipole of moment 2 at the origin seen from 200 (2 after scaling) on
    // +x: B = 1.5 * 2 / 2^2 along +y.
    const double zDip[6] = {0, 0, 0, 0, 0, 2}, px[3] = {200, 0, 0}, ey[3] = {0, 1, 0};
    EXPECT_NEAR(e.coil28Q5Bcmp_BiotSavartEqn(px, ey, zDip), 0.75, 1e-15);
    const double atSource[3] = {10, 20, 30};
    EXPECT_EQ(e.coil28Q5Bcmp_BiotSavartEqn(atSource, orient, cart), 0.0);
    EXPECT_EQ(e.coil28Q5Bcmp_BiotSavartEqn(nullptr, orient, cart), 0.0);
    EXPECT_EQ(e.coil28Q5Bcmp_BiotSavartEqn_Qsph(field, orient, nullptr), 0.0);
}

TEST_F(OnSpheres, GrynszpanMembersAreTheSphereFieldInEveryDescription) {
    const double g = e.coil28Q5Bcmp_GrynszpanEqn(field, orient, cart);
    // 1e-9 times the Sarvas field of the scaled geometry.
    Vec p = {{0.6, -0.4, 1.1}}, r0 = {{0.1, 0.2, 0.3}}, Q, B;
    const double s[3] = {1.0, 35 / kDeg, 70 / kDeg};
    CVector02Mas::sphericalToxyz(s, Q);
    e.point12Q6Mf3D_00sam03Fwd(p, r0, scaled(Q, 2.0), B);
    EXPECT_NEAR(g, 1e-9 * dot(B, orient), 1e-9 * std::fabs(g));
    EXPECT_NEAR(e.coil28Q5Bcmp_GrynszpanEqn_Qsph(field, orient, sph), g, 1e-9 * std::fabs(g));
    // The tangent-plane form with the angle and amplitude of the dipole's
    // tangential part.
    double alpha = 0, amp = 0;
    ASSERT_EQ(e._28getLocalAlpha(cart, alpha, amp), 1);
    const double local[5] = {10, 20, 30, alpha, amp}, localSph[5] = {sph[0], sph[1], sph[2], alpha, amp};
    EXPECT_NEAR(e.coil28Q5Bcmp_GrynszpanLocal(field, orient, local), g, 1e-9 * std::fabs(g));
    EXPECT_NEAR(e.coil28Q5Bcmp_GrynszpanLocal_Qsph(field, orient, localSph), g, 1e-9 * std::fabs(g));
    // A radial dipole: no field, no tangential amplitude.
    const double radial[6] = {10, 20, 30, sph[1], sph[2], 2};
    EXPECT_NEAR(e.coil28Q5Bcmp_GrynszpanEqn(field, orient, radial), 0.0, 1e-12 * std::fabs(g));
    ASSERT_EQ(e._28getLocalAlpha(radial, alpha, amp), 1);
    EXPECT_NEAR(amp, 0.0, 1e-12);
    // At the source, at a source in the centre, and without arguments: 0.
    const double atSource[3] = {10, 20, 30}, centre[6] = {0, 0, 0, 35, 70, 2};
    EXPECT_EQ(e.coil28Q5Bcmp_GrynszpanEqn(atSource, orient, cart), 0.0);
    EXPECT_EQ(e.coil28Q5Bcmp_GrynszpanEqn(field, orient, centre), 0.0);
    EXPECT_EQ(e.coil28Q5Bcmp_GrynszpanLocal(field, nullptr, local), 0.0);
    EXPECT_EQ(e._28getLocalAlpha(nullptr, alpha, amp), 0);
}

TEST_F(OnSpheres, MagneticDipoleAndReferenceAngle) {
    e.mu4PiRatio = 2.5;
    const double src[6] = {1, 2, 3, 0, 0, 1};  // moment 1 along +z
    const double axis[3] = {1, 2, 4}, equator[3] = {2, 2, 3}, ez[3] = {0, 0, 1};
    EXPECT_NEAR(e.coil26MQ5Bcmp(axis, ez, src), 2 * 2.5 * 1e-15, 1e-30);
    EXPECT_NEAR(e.coil26MQ5Bcmp(equator, ez, src), -2.5 * 1e-15, 1e-30);
    const double src3[6] = {1, 2, 3, 0, 0, 3};
    EXPECT_NEAR(e.coil26MQ5Bcmp(axis, ez, src3), 3 * 2 * 2.5 * 1e-15, 1e-29);
    EXPECT_EQ(e.coil26MQ5Bcmp(src, ez, src), 0.0);
    EXPECT_EQ(e.coil26MQ5Bcmp(axis, ez, nullptr), 0.0);
    // Above the centre the local frame is the global one: the angle passes
    // through unchanged, in the x-y plane (beta 90), and the frame is a
    // rotation, so the amplitude keeps its size anywhere.
    double alpha = 0, beta = 0, amp = 4.0;
    const double top[4] = {0, 0, 50, 30};
    ASSERT_EQ(e._28getRefAlpha(top, alpha, beta, amp), 1);
    EXPECT_NEAR(alpha, 30.0, 1e-12);
    EXPECT_NEAR(beta, 90.0, 1e-12);
    EXPECT_NEAR(amp, 4.0, 1e-14);
    const double side[4] = {10, 20, 30, 30};
    ASSERT_EQ(e._28getRefAlpha(side, alpha, beta, amp), 1);
    EXPECT_NEAR(amp, 4.0, 1e-14);
    EXPECT_EQ(e._28getRefAlpha(nullptr, alpha, beta, amp), 0);
}

}  // namespace
