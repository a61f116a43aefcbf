// Point-source field formulas against physical facts: the sphere forms are one field,
// the potential's gradient; radial dipoles are silent; magnetic dipoles are textbook.
#include "PhysTestSupport.h"
#include "forward_data/CMDataForwardkw.h"

namespace {

using namespace phystest;

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

struct PointFormulas : ::testing::Test {
    Probe e;
    CMDataForwardkw data;
    Rng rng;
    Vec r, r0, Q;
    void randomPair(double R) {  // a field point at radius R, a source inside 0.64 R
        r = rng.onSphere(R);
        r0 = rng.onSphere(rng.uniform(0.05, 0.64) * R);
        Q = rng.onSphere(rng.uniform(0.5, 2.0));
    }
};

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

// The spherical Grynszpan entry exactly on the axis (rho = 0) of a source at (0, 0, 0.03), tangential axes x and y.
TEST_F(PointFormulas, OnAxisGeometryStaysFiniteAndExact) {
    const double s[3] = {0.03, 0.0, 0.0}, q[3] = {0.4, -1.3, 0.0}, src[3] = {0.0, 0.0, 0.03};
    for (double z : {0.11, -0.11}) {
        const double at[3] = {0.0, 0.0, z};
        Vec B, ref;
        ASSERT_EQ(e.point01Q5SphLf3D_grynszpan(at, s, q, std::fabs(z), B), 1);
        e.point12Q6Mf3D_00sam03Fwd(at, src, q, ref);
        EXPECT_LT(relDiff(scaled(ref, 1e-9), B), 1e-12) << z;
    }
}

TEST_F(PointFormulas, DegenerateGeometryGivesZerosOrFails) {
    r0 = {{0.01, 0.02, 0.03}}, Q = {{1, 2, 0.5}};
    const Vec centre, far = {{0.05, 0.1, 0.02}};
    const double s0[3] = {0.0, 0.3, 0.2};
    Vec B = {{7, 7, 7}};
    auto zeros = [&](int got, int want) {  // the result, and B zeroed whatever it is
        EXPECT_EQ(got, want);
        EXPECT_EQ(len(B), 0.0);
        B = {{7, 7, 7}};
    };
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

}  // namespace
