// The engine root: settings and copies, tangent bases at a source, the
// integration order, and the coil-integration weights and points.
#include <vector>

#include "PhysTestSupport.h"
#include "forward_data/CMDataForwardkw.h"
#include "support/MessageRecorder.h"

namespace {

using phystest::cross;
using phystest::dot;
using phystest::len;
using phystest::Vec;

const char* kOrderMessage = "The order for sensor coil integration in forward computer is out of range!";

TEST(EngineBase, DefaultsAndCopiesShareThePointers) {
    CMForward02Coil08QornSph e;
    EXPECT_EQ(e.coilFwdModel, 3);
    EXPECT_EQ(e.snsFwdModel, 1);
    EXPECT_EQ(e.orderCoilIntg, 2);
    EXPECT_EQ(e.mu4PiRatio, 1.0);
    EXPECT_EQ(e.isUseRefSns, 1);
    EXPECT_EQ(e.isMagSrc, 0);
    EXPECT_EQ(e.tangVectMethod, 0);
    EXPECT_EQ(e.isFwdOptimized(), 0);
    EXPECT_EQ(e.pDataFwd, nullptr);

    CMDataForwardkw data;
    e.pDataFwd = &data;
    e.pParentWnd = reinterpret_cast<CWnd*>(&data);
    e.isMagSrc = 1, e.isFwdExpress = 1, e.isUseRefSns = 0, e.mu4PiRatio = 1e-7;
    e.coilFwdModel = 6, e.snsFwdModel = 0, e.orderCoilIntg = 7, e.tangVectMethod = 2;
    CMForward02Coil08QornSph c(e);
    CMForward02Coil08QornSph a;
    a = e;
    for (const CMForward* x : {static_cast<const CMForward*>(&c), static_cast<const CMForward*>(&a)}) {
        EXPECT_EQ(x->pDataFwd, &data);
        EXPECT_EQ(x->pParentWnd, e.pParentWnd);
        EXPECT_EQ(x->isMagSrc, 1);
        EXPECT_EQ(x->isFwdOptimized(), 1);
        EXPECT_EQ(x->isUseRefSns, 0);
        EXPECT_EQ(x->mu4PiRatio, 1e-7);
        EXPECT_EQ(x->coilFwdModel, 6);
        EXPECT_EQ(x->snsFwdModel, 0);
        EXPECT_EQ(x->orderCoilIntg, 7);
        EXPECT_EQ(x->tangVectMethod, 2);
    }
}

TEST(EngineBase, IntegrationOrderAcceptsTheTableAndRejectsTheRestWithTheMessage) {
    megfwd::test::MessageRecorder rec;
    CMForward e;
    int order = -1;
    EXPECT_EQ(e.setOrder4SnsCoilIntegration(order), 1);
    EXPECT_EQ(order, 2);
    for (int good : {1, 3, 4, 5, 7}) {
        order = good;
        EXPECT_EQ(e.setOrder4SnsCoilIntegration(order), 1);
        EXPECT_EQ(e.orderCoilIntg, good);
    }
    EXPECT_TRUE(rec.messages().empty());
    for (int bad : {0, 6, 8}) {
        order = bad;
        EXPECT_EQ(e.setOrder4SnsCoilIntegration(order), 0);
        EXPECT_EQ(e.orderCoilIntg, 7);
    }
    ASSERT_EQ(rec.count(kOrderMessage), 3);
    EXPECT_EQ(rec.messages()[0].type, MB_OK);
}

// A tangent basis of source r (relative to the centre): each direction is
// perpendicular to r and to the other.
void expectTangential(const R3Q3x3& b) {
    const double scale = len(b.r) * len(b.q[0]) * len(b.q[1]);
    EXPECT_NEAR(dot(b.q[0], b.r), 0.0, 1e-12 * scale);
    EXPECT_NEAR(dot(b.q[1], b.r), 0.0, 1e-12 * scale);
    EXPECT_NEAR(dot(b.q[0], b.q[1]), 0.0, 1e-12 * scale);
}

void expectVec(const double* v, double x, double y, double z) {
    EXPECT_NEAR(v[0], x, 1e-12);
    EXPECT_NEAR(v[1], y, 1e-12);
    EXPECT_NEAR(v[2], z, 1e-12);
}

struct Tangents : ::testing::Test {
    CMDataForwardkw data;
    CMForward e;
    CSpherekw sphere;
    R3Q3x3 b;
    void SetUp() override {
        e.pDataFwd = &data;
        sphere.setSphere(1.0, 2.0, 3.0, 80.0);
    }
    // Basis of the source at `r` relative to the sphere centre.
    int run(int method, int coord, double x, double y, double z) {
        e.tangVectMethod = method;
        data.coordSystem = coord;
        b = R3Q3x3{};
        const double src[3] = {x + 1.0, y + 2.0, z + 3.0};
        return e.set2DVect4SrcAll(src, &sphere, &b);
    }
};

TEST_F(Tangents, StdRuleGivesTheHorizontalAxesOfTheFrame) {
    ASSERT_EQ(run(0, 0, 5, 6, 7), 1);
    expectVec(b.r, 5, 6, 7);
    expectVec(b.q[0], 1, 0, 0);
    expectVec(b.q[1], 0, 0, 1);
    EXPECT_EQ(b.nq, 2);
    ASSERT_EQ(run(9, 1, 5, 6, 7), 1);  // unknown rule acts as Std
    expectVec(b.q[1], 0, 1, 0);
    EXPECT_EQ(run(0, 2, 5, 6, 7), 0);  // Direct3D has no Std rule
    expectVec(b.r, 5, 6, 7);
    EXPECT_EQ(b.nq, 0);
    // Without a data manager the host axes (OpenGL) are assumed.
    e.pDataFwd = nullptr;
    ASSERT_EQ(run(0, 1, 5, 6, 7), 1);
    expectVec(b.q[1], 0, 0, 1);
}

TEST_F(Tangents, CtfRuleWorkedCasesAndFrames) {
    ASSERT_EQ(run(1, 1, 0, 10, 0), 1);
    expectVec(b.q[0], 1, 0, 0);
    expectVec(b.q[1], 0, 0, 1);
    ASSERT_EQ(run(1, 1, 0, 0, 5), 1);  // straight above the centre
    expectVec(b.q[0], 1, 0, 0);
    expectVec(b.q[1], 0, 1, 0);
    ASSERT_EQ(run(1, 2, 0, 10, 0), 1);  // Direct3D: no conversion
    expectVec(b.q[1], 0, 0, 1);
    // Host axes: Matlab (0, 10, 0) is OpenGL (0, 0, -10); the directions come
    // back in host axes, and q[1] points to the top (OpenGL +y).
    ASSERT_EQ(run(1, 0, 0, 0, -10), 1);
    expectVec(b.r, 0, 0, -10);
    expectVec(b.q[0], 1, 0, 0);
    expectVec(b.q[1], 0, 1, 0);
    ASSERT_EQ(run(1, 0, 3, -4, 12), 1);
    expectTangential(b);
    EXPECT_NEAR(len(b.q[0]), 1.0, 1e-12);
    EXPECT_NEAR(len(b.q[1]), 1.0, 1e-12);
    EXPECT_GT(b.q[1][1], 0.0);
}

TEST_F(Tangents, SamRuleWorkedCasesAndFailureAtTheCentre) {
    ASSERT_EQ(run(2, 1, 3, 3, 0), 1);
    expectVec(b.q[0], 1 / std::sqrt(2.0), -1 / std::sqrt(2.0), 0);
    expectVec(b.q[1], 0, 0, -1);
    ASSERT_EQ(run(2, 0, -2, 7, 3), 1);
    expectTangential(b);
    EXPECT_NEAR(len(b.q[1]), 1.0, 1e-12);
    EXPECT_EQ(run(2, 1, 0, 0, 0), 0);
    EXPECT_EQ(run(2, 0, 0, 0, 0), 0);
    EXPECT_EQ(b.nq, 0);
}

TEST_F(Tangents, NutRuleIsUnnormalisedAboutTheFramesVerticalAxis) {
    ASSERT_EQ(run(3, 1, 3, 4, 12), 1);  // vertical z: rho = 5, |r| = 13
    expectTangential(b);
    EXPECT_NEAR(len(b.q[0]), 5.0, 1e-12);
    EXPECT_NEAR(len(b.q[1]), 65.0, 1e-12);
    ASSERT_EQ(run(3, 0, 3, 12, 4), 1);  // vertical y
    EXPECT_NEAR(len(b.q[0]), 5.0, 1e-12);
    EXPECT_EQ(b.nq, 2);
}

TEST_F(Tangents, NullArgumentsFailAndThreeAxesAreTheIdentity) {
    const double src[3] = {4, 5, 6};
    EXPECT_EQ(e.set2DVect4SrcAll(nullptr, &sphere, &b), 0);
    EXPECT_EQ(e.set2DVect4SrcAll(src, nullptr, &b), 0);
    EXPECT_EQ(e.set2DVect4SrcAll(src, &sphere, nullptr), 0);
    EXPECT_EQ(e.set3DVect4SrcAll(src, nullptr, &b), 0);
    ASSERT_EQ(e.set3DVect4SrcAll(src, &sphere, &b), 1);
    expectVec(b.r, 3, 3, 3);
    expectVec(b.q[0], 1, 0, 0);
    expectVec(b.q[1], 0, 1, 0);
    expectVec(b.q[2], 0, 0, 1);
    EXPECT_EQ(b.nq, 3);
}

TEST(IntegrationWeights, TablesSumToOneWithinTheirRounding) {
    CMForward e;
    const struct { int order, n; double sum; } rows[] = {
        {1, 1, 1.0}, {2, 3, 0.999999}, {3, 4, 1.0}, {4, 6, 1.0}, {5, 7, 1.0}, {7, 12, 0.999996}};
    for (const auto& row : rows) {
        CMEGSensorkw s;
        for (double& w : s.w12Wt) w = 9.0;
        ASSERT_EQ(e.setSnsWt12Pts(&s, row.order), 1);
        EXPECT_EQ(s.isW12Set, 1);
        EXPECT_EQ(s.w12Order, row.order);
        EXPECT_EQ(s.numW12Pts, row.n);
        double sum = 0.0;
        for (int i = 0; i < 12; ++i) {
            if (i >= row.n) {
                EXPECT_EQ(s.w12Wt[i], 0.0);
            }
            sum += s.w12Wt[i];
        }
        EXPECT_NEAR(sum, row.sum, 1e-12) << row.order;
    }
    CMEGSensorkw s;
    for (int bad : {0, 6, 8, -1}) EXPECT_EQ(e.setSnsWt12Pts(&s, bad), 0);
    EXPECT_EQ(e.setSnsWt12Pts(nullptr, 2), 0);
    EXPECT_EQ(s.isW12Set, 0);
}

// Integrates f over the coil disk with the weights and points of `order`.
template <class F>
double integrate(const CMEGSensorkw& s, const CBscMagSnskw& c, F f) {
    double sum = 0.0;
    for (int i = 0; i < s.numW12Pts; ++i) sum += s.w12Wt[i] * f(c.b12Pts[i].pos);
    return sum;
}

TEST(IntegrationPoints, EveryRuleIsADiskQuadratureInTheCoilPlane) {
    CMForward e;
    phystest::Rng rng;
    std::vector<Vec> normals = {{{0, 0, 1}}, {{0, 0, -1}}, {{1, 0, 0}}, {{0, 2, 0}}, {{-1, 1, 0}}};
    for (int i = 0; i < 4; ++i) normals.push_back(rng.onSphere(rng.uniform(0.5, 2.0)));
    for (int order : {1, 2, 3, 4, 5, 7}) {
        for (const Vec& nIn : normals) {
            CBscMagSnskw c;
            const double pos[3] = {10.0, -20.0, 110.0};
            c.setCoil(pos, nIn, 9.0, 1, 1.0);
            c.b12Pts[11].val[0] = 42.0;
            CMEGSensorkw s;
            ASSERT_EQ(e.setSnsWt12Pts(&s, order), 1);
            ASSERT_EQ(e.setCoilB12Pts(&c, order), 1);
            EXPECT_EQ(c.isB12Set, 1);
            EXPECT_NEAR(len(c.coilNormal), 1.0, 1e-14);
            EXPECT_EQ(c.b12Pts[11].val[0], 42.0);
            const double* n = c.coilNormal;
            // Every point lies in the coil plane, inside the disk.
            for (int i = 0; i < s.numW12Pts; ++i) {
                const Vec d = {{c.b12Pts[i].pos[0] - pos[0], c.b12Pts[i].pos[1] - pos[1], c.b12Pts[i].pos[2] - pos[2]}};
                EXPECT_NEAR(dot(d, n), 0.0, 1e-12);
                EXPECT_LT(len(d), 9.0);
            }
            // Uniform field: the weights' sum. Linear field: its value at the
            // centre (the disk's mean). Quadratic x'^2 in the plane: R^2/4.
            const double tolW = order == 2 ? 1.1e-6 : order == 7 ? 4.1e-6 : 1e-12;
            const double W = integrate(s, c, [](const double*) { return 1.0; });
            EXPECT_NEAR(W, 1.0, tolW);
            const Vec g = {{0.3, -1.7, 2.2}};
            EXPECT_NEAR(integrate(s, c, [&](const double* p) { return 5.0 + dot(g, p); }), W * (5.0 + dot(g, pos)),
                        1e-10);
            if (order == 1) continue;
            // Any in-plane direction: n x the axis least aligned with n.
            const Vec axis = std::fabs(n[0]) < 0.5 ? Vec{{1, 0, 0}} : Vec{{0, 1, 0}};
            const Vec u = cross(n, axis);
            const Vec uu = phystest::scaled(u, 1.0 / len(u));
            const double q = integrate(s, c, [&](const double* p) {
                const Vec d = {{p[0] - pos[0], p[1] - pos[1], p[2] - pos[2]}};
                return dot(d, uu) * dot(d, uu);
            });
            EXPECT_NEAR(q, 81.0 / 4.0, 81.0 * 1e-4) << "order " << order;
        }
    }
}

TEST(IntegrationPoints, WorkedPointsAndDegenerateNormals) {
    CMForward e;
    CBscMagSnskw c;
    const double origin[3] = {0, 0, 0}, up[3] = {0, 0, 1}, down[3] = {0, 0, -1}, none[3] = {0, 0, 0};
    c.setCoil(origin, up, 1.0, 1, 1.0);
    ASSERT_EQ(e.setCoilB12Pts(&c, 3), 1);
    const double h = 0.7071067811865476;
    expectVec(c.b12Pts[0].pos, h, 0, 0);
    expectVec(c.b12Pts[1].pos, 0, h, 0);
    expectVec(c.b12Pts[2].pos, -h, 0, 0);
    expectVec(c.b12Pts[3].pos, 0, -h, 0);
    // Normal (0, 0, -1): u = (1, 0, 0), w = (0, -1, 0).
    c.setCoil(origin, down, 1.0, 1, 1.0);
    ASSERT_EQ(e.setCoilB12Pts(&c, 3), 1);
    expectVec(c.b12Pts[1].pos, 0, -h, 0);
    // A zero normal serves order 1 only.
    const double centre[3] = {1, 2, 3};
    c.setCoil(centre, none, 1.0, 1, 1.0);
    EXPECT_EQ(e.setCoilB12Pts(&c, 1), 1);
    expectVec(c.b12Pts[0].pos, 1, 2, 3);
    for (int order : {2, 3, 4, 5, 7}) EXPECT_EQ(e.setCoilB12Pts(&c, order), 0);
    for (int bad : {0, 6, 8}) EXPECT_EQ(e.setCoilB12Pts(&c, bad), 0);
    EXPECT_EQ(e.setCoilB12Pts(nullptr, 2), 0);
}

}  // namespace
