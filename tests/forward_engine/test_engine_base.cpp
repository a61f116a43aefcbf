// The engine root: tangent bases at a source, the integration order,
// and the coil-integration weights and points.
#include <vector>

#include "PhysTestSupport.h"
#include "forward_data/CMDataForwardkw.h"
#include "support/MessageRecorder.h"

namespace {

using namespace phystest;

// -1 asks for the current order; a bad one keeps the last good one and says so.
TEST(EngineBase, TheIntegrationOrder) {
    CMForward e;
    megfwd::test::MessageRecorder rec;
    int order = -1;
    EXPECT_EQ(e.setOrder4SnsCoilIntegration(order), 1);
    EXPECT_EQ(order, 2);
    for (int o : {1, 3, 4, 5, 7, 0, 6, 8, -2}) {
        const bool bad = o <= 0 || o == 6 || o == 8;
        order = o;
        EXPECT_EQ(e.setOrder4SnsCoilIntegration(order), bad ? 0 : 1) << o;
        EXPECT_EQ(e.orderCoilIntg, bad ? 7 : o);
    }
    EXPECT_EQ(rec.count("The order for sensor coil integration in forward computer is out of range!"), 4);
    EXPECT_EQ(rec.messages().size(), 4u);
    EXPECT_EQ(rec.messages()[0].type, MB_OK);
}

struct Tangents : ::testing::Test {
    CMDataForwardkw data;
    CMForward e;
    CSpherekw sphere;
    R3Q3x3 b;
    void SetUp() override { e.pDataFwd = &data, sphere.setSphere(1.0, 2.0, 3.0, 80.0); }
    int run(int method, int coord, const Vec& r) {  // basis of the source at r from the sphere centre
        e.tangVectMethod = method;
        data.coordSystem = coord;
        b = R3Q3x3{};
        const double src[3] = {r[0] + 1.0, r[1] + 2.0, r[2] + 3.0};
        return e.set2DVect4SrcAll(src, &sphere, &b);
    }
};

// Worked cases of the four rules, then random sources: unit (rule 3: rho and
// rho |r|) orthogonal directions tangent to the sphere.
TEST_F(Tangents, WorkedCasesAndDirectionsTangentToTheSphere) {
    const double h = 1 / std::sqrt(2.0);
    const struct { int method, coord; Vec r, q0, q1; int ok; } cases[] = {
        {0, 0, {{5, 6, 7}}, {{1, 0, 0}}, {{0, 0, 1}}, 1},   // Std, host axes
        {9, 1, {{5, 6, 7}}, {{1, 0, 0}}, {{0, 1, 0}}, 1},   // unknown rule acts as Std
        {0, 2, {{5, 6, 7}}, {}, {}, 0},                      // no Std rule for Direct3D
        {1, 1, {{0, 10, 0}}, {{1, 0, 0}}, {{0, 0, 1}}, 1},  // Ctf
        {1, 1, {{0, 0, 5}}, {{1, 0, 0}}, {{0, 1, 0}}, 1},   // Ctf above the centre
        {1, 2, {{0, 10, 0}}, {{1, 0, 0}}, {{0, 0, 1}}, 1},  // Direct3D: no conversion
        {1, 0, {{0, 0, -10}}, {{1, 0, 0}}, {{0, 1, 0}}, 1}, // Matlab (0, 10, 0) in host axes
        {2, 1, {{3, 3, 0}}, {{h, -h, 0}}, {{0, 0, -1}}, 1}, // Sam: the tie goes to x
        {2, 1, {{0, 0, 0}}, {}, {}, 0},
        {2, 0, {{0, 0, 0}}, {}, {}, 0},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(run(c.method, c.coord, c.r), c.ok) << c.method << " " << c.coord;
        EXPECT_EQ(relDiff(b.r, c.r), 0.0);  // written even on failure
        EXPECT_EQ(b.nq, c.ok ? 2 : 0);
        EXPECT_LT(relDiff(b.q[0], c.q0) + relDiff(b.q[1], c.q1), 1e-12) << c.method;
    }
    e.pDataFwd = nullptr;  // without a data manager the host axes (OpenGL, vertical y) are assumed
    ASSERT_EQ(run(0, 1, {{5, 6, 7}}), 1);
    EXPECT_EQ(b.q[1][2], 1.0);
    e.pDataFwd = &data;
    Rng rng;
    for (int t = 0; t < 20; ++t) {
        const Vec r = rng.onSphere(rng.uniform(5, 70));
        for (int coord : {0, 1}) {
            const int up = coord == 0 ? 1 : 2;  // the frame's vertical axis
            const double rho = std::sqrt(dot(r, r) - r[up] * r[up]);
            for (int method : {1, 2, 3}) {
                ASSERT_EQ(run(method, coord, r), 1);
                const double lq0 = method == 3 ? rho : 1.0, lq1 = method == 3 ? rho * len(r) : 1.0;
                EXPECT_NEAR(len(b.q[0]), lq0, 1e-12 * lq0) << method;
                EXPECT_NEAR(len(b.q[1]), lq1, 1e-12 * lq1) << method;
                const double off = std::fabs(dot(b.q[0], r)) + std::fabs(dot(b.q[1], r)) + std::fabs(dot(b.q[0], b.q[1]));
                EXPECT_LT(off, 1e-12 * len(r) * lq0 * lq1) << method;
                EXPECT_TRUE(method != 1 || b.q[1][up] > 0.0);  // Ctf: towards the top
            }
        }
    }
    const double src[3] = {4, 5, 6};
    EXPECT_EQ(e.set2DVect4SrcAll(nullptr, &sphere, &b) + e.set2DVect4SrcAll(src, nullptr, &b) +
                  e.set2DVect4SrcAll(src, &sphere, nullptr) + e.set3DVect4SrcAll(src, nullptr, &b), 0);
    ASSERT_EQ(e.set3DVect4SrcAll(src, &sphere, &b), 1);
    EXPECT_EQ(b.nq, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(b.r[i] + b.q[i][i] + b.q[i][(i + 1) % 3], 4.0);
}

TEST(Integration, EveryRuleIsADiskQuadratureInTheCoilPlane) {
    CMForward e;
    Rng rng;
    std::vector<Vec> normals = {{{0, 0, 1}}, {{0, 0, -1}}, {{1, 0, 0}}, {{0, 2, 0}}, {{-1, 1, 0}}};
    for (int i = 0; i < 4; ++i) normals.push_back(rng.onSphere(rng.uniform(0.5, 2.0)));
    const struct { int order, n; double sum; } rules[] = {
        {1, 1, 1.0}, {2, 3, 0.999999}, {3, 4, 1.0}, {4, 6, 1.0}, {5, 7, 1.0}, {7, 12, 0.999996}};
    const Vec pos = {{10.0, -20.0, 110.0}}, g = {{0.3, -1.7, 2.2}};
    for (const auto& rule : rules) {
        CMEGSensorkw s;
        for (double& w : s.w12Wt) w = 9.0;
        ASSERT_EQ(e.setSnsWt12Pts(&s, rule.order), 1);
        EXPECT_EQ(s.isW12Set + s.w12Order, 1 + rule.order);
        ASSERT_EQ(s.numW12Pts, rule.n);
        for (int i = rule.n; i < 12; ++i) EXPECT_EQ(s.w12Wt[i], 0.0);
        for (const Vec& nIn : normals) {
            CBscMagSnskw c;
            c.setCoil(pos, nIn, 9.0, 1, 1.0);
            c.b12Pts[11].val[0] = 42.0;
            ASSERT_EQ(e.setCoilB12Pts(&c, rule.order), 1);
            EXPECT_EQ(c.isB12Set + c.b12Pts[11].val[0], 43.0);  // value slots are left alone
            const double* n = c.coilNormal;
            EXPECT_NEAR(len(n), 1.0, 1e-14);
            const Vec axis = std::fabs(n[0]) < 0.5 ? Vec{{1, 0, 0}} : Vec{{0, 1, 0}};
            const Vec u = scaled(cross(n, axis), 1.0 / len(cross(n, axis)));  // a unit direction in the plane
            auto offset = [&](const double* p, const double* d) { return dot(sub(p, pos), d); };
            auto integrate = [&](auto f) {  // f over the disk: the sensor's weights at the coil's points
                double sum = 0.0;
                for (int i = 0; i < s.numW12Pts; ++i) sum += s.w12Wt[i] * f(c.b12Pts[i].pos);
                return sum;
            };
            // Uniform: the weights' sum; linear: the centre value; x'^2 in the plane: R^2/4; off it: 0.
            const double W = integrate([](const double*) { return 1.0; });
            EXPECT_NEAR(W, rule.sum, 1e-12);
            EXPECT_NEAR(integrate([&](const double* p) { return 5.0 + dot(g, p); }), W * (5.0 + dot(g, pos)), 1e-10);
            EXPECT_NEAR(integrate([&](const double* p) { return std::fabs(offset(p, n)); }), 0.0, 1e-12);
            const double x2 = integrate([&](const double* p) { return std::pow(offset(p, u), 2); });
            EXPECT_NEAR(rule.order > 1 ? x2 : 81.0 / 4.0, 81.0 / 4.0, 81.0 * 1e-4) << rule.order;
        }
    }
    CMEGSensorkw s;
    for (int bad : {0, 6, 8, -1}) EXPECT_EQ(e.setSnsWt12Pts(&s, bad), 0);
    EXPECT_EQ(e.setSnsWt12Pts(nullptr, 2), 0);
    EXPECT_EQ(s.isW12Set, 0);
}

TEST(Integration, WorkedPointsAndDegenerateNormals) {
    CMForward e;
    CBscMagSnskw c;
    const double origin[3] = {0, 0, 0}, up[3] = {0, 0, 1}, down[3] = {0, 0, -1}, none[3] = {0, 0, 0};
    const double h = 0.7071067811865476;
    const double ring[4][3] = {{h, 0, 0}, {0, h, 0}, {-h, 0, 0}, {0, -h, 0}};
    c.setCoil(origin, up, 1.0, 1, 1.0);
    ASSERT_EQ(e.setCoilB12Pts(&c, 3), 1);
    for (int i = 0; i < 4; ++i) EXPECT_LT(relDiff(c.b12Pts[i].pos, ring[i]), 1e-15) << i;
    c.setCoil(origin, down, 1.0, 1, 1.0);  // normal (0, 0, -1): u = (1, 0, 0), w = (0, -1, 0)
    ASSERT_EQ(e.setCoilB12Pts(&c, 3), 1);
    EXPECT_LT(relDiff(c.b12Pts[1].pos, ring[3]), 1e-15);
    const double centre[3] = {1, 2, 3};  // a zero normal serves order 1 only
    c.setCoil(centre, none, 1.0, 1, 1.0);
    EXPECT_EQ(e.setCoilB12Pts(&c, 1), 1);
    EXPECT_EQ(relDiff(c.b12Pts[0].pos, centre), 0.0);
    for (int order : {2, 3, 4, 5, 7, 0, 6, 8}) EXPECT_EQ(e.setCoilB12Pts(&c, order), 0);
    EXPECT_EQ(e.setCoilB12Pts(nullptr, 2), 0);
}

}  // namespace
