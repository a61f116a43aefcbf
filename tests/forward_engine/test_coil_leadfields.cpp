// Coil-level and multi-coil leadfields against the point formulas (factors, degenerate
// points, routing by code); field components on spheres across source descriptions.
#include <vector>

#include "PhysTestSupport.h"
#include "forward_data/CMDataForwardkw.h"

namespace {

using namespace phystest;

constexpr double kTensor = 7.957747154594243e-11, kDeg = 180.0 / 3.141592653589793;

struct CoilLeadfields : ::testing::Test {
    Probe e;
    CMDataForwardkw data;  // host axes: the Grynszpan members convert
    Rng rng;
    Vec pt, n, r0;
    void SetUp() override { e.pDataFwd = &data; }
    void randomGeometry() { pt = rng.onSphere(0.11), n = rng.onSphere(1.0), r0 = rng.onSphere(rng.uniform(0.01, 0.07)); }
    // n . B of a unit source along each axis, with the point formula's own factor.
    Vec pointRow(Member f) {
        Vec out;
        for (int j = 0; j < 3; ++j) {
            Vec ej, B;
            ej[j] = 1.0;
            (e.*f)(pt, r0, ej, B);
            out[j] = dot(B, n);
        }
        return out;
    }
    Vec coilRow(int code) {
        e.coilFwdModel = code;
        Vec out;
        EXPECT_EQ(e.coil26xLf3D_all(pt, n, r0, out), 1);
        return out;
    }
};

TEST_F(CoilLeadfields, ThreeComponentValuesAreTheNormalFieldOfUnitAxisSources) {
    for (int t = 0; t < 50; ++t) {
        randomGeometry();
        e.mu4PiRatio = 1e-7;  // makes code 0 and code 1 the same
        const Vec s = pointRow(&Probe::point12Q6Mf3D_00sam03Fwd), dip = pointRow(&Probe::point11MQ6Mf3D_01Magnetic);
        const Vec expected[2][8] = {
            {s, s, s, s, s, pointRow(&Probe::point12Q6Mf3D_05BiotSavartCtf), scaled(s, 1e-2), s},
            {dip, scaled(dip, kTensor / 1e-7), pointRow(&Probe::point11MQ6Mf3D_03PrimaryCurrent)}};
        for (int mag : {0, 1})
            for (int code = 0; code < 9; ++code) {  // code 8 is unknown: the default row
                e.isMagSrc = mag;
                EXPECT_LT(relDiff(coilRow(code), expected[mag][code < (mag ? 3 : 8) ? code : 0]), mag ? 1e-12 : 1e-9)
                    << mag << " " << code;
            }
        e.isMagSrc = 0, e.mu4PiRatio = 2e-7;  // code 1 keeps its factor, code 0 follows mu4PiRatio
        EXPECT_LT(relDiff(coilRow(0), scaled(coilRow(1), 2.0)), 1e-14);
    }
}

TEST_F(CoilLeadfields, TwoComponentValuesAreTheThreeComponentRowProjected) {
    R3Q3x3 basis;
    CSpherekw centre;
    e.tangVectMethod = 2;
    for (int t = 0; t < 30; ++t) {
        randomGeometry();
        ASSERT_EQ(e.set2DVect4SrcAll(r0, &centre, &basis), 1);
        R3Q3x3 twice = basis;  // directions of length 2 double every value but the Nut one
        for (int i = 0; i < 2; ++i)
            for (int k = 0; k < 3; ++k) twice.q[i][k] *= 2.0;
        for (int mag : {0, 1}) {
            e.isMagSrc = mag;
            for (int code = 0; code < 8; ++code) {
                e.mu4PiRatio = 1e-7;  // the two-component code 0 has the fixed factor 1e-7
                const Vec row = coilRow(code);
                double out2[2], out2x[2];
                ASSERT_EQ(e.coil24xLf2D_all(pt, n, &basis, out2), 1);
                ASSERT_EQ(e.coil24xLf2D_all(pt, n, &twice, out2x), 1);
                const double f = (mag == 0 && code == 3) ? 1.0 : 2.0;
                for (int i = 0; i < 2; ++i) {
                    EXPECT_NEAR(out2[i], dot(row, basis.q[i]), 1e-9 * len(row)) << code;
                    EXPECT_NEAR(out2x[i], f * out2[i], 1e-12 * len(row)) << code;
                }
            }
        }
    }
}

// A point at the source: zeros; only the vector-form Sarvas members fail
// (F = 0). A source at the centre: Grynszpan fails. Null arguments fail.
TEST_F(CoilLeadfields, DegeneratePointsAndBadArguments) {
    r0 = {{0.01, 0.02, 0.03}}, n = {{0, 0, 1}};
    const Vec centre, far = {{0.0, 0.0, 0.11}};
    R3Q3x3 basis, atCentre;
    for (int k = 0; k < 3; ++k) basis.r[k] = r0[k];
    basis.q[0][0] = basis.q[1][1] = atCentre.q[0][0] = atCentre.q[1][1] = 1.0;
    for (int mag : {0, 1}) {
        e.isMagSrc = mag;
        for (int code = 0; code < 7; ++code) {
            e.coilFwdModel = code;
            Vec out = {{7, 7, 7}};
            double out2[2] = {7, 7};
            EXPECT_EQ(e.coil26xLf3D_all(r0, n, r0, out), mag == 0 && code == 3 ? 0 : 1) << mag << code;
            EXPECT_EQ(e.coil24xLf2D_all(r0, n, &basis, out2), mag == 0 && (code == 2 || code == 3) ? 0 : 1);
            EXPECT_EQ(len(out) + std::fabs(out2[0]) + std::fabs(out2[1]), 0.0);
            const int okCentre = mag == 0 && code == 6 ? 0 : 1;
            EXPECT_EQ(e.coil26xLf3D_all(far, n, centre, out), okCentre);
            EXPECT_EQ(e.coil24xLf2D_all(far, n, &atCentre, out2), okCentre);
            EXPECT_EQ(e.coil26xLf3D_all(nullptr, n, r0, out) + e.coil26xLf3D_all(far, n, r0, nullptr), 0);
            EXPECT_EQ(e.coil24xLf2D_all(far, nullptr, &basis, out2) + e.coil24xLf2D_all(far, n, nullptr, out2), 0);
        }
    }
}

// n random coil points and normals as the multi-coil members take them.
struct Points {
    std::vector<Vec> pos, dir, lf;
    std::vector<const double*> pp, pd;
    std::vector<double*> pl;
    Points(Rng& rng, int n) : pos(n), dir(n), lf(n, Vec{{7, 7, 7}}) {
        for (int i = 0; i < n; ++i) {
            pos[i] = rng.onSphere(0.11), dir[i] = rng.onSphere(1.0);
            pp.push_back(pos[i]), pd.push_back(dir[i]), pl.push_back(lf[i]);
        }
    }
};

// Each is the one-coil order-1 magnetometer's row (coilCode, factor): Sarvas with 1e-10,
// Cuffin with 1e-9, the dipole with mu4PiRatio, the primary current with kTensor / 10.
TEST_F(CoilLeadfields, MultiCoilFormulasAreCoilLevelLeadfieldsWithTheirFixedFactors) {
    Points p(rng, 20);
    r0 = rng.onSphere(0.05);
    e.mu4PiRatio = 3.0;
    const struct { int mag, code, coilCode; double mu; } cases[] = {
        {0, 0, 0, 1e-10}, {0, 3, 0, 1e-10}, {0, 4, 0, 1e-9}, {1, 4, 0, 3.0}, {1, 0, 2, kTensor / 10}, {1, 2, 2, kTensor / 10}};
    for (const auto& c : cases) {
        e.isMagSrc = c.mag, e.coilFwdModel = c.code;
        EXPECT_EQ(e.point2LfMutiCoils(20, p.pp.data(), p.pd.data(), r0, p.pl.data()), 1);
        Probe one;
        one.isMagSrc = c.mag, one.coilFwdModel = c.coilCode, one.mu4PiRatio = c.mu;
        for (int i = 0; i < 20; ++i) {
            Vec want;
            one.coil26xLf3D_all(p.pos[i], p.dir[i], r0, want);
            EXPECT_LT(relDiff(p.lf[i], want), 1e-9) << c.mag << " " << c.code;
        }
    }
}

TEST_F(CoilLeadfields, MultiCoilEdgeCasesStayFinite) {
    Points p(rng, 4);  // nothing is written for n < 1 or missing arrays
    EXPECT_EQ(e.point2LfMutiCoils(0, p.pp.data(), p.pd.data(), r0, p.pl.data()), 1);
    EXPECT_EQ(e.point2LfMutiCoils(4, nullptr, p.pd.data(), r0, p.pl.data()), 1);
    EXPECT_EQ(p.lf[0][0], 7.0);
    r0 = {{0.0, 0.0, 0.05}};
    // Point 0 at the source, 1 at the centre, 2 on the source's ray (Cuffin's
    // parallel case: 1e-9 g (N x r0), g = -1/F = -1/(4 |r0|^3) at P = 2 r0).
    p.pos[0] = r0, p.pos[1] = Vec{}, p.pos[2] = scaled(r0, 2.0);
    for (int mag : {0, 1})
        for (int code : {0, 4}) {
            e.isMagSrc = mag, e.coilFwdModel = code;
            e.point2LfMutiCoils(4, p.pp.data(), p.pd.data(), r0, p.pl.data());
            EXPECT_EQ(len(p.lf[0]), 0.0);
            EXPECT_TRUE(mag == 1 || len(p.lf[1]) == 0.0);
            for (int i = 1; i < 4; ++i) EXPECT_TRUE(std::isfinite(len(p.lf[i])));
        }
    e.point2LfMultiCoils02Cuffin(4, p.pp.data(), p.pd.data(), r0, p.pl.data());
    const Vec expected = scaled(cross(p.dir[2], r0), -1e-9 / (4 * std::pow(0.05, 3)));
    EXPECT_LT(relDiff(p.lf[2], expected), 1e-12);
    e.point2LfMultiCoils03Sarvas(4, p.pp.data(), p.pd.data(), r0, p.pl.data());
    EXPECT_LT(relDiff(p.lf[2], scaled(expected, 0.1)), 1e-9);
}

struct OnSpheres : ::testing::Test {
    Probe e;
    // A source at (10, 20, 30) mm, angles (a, b), moment 2; spherical: radius, azimuth, polar.
    const double cart[6] = {10, 20, 30, 35, 70, 2}, r = std::sqrt(1400.0);
    const double sph[6] = {r, std::atan2(20.0, 10.0) * kDeg, std::acos(30.0 / r) * kDeg, 35, 70, 2};
    const double field[3] = {60, -40, 110}, orient[3] = {0.3, -0.5, 0.81}, atSource[3] = {10, 20, 30};
};

TEST_F(OnSpheres, BiotSavartMembers) {
    e.mu4PiRatio = 1.5;
    const double b = e.coil28Q5Bcmp_BiotSavartEqn(field, orient, cart);
    EXPECT_NE(b, 0.0);
    EXPECT_NEAR(e.coil28Q5Bcmp_BiotSavartEqn_Qsph(field, orient, sph), b, 1e-12 * std::fabs(b));
    const double d[3] = {0.5, -0.6, 0.8};
    EXPECT_NEAR(e.coil28Q5Bcmp_BiotSavartEqn(field, d, cart), 0.0, 1e-12 * std::fabs(b));  // B = Q x d is normal to d
    // A z dipole of moment 2 at the origin seen from 200 (2 after scaling) on +x: 1.5 * 2 / 2^2 along +y.
    const double zDip[6] = {0, 0, 0, 0, 0, 2}, px[3] = {200, 0, 0}, ey[3] = {0, 1, 0};
    EXPECT_NEAR(e.coil28Q5Bcmp_BiotSavartEqn(px, ey, zDip), 0.75, 1e-15);
    EXPECT_EQ(std::fabs(e.coil28Q5Bcmp_BiotSavartEqn(atSource, orient, cart)) + std::fabs(e.coil28Q5Bcmp_BiotSavartEqn(
                  nullptr, orient, cart)) + std::fabs(e.coil28Q5Bcmp_BiotSavartEqn_Qsph(field, orient, nullptr)), 0.0);
}

TEST_F(OnSpheres, GrynszpanMembersAreTheSphereFieldInEveryDescription) {
    const double g = e.coil28Q5Bcmp_GrynszpanEqn(field, orient, cart), tol = 1e-9 * std::fabs(g);
    Vec p = {{0.6, -0.4, 1.1}}, r0 = {{0.1, 0.2, 0.3}}, Q, B;  // 1e-9 times the Sarvas field of the scaled geometry
    const double s[3] = {1.0, 35 / kDeg, 70 / kDeg};
    CVector02Mas::sphericalToxyz(s, Q);
    e.point12Q6Mf3D_00sam03Fwd(p, r0, scaled(Q, 2.0), B);
    EXPECT_NEAR(g, 1e-9 * dot(B, orient), tol);
    EXPECT_NEAR(e.coil28Q5Bcmp_GrynszpanEqn_Qsph(field, orient, sph), g, tol);
    // The tangent-plane form with the angle and amplitude of the dipole's tangential part.
    double alpha = 0, amp = 0;
    ASSERT_EQ(e._28getLocalAlpha(cart, alpha, amp), 1);
    const double local[5] = {10, 20, 30, alpha, amp}, localSph[5] = {sph[0], sph[1], sph[2], alpha, amp};
    EXPECT_NEAR(e.coil28Q5Bcmp_GrynszpanLocal(field, orient, local), g, tol);
    EXPECT_NEAR(e.coil28Q5Bcmp_GrynszpanLocal_Qsph(field, orient, localSph), g, tol);
    const double radial[6] = {10, 20, 30, sph[1], sph[2], 2};  // no field, no tangential amplitude
    EXPECT_NEAR(e.coil28Q5Bcmp_GrynszpanEqn(field, orient, radial), 0.0, 1e-12 * std::fabs(g));
    ASSERT_EQ(e._28getLocalAlpha(radial, alpha, amp), 1);
    EXPECT_NEAR(amp, 0.0, 1e-12);
    const double centre[6] = {0, 0, 0, 35, 70, 2};  // at the source, at the centre, without arguments: 0
    EXPECT_EQ(e.coil28Q5Bcmp_GrynszpanEqn(atSource, orient, cart), 0.0);
    EXPECT_EQ(e.coil28Q5Bcmp_GrynszpanEqn(field, orient, centre), 0.0);
    EXPECT_EQ(e.coil28Q5Bcmp_GrynszpanLocal(field, nullptr, local), 0.0);
    EXPECT_EQ(e._28getLocalAlpha(nullptr, alpha, amp), 0);
}

// Tangent-plane angles: above the centre the local frame is the global one (angle
// unchanged, beta 90); the frame is a rotation, so the amplitude keeps its size.
TEST_F(OnSpheres, MagneticDipoleAndReferenceAngle) {
    e.mu4PiRatio = 2.5;
    const double src[6] = {1, 2, 3, 0, 0, 1}, src3[6] = {1, 2, 3, 0, 0, 3};  // moments 1 and 3 along +z
    const double axis[3] = {1, 2, 4}, equator[3] = {2, 2, 3}, ez[3] = {0, 0, 1};
    EXPECT_NEAR(e.coil26MQ5Bcmp(axis, ez, src), 2 * 2.5 * 1e-15, 1e-30);
    EXPECT_NEAR(e.coil26MQ5Bcmp(equator, ez, src), -2.5 * 1e-15, 1e-30);
    EXPECT_NEAR(e.coil26MQ5Bcmp(axis, ez, src3), 3 * 2 * 2.5 * 1e-15, 1e-29);
    EXPECT_EQ(e.coil26MQ5Bcmp(src, ez, src) + e.coil26MQ5Bcmp(axis, ez, nullptr), 0.0);
    double alpha = 0, beta = 0, amp = 4.0;
    const double top[4] = {0, 0, 50, 30}, side[4] = {10, 20, 30, 30};
    ASSERT_EQ(e._28getRefAlpha(top, alpha, beta, amp), 1);
    EXPECT_LT(std::fabs(alpha - 30.0) + std::fabs(beta - 90.0), 1e-12);
    EXPECT_NEAR(amp, 4.0, 1e-14);
    EXPECT_EQ(e._28getRefAlpha(side, alpha, beta, amp) + 2 * e._28getRefAlpha(nullptr, alpha, beta, amp), 1);
    EXPECT_NEAR(amp, 4.0, 1e-14);
}

}  // namespace
