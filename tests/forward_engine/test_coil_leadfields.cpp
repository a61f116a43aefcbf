// Coil-level leadfields: each three-component value is the normal component of
// the point field of a unit source along an axis; each two-component value is
// the three-component row projected on the basis direction; the fixed factors,
// the silent radial source, the degenerate points and the routing by code.
#include "PhysTestSupport.h"
#include "forward_data/CMDataForwardkw.h"

namespace {

using phystest::dot;
using phystest::len;
using phystest::Probe;
using phystest::relDiff;
using phystest::scaled;
using phystest::Vec;

constexpr double kTensor = 7.957747154594243e-11;

struct CoilLeadfields : ::testing::Test {
    Probe e;
    CMDataForwardkw data;  // host axes: the Grynszpan members convert
    phystest::Rng rng;
    Vec pt, n, r0;
    void SetUp() override { e.pDataFwd = &data; }
    void randomGeometry() {
        pt = rng.onSphere(0.11);
        n = rng.onSphere(1.0);
        r0 = rng.onSphere(rng.uniform(0.01, 0.07));
    }
    // n . B of a unit source along each axis, from the point formulas, with
    // the point formulas' own factor.
    Vec pointRow(int (Probe::*f)(const double*, const double*, const double*, double*) const) {
        Vec out;
        for (int j = 0; j < 3; ++j) {
            Vec ej, B;
            ej[j] = 1.0;
            (e.*f)(pt, r0, ej, B);
            out[j] = dot(B, n);
        }
        return out;
    }
};

TEST_F(CoilLeadfields, ThreeComponentValuesAreTheNormalFieldOfUnitAxisSources) {
    for (int t = 0; t < 50; ++t) {
        randomGeometry();
        e.mu4PiRatio = 1e-7;  // makes code 0 and code 1 the same
        const Vec sarvas = pointRow(&Probe::point12Q6Mf3D_00sam03Fwd);
        const Vec biot = pointRow(&Probe::point12Q6Mf3D_05BiotSavartCtf);
        const Vec dipole = pointRow(&Probe::point11MQ6Mf3D_01Magnetic);
        const Vec primary = pointRow(&Probe::point11MQ6Mf3D_03PrimaryCurrent);
        const Vec expected[8] = {sarvas, sarvas, sarvas, sarvas, sarvas, biot, scaled(sarvas, 1e-2), sarvas};
        Vec out;
        for (int code = 0; code < 9; ++code) {
            e.coilFwdModel = code;
            ASSERT_EQ(e.coil26xLf3D_all(pt, n, r0, out), 1);
            EXPECT_LT(relDiff(out, expected[code < 8 ? code : 0]), 1e-9) << code;
        }
        e.isMagSrc = 1;
        const Vec magnetic[3] = {dipole, scaled(dipole, kTensor / 1e-7), primary};
        for (int code = 0; code < 9; ++code) {
            e.coilFwdModel = code;
            ASSERT_EQ(e.coil26xLf3D_all(pt, n, r0, out), 1);
            EXPECT_LT(relDiff(out, magnetic[code < 3 ? code : 0]), 1e-12) << "magnetic " << code;
        }
        e.isMagSrc = 0;
        // Code 1 keeps its factor whatever mu4PiRatio says; code 0 follows it.
        Vec c0, c1;
        e.mu4PiRatio = 2e-7;
        e.coilFwdModel = 0;
        e.coil26xLf3D_all(pt, n, r0, c0);
        e.coilFwdModel = 1;
        e.coil26xLf3D_all(pt, n, r0, c1);
        EXPECT_LT(relDiff(c0, scaled(c1, 2.0)), 1e-14);
    }
}

TEST_F(CoilLeadfields, TwoComponentValuesAreTheThreeComponentRowProjected) {
    R3Q3x3 basis;
    CSpherekw centre;
    e.tangVectMethod = 2;
    for (int t = 0; t < 30; ++t) {
        randomGeometry();
        ASSERT_EQ(e.set2DVect4SrcAll(r0, &centre, &basis), 1);
        for (int mag : {0, 1}) {
            e.isMagSrc = mag;
            for (int code = 0; code < 8; ++code) {
                e.coilFwdModel = code;
                e.mu4PiRatio = 1e-7;  // the two-component code 0 has the fixed factor 1e-7
                double out2[2], row[3];
                ASSERT_EQ(e.coil26xLf3D_all(pt, n, r0, row), 1);
                ASSERT_EQ(e.coil24xLf2D_all(pt, n, &basis, out2), 1);
                for (int i = 0; i < 2; ++i) EXPECT_NEAR(out2[i], dot(row, basis.q[i]), 1e-9 * len(row)) << code;
                // Directions of length 2 double every value but the Nut one.
                R3Q3x3 twice = basis;
                for (int i = 0; i < 2; ++i)
                    for (int k = 0; k < 3; ++k) twice.q[i][k] *= 2.0;
                double out2x[2];
                ASSERT_EQ(e.coil24xLf2D_all(pt, n, &twice, out2x), 1);
                const double f = (mag == 0 && code == 3) ? 1.0 : 2.0;
                for (int i = 0; i < 2; ++i) EXPECT_NEAR(out2x[i], f * out2[i], 1e-12 * len(row)) << code;
            }
        }
    }
}

TEST_F(CoilLeadfields, RadialSourcesAreSilentExceptInFreeSpace) {
    r0 = {{0.0, 0.0, 0.05}};
    R3Q3x3 basis;
    basis.r[2] = 0.05;
    basis.q[0][2] = 1.0;  // radial
    basis.q[1][0] = 1.0;  // tangential
    for (int t = 0; t < 10; ++t) {
        pt = rng.onSphere(0.11);
        n = rng.onSphere(1.0);
        for (int code = 0; code < 7; ++code) {
            e.coilFwdModel = code;
            Vec out;
            double out2[2];
            ASSERT_EQ(e.coil26xLf3D_all(pt, n, r0, out), 1);
            ASSERT_EQ(e.coil24xLf2D_all(pt, n, &basis, out2), 1);
            if (code == 5) {
                EXPECT_GT(std::fabs(out[2]), 1e-3 * len(out));
            } else {
                EXPECT_LT(std::fabs(out[2]), 1e-12 * len(out)) << code;
                EXPECT_LT(std::fabs(out2[0]), 1e-12 * std::fabs(out2[1])) << code;
            }
        }
    }
}

TEST_F(CoilLeadfields, DegeneratePointsAndBadArguments) {
    r0 = {{0.01, 0.02, 0.03}}, n = {{0, 0, 1}};
    const Vec centre, far = {{0.0, 0.0, 0.11}};
    R3Q3x3 basis, atCentre;
    for (int k = 0; k < 3; ++k) basis.r[k] = r0[k];
    basis.q[0][0] = basis.q[1][1] = atCentre.q[0][0] = atCentre.q[1][1] = 1.0;
    // A point at the source: zeros; only the vector-form Sarvas members fail
    // (F = 0). A source at the centre: Grynszpan fails. Null arguments fail.
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

}  // namespace
