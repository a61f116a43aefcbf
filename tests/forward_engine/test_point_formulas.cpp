// Point-source field formulas against physical facts: the Sarvas forms, the
// Cuffin form and the Grynszpan form are one field; that field is the gradient
// of the magnetic scalar potential outside the sphere and has the radial
// component of the dipole's own Biot-Savart field; radial dipoles are silent;
// magnetic dipoles have their textbook axis and equator fields.
#include <cstdio>

#include "PhysTestSupport.h"
#include "forward_data/CMDataForwardkw.h"

namespace {

using phystest::cross;
using phystest::dot;
using phystest::len;
using phystest::Probe;
using phystest::relDiff;
using phystest::scaled;
using phystest::Vec;

using Member = int (Probe::*)(const double*, const double*, const double*, double*) const;
constexpr Member kSphereForms[] = {&Probe::point12Q6Mf3D_00sam03Fwd, &Probe::point12Q6Mf3D_02Sarvas01Ctf,
                                   &Probe::point12Q6Mf3D_03Sarvas02Nut, &Probe::point12Q6Mf3D_04CuffinFieldTrip,
                                   &Probe::point12Q6Mf3D_06GrynszpanCtf};

// Sphere form f, scaled to the plain Sarvas field with k = 1: the Nut form
// gives the field of a unit moment along Q x r0, Grynszpan has the factor 1e-9.
int sphereForm(const Probe& e, int f, const double* r, const double* r0, const double* Q, Vec& B) {
    int ok = 0;
    switch (f) {  // a switch rather than indexing kSphereForms keeps GCC's flow analysis quiet
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

// Sarvas's F, written out so that the reference does not reuse the library's.
double sarvasF(const Vec& r, const Vec& r0) {
    const Vec d = {{r[0] - r0[0], r[1] - r0[1], r[2] - r0[2]}};
    return len(d) * (len(r) * len(d) + dot(r, r) - dot(r0, r));
}

// Outside the sphere B = -mu0 grad(U), U = -(1/4pi) (Q x r0) . r / F, so
// B = k grad((Q x r0) . r / F): here by central differences.
Vec fieldFromPotential(const Vec& r, const Vec& r0, const Vec& Q) {
    const Vec c = cross(Q, r0);
    const double h = 1e-5 * len(r);
    Vec B;
    for (int i = 0; i < 3; ++i) {
        Vec rp = r, rm = r;
        rp[i] += h, rm[i] -= h;
        B[i] = (dot(c, rp) / sarvasF(rp, r0) - dot(c, rm) / sarvasF(rm, r0)) / (2 * h);
    }
    return B;
}

struct PointFormulas : ::testing::Test {
    Probe e;
    CMDataForwardkw data;
    phystest::Rng rng;
    Vec r, r0, Q;
    // A field point at radius R, a source inside 0.64 R.
    void randomPair(double R) {
        r = rng.onSphere(R);
        r0 = rng.onSphere(rng.uniform(0.05, 0.64) * R);
        Q = rng.onSphere(rng.uniform(0.5, 2.0));
    }
};

TEST_F(PointFormulas, AllSphereFormsAreOneFieldWhichIsTheGradientOfThePotential) {
    double worst = 0.0, worstFd = 0.0;
    for (int coord : {0, 1, -1}) {  // -1: no data manager
        e.pDataFwd = coord < 0 ? nullptr : &data;
        data.coordSystem = coord;
        for (double R : {0.11, 110.0}) {
            for (int t = 0; t < 200; ++t) {
                randomPair(R);
                const Vec ref = fieldFromPotential(r, r0, Q);
                // Volume currents add no radial field: B . r is that of the
                // dipole alone, (r0 x Q) . r / a^3.
                const Vec d = {{r[0] - r0[0], r[1] - r0[1], r[2] - r0[2]}};
                const double radial = dot(cross(r0, Q), r) / std::pow(len(d), 3);
                Vec B, sarvas;
                sphereForm(e, 0, r, r0, Q, sarvas);
                worstFd = std::max(worstFd, relDiff(sarvas, ref));
                ASSERT_LT(relDiff(sarvas, ref), 1e-6);
                for (int f = 0; f < 5; ++f) {
                    ASSERT_EQ(sphereForm(e, f, r, r0, Q, B), 1) << f;
                    worst = std::max(worst, relDiff(sarvas, B));
                    ASSERT_LT(relDiff(sarvas, B), 1e-9) << f << " R " << R;
                    EXPECT_NEAR(dot(B, r), radial, 1e-9 * len(B) * R) << f;
                    // A dipole along r0 has no field outside the sphere.
                    sphereForm(e, f, r, r0, scaled(r0, 3.0 / len(r0)), B);
                    EXPECT_LT(len(B), 1e-12 * len(sarvas) * 3.0) << f;
                }
            }
        }
    }
    std::printf("largest relative disagreement between the sphere forms: %.3g; with the potential: %.3g\n", worst,
                worstFd);
}

TEST_F(PointFormulas, ParallelAndOnAxisGeometryStaysFiniteAndExact) {
    // On the source's ray Cuffin drops its 1/t7 term and Grynszpan sits (to
    // rounding) on the source axis; both must still be the Sarvas field.
    for (int t = 0; t < 50; ++t) {
        randomPair(0.11);
        for (double s : {2.5, -2.5}) {
            r = scaled(r0, s);
            Vec ref, B;
            sphereForm(e, 0, r, r0, Q, ref);
            for (int f = 1; f < 5; ++f) {
                ASSERT_EQ(sphereForm(e, f, r, r0, Q, B), 1);
                EXPECT_LT(relDiff(ref, B), 1e-8) << f << " s " << s;
            }
        }
    }
    // The spherical entry exactly on the axis (rho = 0), above and below a
    // source at (0, 0, 0.03), whose tangential axes are x and y.
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
    Vec B;
    // At the source or at the sphere centre no field is defined: zeros.
    for (int f = 0; f < 5; ++f) {
        for (const Vec& at : {r0, centre}) {
            B = {{7, 7, 7}};
            EXPECT_EQ(sphereForm(e, f, at, r0, Q, B), 1);
            EXPECT_EQ(len(B), 0.0) << f;
        }
        B = {{7, 7, 7}};
        EXPECT_EQ(sphereForm(e, f, far, r0, nullptr, B), 0);
        EXPECT_EQ(len(B), 0.0);
    }
    for (Member m : {&Probe::point12Q6Mf3D_05BiotSavartCtf, &Probe::point11MQ6Mf3D_01Magnetic,
                     &Probe::point11MQ6Mf3D_02Magnetic, &Probe::point11MQ6Mf3D_03PrimaryCurrent}) {
        B = {{7, 7, 7}};
        EXPECT_EQ((e.*m)(r0, r0, Q, B), 1);
        EXPECT_EQ(len(B), 0.0);
        EXPECT_EQ((e.*m)(nullptr, r0, Q, B) + (e.*m)(r0, r0, Q, nullptr), 0);
    }
    // A source at the sphere centre has no tangent plane for Grynszpan.
    const double s0[3] = {0.0, 0.3, 0.2};
    B = {{7, 7, 7}};
    EXPECT_EQ(e.point12Q6Mf3D_06GrynszpanCtf(far, centre, Q, B), 0);
    EXPECT_EQ(e.point01Q5SphLf3D_grynszpan(far, s0, Q, len(far), B), 0);
    EXPECT_EQ(len(B), 0.0);
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
    // A current element along z seen from +x: k m / a^2 along +y, in the
    // Biot-Savart and the primary-current forms alike.
    e.point12Q6Mf3D_05BiotSavartCtf(side, r0, m, B1);
    e.point11MQ6Mf3D_03PrimaryCurrent(side, r0, m, B2);
    EXPECT_LT(relDiff(B1, Vec{{0, 3.0 * 2 / 4.0, 0}}), 1e-14);
    EXPECT_LT(relDiff(B1, B2), 1e-15);
}

TEST_F(PointFormulas, DispatchersFollowTheCodes) {
    randomPair(0.11);
    e.mu4PiRatio = 2.0;
    const Member current[8] = {kSphereForms[0], kSphereForms[0], kSphereForms[1], kSphereForms[2],
                               kSphereForms[3], &Probe::point12Q6Mf3D_05BiotSavartCtf, kSphereForms[4],
                               kSphereForms[0]};
    const Member magnetic[3] = {&Probe::point11MQ6Mf3D_01Magnetic, &Probe::point11MQ6Mf3D_02Magnetic,
                                &Probe::point11MQ6Mf3D_03PrimaryCurrent};
    for (int code : {0, 1, 2, 3, 4, 5, 6, 7, 42, -1}) {
        for (int mag : {0, 1}) {
            e.isMagSrc = mag, e.coilFwdModel = code;
            const Member m = mag ? magnetic[code >= 0 && code <= 2 ? code : 0] : current[code >= 0 && code <= 7 ? code : 0];
            Vec B, ref;
            ASSERT_EQ(e.point14xMf3D_all(r, r0, Q, B), 1);
            (e.*m)(r, r0, Q, ref);
            EXPECT_EQ(relDiff(B, ref), 0.0) << mag << " " << code;
        }
    }
    // The forms a wrong branch would mix up really differ here.
    Vec sarvas, nut, biot, dip, prim;
    e.point12Q6Mf3D_00sam03Fwd(r, r0, Q, sarvas);
    e.point12Q6Mf3D_03Sarvas02Nut(r, r0, Q, nut);
    e.point12Q6Mf3D_05BiotSavartCtf(r, r0, Q, biot);
    e.point11MQ6Mf3D_01Magnetic(r, r0, Q, dip);
    e.point11MQ6Mf3D_03PrimaryCurrent(r, r0, Q, prim);
    EXPECT_GT(std::min({relDiff(sarvas, nut), relDiff(sarvas, biot), relDiff(dip, prim)}), 1e-3);
}

}  // namespace
