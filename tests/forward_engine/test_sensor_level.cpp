// Sensor-level leadfields and field values: coil factors and weights per
// sensor model, the integration order, and leadfield-based field values.
#include "ScanFixtures.h"

namespace {

using scanfx::kCentre;
using L3 = std::array<double, 3>;
const double kUp[3] = {0, 1, 0};
double kSrc[3] = {15, 55, 10};  // 45 mm above the centre, off axis
double* const kOrg = const_cast<double*>(kCentre);

R3Q3x3 tangBasis() {  // unit tangential basis at kSrc
    R3Q3x3 b;
    const double r[3] = {kSrc[0] - kCentre[0], kSrc[1] - kCentre[1], kSrc[2] - kCentre[2]};
    const double n = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]), na = std::hypot(r[0], r[1]);
    const double a[3] = {r[1] / na, -r[0] / na, 0.0};
    for (int m = 0; m < 3; ++m) b.r[m] = r[m], b.q[0][m] = a[m];
    for (int m = 0; m < 3; ++m) b.q[1][m] = (r[(m + 1) % 3] * a[(m + 2) % 3] - r[(m + 2) % 3] * a[(m + 1) % 3]) / n;
    return b;
}

L3 lf3(CMForwardkw& e, const CMEGSensorkw& s, int order = -1) {
    CMEGSensorkw c(s);
    L3 out{9, 9, 9};
    EXPECT_EQ(e.sns33Q3Lf3D_All(&c, kSrc, kOrg, order, out.data()), 1);
    return out;
}

void expectNear3(const L3& a, double ca, const L3& x, double cb = 0.0, const L3& y = {}) {  // a = ca x + cb y
    for (int m = 0; m < 3; ++m)
        EXPECT_NEAR(a[m], ca * x[m] + cb * y[m], 1e-12 * (std::abs(a[m]) + std::abs(ca * x[m] + cb * y[m])) + 1e-30);
}

TEST(SensorLevel, CoilFactorsAndWeightsCombineAsTheSensorModelSays) {
    CMForwardkw e;
    const CMEGSensorkw g = scanfx::sensor(kUp, true), lower = scanfx::sensor(kUp, false);
    const CMEGSensorkw upper = scanfx::sensor(kUp, false, 160.0);
    CMEGSensorkw g2(g), gs(g), m3(lower), w3(g);
    g2.getCoil(0)->nTurns = 2, g2.getCoil(1)->nTurns = -2;
    gs.getCoil(0)->nTurns = -1, gs.getCoil(1)->nTurns = 1;
    m3.getCoil(0)->nTurns = -3;
    w3.getCoil(1)->magApha = 3.0;
    const L3 a = lf3(e, g), lo = lf3(e, lower), up = lf3(e, upper);
    expectNear3(lf3(e, g2), 1, a);
    expectNear3(lf3(e, gs), -1, a);
    expectNear3(a, 1, lo, -1, up);     // first coil minus second
    expectNear3(lf3(e, m3), -1, lo);  // only the sign of a magnetometer's factor
    EXPECT_GT(std::abs(a[0]) + std::abs(a[2]), 0.0);
    e.snsFwdModel = 0;  // standard: weights +1/-1 sum to zero (undivided), 1 and 3 give the weighted mean
    const L3 sl = lf3(e, lower), su = lf3(e, upper);
    expectNear3(lf3(e, g), 1, sl, -1, su);
    expectNear3(lf3(e, w3), 0.25, sl, 0.75, su);
}

TEST(SensorLevel, NullCoilsGiveZerosAndPointsKeepTheirValues) {
    CMForwardkw e;
    CMEGSensorkw empty;
    empty.addEmptyCoilSlot();
    MAGFIELD f{{kSrc[0], kSrc[1], kSrc[2]}, {1, 0, 0}, 3, 3};
    for (int model : {1, 0}) {
        e.snsFwdModel = model;
        R3Q3x3 b = tangBasis();
        double o[5] = {5, 5, 5, 5, 5};
        EXPECT_EQ(e.sns33Q3Lf3D_All(&empty, f.pos, nullptr, -1, o) + e.sns33Q3Lf2D_All(&empty, f.pos, nullptr, -1, &b, o + 3), 2);
        EXPECT_EQ(o[0] + o[1] + o[2] + o[3] + o[4], 0.0);
        EXPECT_EQ(e.sns31Q6B1_AllPasSphere(&empty, &f, nullptr, -1), 0.0);
    }
    e.snsFwdModel = 1;  // each integration point keeps its coil-level values in val
    CMEGSensorkw s = scanfx::sensor(kUp, true);
    L3 a, sum{0, 0, 0};
    ASSERT_EQ(e.sns33Q3Lf3D_All(&s, f.pos, nullptr, 3, a.data()), 1);
    ASSERT_EQ(s.numW12Pts, 4);
    for (int i = 0; i < 2; ++i)
        for (int k = 0; k < 4; ++k)
            for (int m = 0; m < 3; ++m) sum[m] += s.getCoil(i)->nTurns * s.w12Wt[k] * s.getCoil(i)->b12Pts[k].val[m];
    expectNear3(a, 1, sum);
}

// -1 takes the engine's order; a bad one is refused with the message, leaving
// outputs, sensor and order alone; the standard model needs no order.
TEST(SensorLevel, IntegrationOrderIsResolvedCheckedAndIgnoredByTheStandardModel) {
    CMForwardkw e;
    megfwd::test::MessageRecorder rec;
    e.orderCoilIntg = 7;
    CMEGSensorkw s = scanfx::sensor(kUp, true), f(s);
    R3Q3x3 b = tangBasis();
    double o[5] = {4, 4, 4, 4, 4};
    EXPECT_EQ(e.sns33Q3Lf3D_All(&f, kSrc, nullptr, 6, o) + e.sns33Q3Lf2D_All(&f, kSrc, nullptr, -2, &b, o + 3), 0);
    EXPECT_EQ(o[0] + o[1] + o[2] + o[3] + o[4], 20.0);
    EXPECT_EQ(f.isW12Set + 10 * e.orderCoilIntg, 70);
    EXPECT_EQ(rec.count(scanfx::kOrderText), 2);
    ASSERT_EQ(e.sns33Q3Lf3D_All(&s, kSrc, nullptr, -1, o), 1);
    EXPECT_EQ(s.numW12Pts, 12);
    e.snsFwdModel = 0;
    EXPECT_EQ(e.sns33Q3Lf3D_All(&s, kSrc, nullptr, 6, o), 1);
    EXPECT_EQ(rec.messages().size(), 2u);
}

// Field values from leadfields equal the leadfield dotted with the moment and
// the point-formula value (three components: any moment; two: a tangential
// one, directions of any length). The Nut point form is the field of a unit
// Q x r0, not of Q, so code 3 is compared with the leadfield only.
TEST(SensorLevel, LeadfieldFieldValuesEqualLeadfieldsAndPointFormulaValues) {
    CMForwardkw e;
    megfwd::test::MessageRecorder msgs;
    const CMEGSensorkw g = scanfx::sensor(kUp, true);
    const R3Q3x3 b0 = tangBasis();
    e.mu4PiRatio = 1e-7;  // codes 0 and 1 then agree with the fixed-factor rows
    auto near = [](double a, double b) { return std::abs(a - b) <= 1e-9 * std::abs(b); };
    for (int model : {1, 0})
        for (int code : {0, 1, 2, 3, 4, 5, 6}) {
            e.snsFwdModel = model, e.coilFwdModel = code;
            MAGFIELD f{{kSrc[0], kSrc[1], kSrc[2]}, {0.3, -1.2, 0.7}, 3, 3};
            CMEGSensorkw s1(g), s2(g);
            R3Q3x3 b = b0;
            const L3 L = lf3(e, g, 2);
            const double lfo = e.sns36Q6LfOpt(&s2, &f, 2, kOrg, &b, 3), bpo = e.sns31Q6B1_AllPasSphere(&s1, &f, kOrg, 2);
            EXPECT_TRUE(near(lfo, L[0] * f.mom[0] + L[1] * f.mom[1] + L[2] * f.mom[2])) << model << " " << code;
            EXPECT_TRUE(code == 3 || near(lfo, bpo)) << model << " " << code;
            for (int m = 0; m < 3; ++m) f.mom[m] = 0.6 * b0.q[0][m] + 0.8 * b0.q[1][m];
            const double bpo2 = e.sns31Q6B1_AllPasSphere(&s1, &f, kOrg, 2), lf2 = e.sns36Q6LfOpt(&s2, &f, 2, kOrg, &b, 2);
            for (int j = 0; j < 2; ++j)
                for (int m = 0; m < 3; ++m) b.q[j][m] = 3.0 * b0.q[j][m];
            EXPECT_TRUE(near(e.sns36Q6LfOpt(&s2, &f, 2, kOrg, &b, 2), lf2)) << model << " " << code;
            EXPECT_TRUE(code == 3 || near(lf2, bpo2)) << model << " " << code;
            EXPECT_NE(lf2, 0.0);
            for (int m = 0; m < 3; ++m) EXPECT_DOUBLE_EQ(b.r[m], kSrc[m] - kCentre[m]);
        }
    EXPECT_TRUE(msgs.messages().empty());
    MAGFIELD f;
    for (int n : {1, 4}) EXPECT_EQ(e.sns36Q6LfOpt(nullptr, &f, 2, nullptr, nullptr, n), 0.0);
    EXPECT_EQ(msgs.count("Wrong leafield number!"), 2);
}

}  // namespace
