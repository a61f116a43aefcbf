// Sensor-level leadfields and field values: sensor models, coil factors and
// weights, integration order, the dispatch tables, and the agreement of the
// leadfield-based field values with the point-formula ones.
#include "ScanFixtures.h"

namespace {

using scanfx::kCentre;

struct SnsEngine : ScanEngine {
    using CMForward03Snsr02LfAxl::sns32Q3Lf2D_std1order;
};

const double kUp[3] = {0, 1, 0};
const double kSrc[3] = {15, 55, 10};  // 45 mm above the centre, off axis

// Unit tangential basis at kSrc (two directions perpendicular to src - centre).
R3Q3x3 tangBasis() {
    R3Q3x3 b;
    double r[3] = {kSrc[0] - kCentre[0], kSrc[1] - kCentre[1], kSrc[2] - kCentre[2]};
    const double n = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    double a[3] = {r[1] / n, -r[0] / n, 0.0};
    const double na = std::hypot(a[0], a[1]);
    for (int m = 0; m < 3; ++m) b.r[m] = r[m], b.q[0][m] = a[m] / na;
    b.q[1][0] = (r[1] * b.q[0][2] - r[2] * b.q[0][1]) / n;
    b.q[1][1] = (r[2] * b.q[0][0] - r[0] * b.q[0][2]) / n;
    b.q[1][2] = (r[0] * b.q[0][1] - r[1] * b.q[0][0]) / n;
    b.nq = 2;
    return b;
}

std::array<double, 3> lf3(SnsEngine& e, const CMEGSensorkw& s, int order = -1) {
    CMEGSensorkw c(s);
    std::array<double, 3> out{9, 9, 9};
    EXPECT_EQ(e.sns33Q3Lf3D_All(&c, const_cast<double*>(kSrc), const_cast<double*>(kCentre), order, out.data()), 1);
    return out;
}

TEST(SensorLevel, CoilFactorsAndWeightsCombineAsTheSensorModelSays) {
    SnsEngine e;
    CMEGSensorkw g1 = scanfx::sensor(kUp, true), g2(g1), gs(g1), m1 = scanfx::sensor(kUp, false), m3(m1);
    g2.getCoil(0)->nTurns = 2, g2.getCoil(1)->nTurns = -2;
    gs.getCoil(0)->nTurns = -1, gs.getCoil(1)->nTurns = 1;
    m3.getCoil(0)->nTurns = -3;
    const auto a = lf3(e, g1), b = lf3(e, g2), c = lf3(e, gs), lower = lf3(e, m1), neg = lf3(e, m3);
    const CMEGSensorkw upper = scanfx::sensor(kUp, false, 160.0);
    const auto up = lf3(e, upper);
    for (int m = 0; m < 3; ++m) {
        const double tol = 1e-12 * std::abs(lower[m]) + 1e-30;
        EXPECT_NEAR(a[m], b[m], tol);
        EXPECT_NEAR(a[m], -c[m], tol);
        EXPECT_NEAR(a[m], lower[m] - up[m], tol);  // first coil's integral minus the second's
        EXPECT_NEAR(neg[m], -lower[m], tol);       // |nTurns| of a magnetometer does not count
    }
    EXPECT_GT(std::abs(a[0]) + std::abs(a[2]), 0.0);

    e.snsFwdModel = 0;  // standard: weights +1/-1 sum to zero, the sum stays undivided
    const auto sg = lf3(e, g1), sl = lf3(e, m1), su = lf3(e, upper);
    CMEGSensorkw w2(g1);
    w2.getCoil(1)->magApha = 3.0;  // weights 1 and 3: the weighted mean
    const auto sw = lf3(e, w2);
    for (int m = 0; m < 3; ++m) {
        EXPECT_NEAR(sg[m], sl[m] - su[m], 1e-12 * std::abs(sl[m]) + 1e-30);
        EXPECT_NEAR(sw[m], (sl[m] + 3 * su[m]) / 4, 1e-12 * std::abs(sl[m]) + 1e-30);
    }
}

TEST(SensorLevel, NullCoilsOriginAndStoredPointValues) {
    SnsEngine e;
    CMEGSensorkw empty;
    empty.addEmptyCoilSlot();
    MAGFIELD f;
    for (int m = 0; m < 3; ++m) f.pos[m] = kSrc[m];
    f.mom[0] = 1.0;
    for (int model : {1, 0}) {
        e.snsFwdModel = model;
        R3Q3x3 b = tangBasis();
        double o3[3] = {5, 5, 5}, o2[2] = {5, 5};
        EXPECT_EQ(e.sns33Q3Lf3D_All(&empty, f.pos, nullptr, -1, o3), 1);
        EXPECT_EQ(e.sns33Q3Lf2D_All(&empty, f.pos, nullptr, -1, &b, o2), 1);
        EXPECT_EQ(o3[0] + o3[1] + o3[2] + o2[0] + o2[1], 0.0);
        EXPECT_EQ(e.sns31Q6B1_AllPasSphere(&empty, &f, nullptr, -1), 0.0);
    }
    // Origin null equals origin 0; the CTF sum leaves each point's values in val.
    e.snsFwdModel = 1;
    CMEGSensorkw s = scanfx::sensor(kUp, true), s2(s);
    double a[3], z[3] = {0, 0, 0}, c[3];
    ASSERT_EQ(e.sns33Q3Lf3D_All(&s, f.pos, nullptr, 3, a), 1);
    ASSERT_EQ(e.sns33Q3Lf3D_All(&s2, f.pos, z, 3, c), 1);
    double sum[3] = {0, 0, 0};
    for (int i = 0; i < 2; ++i)
        for (int k = 0; k < s.numW12Pts; ++k)
            for (int m = 0; m < 3; ++m) sum[m] += s.getCoil(i)->nTurns * s.w12Wt[k] * s.getCoil(i)->b12Pts[k].val[m];
    for (int m = 0; m < 3; ++m) {
        EXPECT_EQ(a[m], c[m]);
        EXPECT_NEAR(sum[m], a[m], 1e-12 * std::abs(a[m]) + 1e-30);
    }
    EXPECT_EQ(s.numW12Pts, 4);
}

TEST(SensorLevel, IntegrationOrderIsResolvedCheckedAndIgnoredByTheStandardModel) {
    SnsEngine e;
    megfwd::test::MessageRecorder rec;
    e.orderCoilIntg = 7;
    CMEGSensorkw s = scanfx::sensor(kUp, true);
    double out[3] = {4, 4, 4};
    ASSERT_EQ(e.sns33Q3Lf3D_All(&s, const_cast<double*>(kSrc), nullptr, -1, out), 1);
    EXPECT_EQ(s.numW12Pts, 12);
    for (int bad : {0, 6, 8, -2}) {
        CMEGSensorkw f = scanfx::sensor(kUp, true);
        double o[3] = {4, 4, 4}, o2[2] = {4, 4};
        R3Q3x3 b = tangBasis();
        EXPECT_EQ(e.sns33Q3Lf3D_All(&f, const_cast<double*>(kSrc), nullptr, bad, o), 0);
        EXPECT_EQ(e.sns33Q3Lf2D_All(&f, const_cast<double*>(kSrc), nullptr, bad, &b, o2), 0);
        EXPECT_EQ(o[0] + o[1] + o[2] + o2[0] + o2[1], 20.0);
        EXPECT_EQ(f.isW12Set, 0);
        EXPECT_EQ(e.orderCoilIntg, 7);
    }
    EXPECT_EQ(rec.count(scanfx::kOrderText), 8);
    ASSERT_EQ(rec.messages().size(), 8u);
    e.snsFwdModel = 0;
    EXPECT_EQ(e.sns33Q3Lf3D_All(&s, const_cast<double*>(kSrc), nullptr, 6, out), 1);
    EXPECT_EQ(rec.messages().size(), 8u);
}

// Two components: the CTF model projects the three-component sum on the
// basis; the standard model's code-0 row uses the fixed factor 1e-7 while the
// three-component code-0 row uses mu4PiRatio, so they agree only at 1e-7.
TEST(SensorLevel, TwoComponentsFollowTheirDispatchRows) {
    SnsEngine e;
    const CMEGSensorkw g = scanfx::sensor(kUp, true);
    const R3Q3x3 b0 = tangBasis();
    for (int model : {1, 0})
        for (int code : {0, 2, 4, 6}) {
            e.snsFwdModel = model, e.coilFwdModel = code;
            CMEGSensorkw s(g);
            R3Q3x3 b = b0;
            double o2[2];
            ASSERT_EQ(e.sns33Q3Lf2D_All(&s, const_cast<double*>(kSrc), const_cast<double*>(kCentre), 2, &b, o2), 1);
            const auto L = lf3(e, g, 2);
            const double f = (model == 0 && code == 0) ? 1e-7 : 1.0;
            for (int j = 0; j < 2; ++j) {
                const double p = f * (L[0] * b.q[j][0] + L[1] * b.q[j][1] + L[2] * b.q[j][2]);
                EXPECT_NEAR(o2[j], p, 1e-9 * std::abs(p) + 1e-30) << model << " " << code;
            }
        }
}

// A field value from the leadfields equals the leadfield dotted with the
// moment, and the point-formula value for the same dipole (three components:
// any moment; two: a tangential moment, with directions of any length), for
// both sensor models. The Nut point form is the field of a unit Q x r0, not
// of Q, so code 3 is compared with the leadfield only.
TEST(SensorLevel, LeadfieldFieldValuesEqualPointFormulaValues) {
    SnsEngine e;
    megfwd::test::MessageRecorder msgs;
    const CMEGSensorkw g = scanfx::sensor(kUp, true);
    double* o = const_cast<double*>(kCentre);
    MAGFIELD f;
    for (int m = 0; m < 3; ++m) f.pos[m] = kSrc[m];
    const R3Q3x3 b0 = tangBasis();
    for (int model : {1, 0})
        for (int code : {0, 1, 2, 3, 4, 5, 6}) {
            e.snsFwdModel = model, e.coilFwdModel = code;
            e.mu4PiRatio = 1e-7;  // codes 0 and 1 then agree with the fixed-factor rows
            const double m3[3] = {0.3, -1.2, 0.7};
            for (int m = 0; m < 3; ++m) f.mom[m] = m3[m];
            CMEGSensorkw s1(g), s2(g);
            R3Q3x3 b = b0;
            const auto L = lf3(e, g, 2);
            const double lfdot = L[0] * m3[0] + L[1] * m3[1] + L[2] * m3[2];
            const double bpo = e.sns31Q6B1_AllPasSphere(&s1, &f, o, 2);
            const double lfo = e.sns36Q6LfOpt(&s2, &f, 2, o, &b, 3);
            EXPECT_NEAR(lfo, lfdot, 1e-9 * std::abs(lfdot)) << model << " " << code;
            if (code != 3) {
                EXPECT_NEAR(lfo, bpo, 1e-9 * std::abs(bpo)) << model << " " << code;
            }
            EXPECT_NE(lfdot, 0.0);
            for (int m = 0; m < 3; ++m) f.mom[m] = 0.6 * b0.q[0][m] + 0.8 * b0.q[1][m];
            const double bpo2 = e.sns31Q6B1_AllPasSphere(&s1, &f, o, 2);
            double lf2[2];
            for (int i = 0; i < 2; ++i) {
                for (int j = 0; j < 2; ++j)
                    for (int m = 0; m < 3; ++m) b.q[j][m] = (i ? 3.0 : 1.0) * b0.q[j][m];
                lf2[i] = e.sns36Q6LfOpt(&s2, &f, 2, o, &b, 2);
            }
            EXPECT_NEAR(lf2[1], lf2[0], 1e-9 * std::abs(lf2[0])) << model << " " << code;
            if (code != 3) {
                EXPECT_NEAR(lf2[0], bpo2, 1e-9 * std::abs(bpo2)) << model << " " << code;
            }
            for (int m = 0; m < 3; ++m) EXPECT_DOUBLE_EQ(b.r[m], kSrc[m] - kCentre[m]);
        }
    EXPECT_TRUE(msgs.messages().empty());
    for (int n : {1, 4}) EXPECT_EQ(e.sns36Q6LfOpt(nullptr, &f, 2, nullptr, nullptr, n), 0.0);
    EXPECT_EQ(msgs.count("Wrong leafield number!"), 2);
}

// Magnetic sources: the leadfield rows and the point formulas use the
// magnetic tables (the tensor row has its own fixed factor 1e-9/(4 pi)).
TEST(SensorLevel, MagneticSourcesUseTheMagneticRows) {
    SnsEngine e;
    e.isMagSrc = 1;
    const CMEGSensorkw g = scanfx::sensor(kUp, true);
    MAGFIELD f;
    for (int m = 0; m < 3; ++m) f.pos[m] = kSrc[m];
    f.mom[0] = 0.5, f.mom[1] = 1.0, f.mom[2] = -0.4;
    for (int model : {1, 0})
        for (int code : {0, 1, 2, 5}) {
            e.snsFwdModel = model, e.coilFwdModel = code;
            e.mu4PiRatio = code == 1 ? 7.957747154594243e-11 : 2.5;
            CMEGSensorkw s(g);
            const auto L = lf3(e, g, 2);
            const double bpo = e.sns31Q6B1_AllPasSphere(&s, &f, const_cast<double*>(kCentre), 2);
            const double want = L[0] * f.mom[0] + L[1] * f.mom[1] + L[2] * f.mom[2];
            EXPECT_NEAR(bpo, want, 1e-9 * std::abs(want)) << model << " " << code;
            EXPECT_NE(want, 0.0);
        }
}

}  // namespace
