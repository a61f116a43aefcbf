// The engine below the sensor level against physical facts and worked cases: integration
// order, tangent bases and rules; point-source formulas (one sphere field, the potential's
// gradient, silent radial dipoles, textbook dipoles); coil and multi-coil leadfields.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "forward_process/CMDataForwardkw.h"
#include "forward_engine/CMForward02Coil08QornSph.h"
#include "support/MessageRecorder.h"

namespace {

struct Probe : CMForward02Coil08QornSph {  // reaches the protected formula members
    using CMForward01Point03Cartesian::point11MQ6Mf3D_01Magnetic;
    using CMForward01Point03Cartesian::point11MQ6Mf3D_02Magnetic;
    using CMForward01Point03Cartesian::point11MQ6Mf3D_03PrimaryCurrent;
    using CMForward01Point03Cartesian::point12Q6Mf3D_00sam03Fwd;
    using CMForward01Point03Cartesian::point12Q6Mf3D_02Sarvas01Ctf;
    using CMForward01Point03Cartesian::point12Q6Mf3D_03Sarvas02Nut;
    using CMForward01Point03Cartesian::point12Q6Mf3D_04CuffinFieldTrip;
    using CMForward01Point03Cartesian::point12Q6Mf3D_05BiotSavartCtf;
    using CMForward01Point03Cartesian::point12Q6Mf3D_06GrynszpanCtf;
    using CMForward02Coil04Array::point2LfMultiCoils02Cuffin;
    using CMForward02Coil04Array::point2LfMultiCoils03Sarvas;
    using CMForward02Coil08QornSph::_28getLocalAlpha;
    using CMForward02Coil08QornSph::_28getRefAlpha;
};
using Member = int (Probe::*)(const double*, const double*, const double*, double*) const;

struct Vec {
    double v[3] = {0.0, 0.0, 0.0};
    double& operator[](int i) { return v[i]; }
    double operator[](int i) const { return v[i]; }
    operator double*() { return v; }
    operator const double*() const { return v; }
};

double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double len(const double* a) { return std::sqrt(dot(a, a)); }
Vec cross(const double* a, const double* b) {
    return {{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]}};
}
Vec scaled(const double* a, double s) { return {{s * a[0], s * a[1], s * a[2]}}; }
Vec sub(const double* a, const double* b) { return {{a[0] - b[0], a[1] - b[1], a[2] - b[2]}}; }

// |a - b| relative to the larger of |a|, |b| (0 when both are zero).
double relDiff(const double* a, const double* b) {
    double d = 0.0, m = 0.0;
    for (int i = 0; i < 3; ++i) {
        d = std::max(d, std::fabs(a[i] - b[i]));
        m = std::max({m, std::fabs(a[i]), std::fabs(b[i])});
    }
    return m == 0.0 ? 0.0 : d / m;
}

struct Rng {
    std::mt19937_64 gen{12345};
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(gen); }
    Vec onSphere(double length) {  // a random direction of length `length`
        Vec v;
        do {
            for (int i = 0; i < 3; ++i) v[i] = uniform(-1.0, 1.0);
        } while (len(v) < 0.1 || len(v) > 1.0);
        return scaled(v, length / len(v));
    }
};

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
        e.tangVectMethod = method, data.coordSystem = coord, b = R3Q3x3{};
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
                EXPECT_LT(std::fabs(len(b.q[0]) / lq0 - 1) + std::fabs(len(b.q[1]) / lq1 - 1), 1e-12) << method;
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

TEST(Integration, EveryRuleIsADiskQuadratureInTheCoilPlaneAndWorkedPoints) {
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
    // Worked points of order 3 on a unit coil, and a zero normal.
    CBscMagSnskw c;
    const double origin[3] = {0, 0, 0}, up[3] = {0, 0, 1}, down[3] = {0, 0, -1}, none[3] = {0, 0, 0}, h = 0.7071067811865476;
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

// Sphere form f scaled to the plain Sarvas field with k = 1: the Nut form gives
// the field of a unit moment along Q x r0, Grynszpan has the factor 1e-9.
int sphereForm(const Probe& e, int f, const double* r, const double* r0, const double* Q, Vec& B) {
    int ok = 0;
    switch (f) {  // a switch rather than a table of members keeps GCC's flow analysis quiet
        case 0: ok = e.point12Q6Mf3D_00sam03Fwd(r, r0, Q, B); break;
        case 1: ok = e.point12Q6Mf3D_02Sarvas01Ctf(r, r0, Q, B); break;
        case 2: ok = e.point12Q6Mf3D_03Sarvas02Nut(r, r0, Q, B); break;
        case 3: ok = e.point12Q6Mf3D_04CuffinFieldTrip(r, r0, Q, B); break;
        default: ok = e.point12Q6Mf3D_06GrynszpanCtf(r, r0, Q, B); break;
    }
    const double s = f == 2 ? (Q ? len(cross(Q, r0)) : 1.0) : f == 4 ? 1e9 : 1.0;
    for (int i = 0; i < 3; ++i) B[i] *= s;
    return ok;
}

// Outside the sphere B = -mu0 grad(U), U = -(1/4pi) (Q x r0) . r / F, so B =
// k grad((Q x r0) . r / F), here by central differences with Sarvas's F written out.
Vec fieldFromPotential(const Vec& r, const Vec& r0, const Vec& Q) {
    auto phi = [&](const Vec& p) {
        const double a = len(sub(p, r0));
        return dot(cross(Q, r0), p) / (a * (len(p) * a + dot(p, p) - dot(r0, p)));
    };
    const double h = 1e-5 * len(r);
    Vec B;
    for (int i = 0; i < 3; ++i) {
        Vec rp = r, rm = r;
        rp[i] += h, rm[i] -= h;
        B[i] = (phi(rp) - phi(rm)) / (2 * h);
    }
    return B;
}

// Random geometry: a field point r, or a coil point pt with normal n; a source r0 with moment Q.
struct Formulas : ::testing::Test {
    Probe e;
    CMDataForwardkw data;  // host axes: the Grynszpan members convert
    Rng rng;
    Vec r, r0, Q, pt, n;
    void SetUp() override { e.pDataFwd = &data; }
    void randomPair(double R) {  // r at radius R, r0 inside 0.64 R
        r = rng.onSphere(R), r0 = rng.onSphere(rng.uniform(0.05, 0.64) * R), Q = rng.onSphere(rng.uniform(0.5, 2.0));
    }
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
using PointFormulas = Formulas;
using CoilLeadfields = Formulas;

TEST_F(PointFormulas, AllSphereFormsAreOneFieldWhichIsTheGradientOfThePotentialAlsoOnTheSourceRay) {
    for (int coord : {0, 1, -1}) {  // -1: no data manager
        e.pDataFwd = coord < 0 ? nullptr : &data;
        data.coordSystem = coord;
        for (double R : {0.11, 110.0})
            for (int t = 0; t < 200; ++t) {
                randomPair(R);
                // Volume currents add no radial field: B . r is the dipole's own, (r0 x Q) . r / a^3.
                const double radial = dot(cross(r0, Q), r) / std::pow(len(sub(r, r0)), 3);
                Vec B, sarvas;
                sphereForm(e, 0, r, r0, Q, sarvas);
                ASSERT_LT(relDiff(sarvas, fieldFromPotential(r, r0, Q)), 1e-6);
                for (int f = 0; f < 5; ++f) {
                    ASSERT_EQ(sphereForm(e, f, r, r0, Q, B), 1) << f;
                    ASSERT_LT(relDiff(sarvas, B), 1e-9) << f << " R " << R;
                    EXPECT_NEAR(dot(B, r), radial, 1e-9 * len(B) * R) << f;
                    sphereForm(e, f, r, r0, scaled(r0, 3.0 / len(r0)), B);  // along r0: no field outside
                    EXPECT_LT(len(B), 1e-12 * len(sarvas) * 3.0) << f;
                }
                // On the source's ray Cuffin drops its 1/t7 term and Grynszpan sits (to
                // rounding) on the source axis; both must still be the Sarvas field.
                for (double s : {2.5, -2.5}) {
                    sphereForm(e, 0, scaled(r0, s), r0, Q, sarvas);
                    for (int f = 1; f < 5; ++f) {
                        ASSERT_EQ(sphereForm(e, f, scaled(r0, s), r0, Q, B), 1);
                        EXPECT_LT(relDiff(sarvas, B), 1e-8) << f << " s " << s;
                    }
                }
            }
    }
}

TEST_F(PointFormulas, DegenerateAndOnAxisGeometry) {
    r0 = {{0.01, 0.02, 0.03}}, Q = {{1, 2, 0.5}};
    const Vec centre, far = {{0.05, 0.1, 0.02}};
    const double s0[3] = {0.0, 0.3, 0.2};
    Vec B = {{7, 7, 7}};
    auto zeros = [&](int got, int want) { EXPECT_EQ(got, want); EXPECT_EQ(len(B), 0.0); B = {{7, 7, 7}}; };
    // At the source or at the sphere centre no field is defined: zeros. No moment: failure.
    for (int f = 0; f < 5; ++f) {
        for (const Vec& at : {r0, centre}) zeros(sphereForm(e, f, at, r0, Q, B), 1);
        zeros(sphereForm(e, f, far, r0, nullptr, B), 0);
    }
    for (Member m : {&Probe::point12Q6Mf3D_05BiotSavartCtf, &Probe::point11MQ6Mf3D_01Magnetic,
                     &Probe::point11MQ6Mf3D_02Magnetic, &Probe::point11MQ6Mf3D_03PrimaryCurrent}) {
        zeros((e.*m)(r0, r0, Q, B), 1);
        EXPECT_EQ((e.*m)(nullptr, r0, Q, B) + (e.*m)(r0, r0, Q, nullptr), 0);
    }
    // A source at the sphere centre has no tangent plane for Grynszpan.
    zeros(e.point12Q6Mf3D_06GrynszpanCtf(far, centre, Q, B), 0);
    zeros(e.point01Q5SphLf3D_grynszpan(far, s0, Q, len(far), B), 0);
    EXPECT_EQ(e.point01Q5SphLf3D_grynszpan(nullptr, s0, Q, 1.0, B), 0);
    // The spherical entry exactly on the axis (rho = 0) of a source at (0, 0, 0.03), tangential axes x and y.
    const double s[3] = {0.03, 0.0, 0.0}, q[3] = {0.4, -1.3, 0.0}, src[3] = {0.0, 0.0, 0.03};
    for (double z : {0.11, -0.11}) {
        const double at[3] = {0.0, 0.0, z};
        Vec ref;
        ASSERT_EQ(e.point01Q5SphLf3D_grynszpan(at, s, q, std::fabs(z), B), 1);
        e.point12Q6Mf3D_00sam03Fwd(at, src, q, ref);
        EXPECT_LT(relDiff(scaled(ref, 1e-9), B), 1e-12) << z;
    }
}

TEST_F(PointFormulas, MagneticDipoleAxisAndEquatorAndBothFormsAgree) {
    e.mu4PiRatio = 3.0;
    r0 = {{1, 2, 3}};
    const Vec m = {{0, 0, 2}}, axis = {{1, 2, 7}}, equator = {{5, 2, 3}}, side = {{3, 2, 3}};
    Vec B1, B2;
    for (Member f : {&Probe::point11MQ6Mf3D_01Magnetic, &Probe::point11MQ6Mf3D_02Magnetic}) {
        (e.*f)(axis, r0, m, B1);  // 2 k m / 4^3 along the axis
        EXPECT_LT(relDiff(B1, Vec{{0, 0, 2 * 3.0 * 2 / 64.0}}), 1e-14);
        (e.*f)(equator, r0, m, B1);  // -k m / 4^3 on the equator
        EXPECT_LT(relDiff(B1, Vec{{0, 0, -3.0 * 2 / 64.0}}), 1e-14);
    }
    for (int t = 0; t < 20; ++t) {
        r = rng.onSphere(5.0), Q = rng.onSphere(1.0);
        e.point11MQ6Mf3D_01Magnetic(r, r0, Q, B1);
        e.point11MQ6Mf3D_02Magnetic(r, r0, Q, B2);
        EXPECT_LT(relDiff(B1, B2), 1e-13);
    }
    // A current element along z seen from +x: k m / a^2 along +y, in both current-element forms.
    e.point12Q6Mf3D_05BiotSavartCtf(side, r0, m, B1);
    e.point11MQ6Mf3D_03PrimaryCurrent(side, r0, m, B2);
    EXPECT_LT(relDiff(B1, Vec{{0, 3.0 * 2 / 4.0, 0}}), 1e-14);
    EXPECT_LT(relDiff(B1, B2), 1e-15);
}

TEST_F(PointFormulas, DispatchersFollowTheCodes) {
    randomPair(0.11);
    e.mu4PiRatio = 2.0;
    const Member sarvas = &Probe::point12Q6Mf3D_00sam03Fwd;
    const Member current[8] = {sarvas, sarvas, &Probe::point12Q6Mf3D_02Sarvas01Ctf, &Probe::point12Q6Mf3D_03Sarvas02Nut,
                               &Probe::point12Q6Mf3D_04CuffinFieldTrip, &Probe::point12Q6Mf3D_05BiotSavartCtf,
                               &Probe::point12Q6Mf3D_06GrynszpanCtf, sarvas};
    const Member magnetic[3] = {&Probe::point11MQ6Mf3D_01Magnetic, &Probe::point11MQ6Mf3D_02Magnetic,
                                &Probe::point11MQ6Mf3D_03PrimaryCurrent};
    Vec B, ref;
    for (int code : {0, 1, 2, 3, 4, 5, 6, 7, 42, -1})
        for (int mag : {0, 1}) {
            e.isMagSrc = mag, e.coilFwdModel = code;
            const Member m = mag ? magnetic[code >= 0 && code <= 2 ? code : 0] : current[code >= 0 && code <= 7 ? code : 0];
            ASSERT_EQ(e.point14xMf3D_all(r, r0, Q, B), 1);
            (e.*m)(r, r0, Q, ref);
            EXPECT_EQ(relDiff(B, ref), 0.0) << mag << " " << code;
        }
}

constexpr double kTensor = 7.957747154594243e-11, kDeg = 180.0 / 3.141592653589793;

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
        for (int i = 0; i < 6; ++i) twice.q[i / 3][i % 3] *= 2.0;
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

// Each is the one-coil order-1 magnetometer's row (coilCode, factor): Sarvas with 1e-10,
// Cuffin with 1e-9, the dipole with mu4PiRatio, the primary current with kTensor / 10;
// then bad arguments and degenerate points.
TEST_F(CoilLeadfields, MultiCoilFormulasAreCoilLevelLeadfieldsWithTheirFixedFactors) {
    std::vector<Vec> pos(20), dir(20), lf(20);  // random coil points and normals as the members take them
    std::vector<const double*> pp, pd;
    std::vector<double*> pl;
    for (int i = 0; i < 20; ++i) {
        pos[i] = rng.onSphere(0.11), dir[i] = rng.onSphere(1.0);
        pp.push_back(pos[i]), pd.push_back(dir[i]), pl.push_back(lf[i]);
    }
    r0 = rng.onSphere(0.05);
    e.mu4PiRatio = 3.0;
    const struct { int mag, code, coilCode; double mu; } cases[] = {
        {0, 0, 0, 1e-10}, {0, 3, 0, 1e-10}, {0, 4, 0, 1e-9}, {1, 4, 0, 3.0}, {1, 0, 2, kTensor / 10}, {1, 2, 2, kTensor / 10}};
    for (const auto& c : cases) {
        e.isMagSrc = c.mag, e.coilFwdModel = c.code;
        EXPECT_EQ(e.point2LfMutiCoils(20, pp.data(), pd.data(), r0, pl.data()), 1);
        Probe one;
        one.isMagSrc = c.mag, one.coilFwdModel = c.coilCode, one.mu4PiRatio = c.mu;
        for (int i = 0; i < 20; ++i) {
            Vec want;
            one.coil26xLf3D_all(pos[i], dir[i], r0, want);
            EXPECT_LT(relDiff(lf[i], want), 1e-9) << c.mag << " " << c.code;
        }
    }
    lf[0] = {{7, 7, 7}};  // nothing is written for n < 1 or missing arrays
    EXPECT_EQ(e.point2LfMutiCoils(0, pp.data(), pd.data(), r0, pl.data()), 1);
    EXPECT_EQ(e.point2LfMutiCoils(20, nullptr, pd.data(), r0, pl.data()), 1);
    EXPECT_EQ(lf[0][0], 7.0);
    // Point 0 at the source, 1 at the centre, 2 on the source's ray (Cuffin's
    // parallel case: 1e-9 g (N x r0), g = -1/F = -1/(4 |r0|^3) at P = 2 r0).
    r0 = {{0.0, 0.0, 0.05}};
    pos[0] = r0, pos[1] = Vec{}, pos[2] = scaled(r0, 2.0);
    for (int mag : {0, 1})
        for (int code : {0, 4}) {
            e.isMagSrc = mag, e.coilFwdModel = code;
            e.point2LfMutiCoils(20, pp.data(), pd.data(), r0, pl.data());
            EXPECT_EQ(len(lf[0]), 0.0);
            EXPECT_TRUE(mag == 1 || len(lf[1]) == 0.0);
            for (int i = 1; i < 20; ++i) EXPECT_TRUE(std::isfinite(len(lf[i])));
        }
    e.point2LfMultiCoils02Cuffin(20, pp.data(), pd.data(), r0, pl.data());
    const Vec expected = scaled(cross(dir[2], r0), -1e-9 / (4 * std::pow(0.05, 3)));
    EXPECT_LT(relDiff(lf[2], expected), 1e-12);
    e.point2LfMultiCoils03Sarvas(20, pp.data(), pd.data(), r0, pl.data());
    EXPECT_LT(relDiff(lf[2], scaled(expected, 0.1)), 1e-9);
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
    for (double v : {e.coil28Q5Bcmp_BiotSavartEqn(atSource, orient, cart), e.coil28Q5Bcmp_BiotSavartEqn(nullptr, orient, cart),
                     e.coil28Q5Bcmp_BiotSavartEqn_Qsph(field, orient, nullptr)})
        EXPECT_EQ(v, 0.0);
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
    for (double v : {e.coil28Q5Bcmp_GrynszpanEqn(atSource, orient, cart), e.coil28Q5Bcmp_GrynszpanEqn(field, orient, centre),
                     e.coil28Q5Bcmp_GrynszpanLocal(field, nullptr, local)})
        EXPECT_EQ(v, 0.0);
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
