// Point-source field formulas against physical facts: the Sarvas forms, the
// Cuffin form and the Grynszpan form are one field; that field is the gradient
// of the magnetic scalar potential outside the sphere and has the radial
// component of the dipole's own Biot-Savart field; radial dipoles are silent;
// magnetic dipoles have their textbook axis and equator fields.
#include <cstdio>
#include <functional>
#include <vector>

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

using Formula = std::function<int(const double*, const double*, const double*, double*)>;

// The current-dipole forms, each scaled to the plain Sarvas field with k = 1
// (the Nut form gives the field of a unit moment along Q x r0; the Grynszpan
// form has the factor 1e-9).
std::vector<std::pair<const char*, Formula>> sarvasForms(Probe& e) {
    return {
        {"scalar", [&](const double* r, const double* r0, const double* q, double* B) {
             return e.point12Q6Mf3D_00sam03Fwd(r, r0, q, B);
         }},
        {"ctf", [&](const double* r, const double* r0, const double* q, double* B) {
             return e.point12Q6Mf3D_02Sarvas01Ctf(r, r0, q, B);
         }},
        {"nut", [&](const double* r, const double* r0, const double* q, double* B) {
             const int ok = e.point12Q6Mf3D_03Sarvas02Nut(r, r0, q, B);
             const double s = q ? len(cross(q, r0)) : 1.0;
             for (int i = 0; i < 3; ++i) B[i] *= s;
             return ok;
         }},
        {"cuffin", [&](const double* r, const double* r0, const double* q, double* B) {
             return e.point12Q6Mf3D_04CuffinFieldTrip(r, r0, q, B);
         }},
        {"grynszpan", [&](const double* r, const double* r0, const double* q, double* B) {
             const int ok = e.point12Q6Mf3D_06GrynszpanCtf(r, r0, q, B);
             for (int i = 0; i < 3; ++i) B[i] *= 1e9;
             return ok;
         }},
    };
}

// Sarvas's F, written out here so that the reference below does not reuse the
// library's gradient.
double sarvasF(const Vec& r, const Vec& r0) {
    const Vec d = {{r[0] - r0[0], r[1] - r0[1], r[2] - r0[2]}};
    const double a = len(d), rn = len(r);
    return a * (rn * a + rn * rn - dot(r0, r));
}

// Outside the sphere B = -mu0 grad(U) with the magnetic scalar potential
// U = -(1/4pi) (Q x r0) . r / F: B = k grad((Q x r0) . r / F), here by
// central differences.
Vec fieldFromPotential(const Vec& r, const Vec& r0, const Vec& Q) {
    const Vec c = cross(Q, r0);
    Vec B;
    const double h = 1e-5 * len(r);
    for (int i = 0; i < 3; ++i) {
        Vec rp = r, rm = r;
        rp[i] += h;
        rm[i] -= h;
        B[i] = (dot(c, rp) / sarvasF(rp, r0) - dot(c, rm) / sarvasF(rm, r0)) / (2 * h);
    }
    return B;
}

struct PointFormulas : ::testing::Test {
    Probe e;
    CMDataForwardkw data;
    phystest::Rng rng;
    // Field points on a sphere of radius R, sources inside one of radius 0.64 R.
    void randomPair(double R, Vec& r, Vec& r0, Vec& Q) {
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
                Vec r, r0, Q, ref, B;
                randomPair(R, r, r0, Q);
                ASSERT_EQ(e.point12Q6Mf3D_01sam03kw(r, r0, Q, ref), 1);
                const Vec fd = fieldFromPotential(r, r0, Q);
                worstFd = std::max(worstFd, relDiff(ref, fd));
                ASSERT_LT(relDiff(ref, fd), 1e-6);
                // Volume currents add no radial field: B . r is that of the
                // dipole alone, (r0 x Q) . r / a^3.
                const Vec d = {{r[0] - r0[0], r[1] - r0[1], r[2] - r0[2]}};
                const double radial = dot(cross(r0, Q), r) / std::pow(len(d), 3);
                for (auto& [name, f] : sarvasForms(e)) {
                    ASSERT_EQ(f(r, r0, Q, B), 1) << name;
                    worst = std::max(worst, relDiff(ref, B));
                    ASSERT_LT(relDiff(ref, B), 1e-9) << name << " R " << R;
                    EXPECT_NEAR(dot(B, r), radial, 1e-9 * len(ref) * R) << name;
                }
            }
        }
    }
    std::printf("largest relative disagreement between the sphere forms: %.3g; with the potential: %.3g\n", worst,
                worstFd);
}

TEST_F(PointFormulas, FactorsAndRadialDipolesAreSilent) {
    Vec r, r0, Q, B1, B2;
    randomPair(0.11, r, r0, Q);
    e.point12Q6Mf3D_00sam03Fwd(r, r0, Q, B1);
    e.mu4PiRatio = 1e-7;
    e.point12Q6Mf3D_00sam03Fwd(r, r0, Q, B2);
    EXPECT_LT(relDiff(scaled(B1, 1e-7), B2), 1e-14);
    e.point12Q6Mf3D_06GrynszpanCtf(r, r0, Q, B2);  // the fixed factor 1e-9
    EXPECT_LT(relDiff(scaled(B1, 1e-9), B2), 1e-9);
    e.mu4PiRatio = 1.0;
    // A dipole along r0 has no field outside the sphere, in every form.
    const Vec radialQ = scaled(r0, 3.0);
    for (auto& [name, f] : sarvasForms(e)) {
        Vec B;
        ASSERT_EQ(f(r, r0, radialQ, B), 1);
        EXPECT_LT(len(B), 1e-12 * len(B1) * 3.0 * len(r0)) << name;
    }
    // Nut: the size of Q does not matter.
    e.point12Q6Mf3D_03Sarvas02Nut(r, r0, Q, B1);
    e.point12Q6Mf3D_03Sarvas02Nut(r, r0, scaled(Q, 10.0), B2);
    EXPECT_LT(relDiff(B1, B2), 1e-14);
}

TEST_F(PointFormulas, ParallelAndOnAxisGeometryStaysFiniteAndExact) {
    // Field point on the source's ray: Cuffin drops its 1/t7 term, Grynszpan
    // sits (up to rounding) on the source axis; both must still be Sarvas.
    for (int t = 0; t < 50; ++t) {
        Vec r, r0, Q, ref, B;
        randomPair(0.11, r, r0, Q);
        for (double s : {2.5, -2.5}) {
            r = scaled(r0, s);
            e.point12Q6Mf3D_00sam03Fwd(r, r0, Q, ref);
            for (auto& [name, f] : sarvasForms(e)) {
                ASSERT_EQ(f(r, r0, Q, B), 1);
                EXPECT_LT(relDiff(ref, B), 1e-8) << name << " s " << s;
            }
        }
    }
    // The spherical entry exactly on the axis (rho = 0), above and below a
    // source at (0, 0, 0.03), whose tangential axes are x and y.
    const double s[3] = {0.03, 0.0, 0.0}, q[3] = {0.4, -1.3, 0.0}, r0[3] = {0.0, 0.0, 0.03};
    for (double z : {0.11, -0.11, 0.02}) {
        const double r[3] = {0.0, 0.0, z};
        Vec B, ref;
        ASSERT_EQ(e.point01Q5SphLf3D_grynszpan(r, s, q, std::fabs(z), B), 1);
        e.point12Q6Mf3D_00sam03Fwd(r, r0, q, ref);
        if (z > 0.03 || z < 0) {
            EXPECT_LT(relDiff(scaled(ref, 1e-9), B), 1e-12) << z;
        }
        EXPECT_TRUE(std::isfinite(B[0]) && std::isfinite(B[1]) && std::isfinite(B[2]));
    }
}

TEST_F(PointFormulas, DegenerateGeometryGivesZerosOrFails) {
    const Vec r0 = {{0.01, 0.02, 0.03}}, Q = {{1, 2, 0.5}}, centre = {{0, 0, 0}}, far = {{0.05, 0.1, 0.02}};
    Vec B;
    // Field point at the source, or at the sphere centre: no finite field.
    for (const Vec& r : {r0, centre}) {
        for (auto& [name, f] : sarvasForms(e)) {
            B = {{7, 7, 7}};
            EXPECT_EQ(f(r, r0, Q, B), 1) << name;
            EXPECT_EQ(len(B), 0.0) << name;
        }
    }
    using Member = int (Probe::*)(const double*, const double*, const double*, double*) const;
    for (Member m : {&Probe::point12Q6Mf3D_05BiotSavartCtf, &Probe::point11MQ6Mf3D_01Magnetic,
                     &Probe::point11MQ6Mf3D_02Magnetic, &Probe::point11MQ6Mf3D_03PrimaryCurrent}) {
        B = {{7, 7, 7}};
        EXPECT_EQ((e.*m)(r0, r0, Q, B), 1);
        EXPECT_EQ(len(B), 0.0);
        EXPECT_EQ((e.*m)(nullptr, r0, Q, B), 0);
        EXPECT_EQ((e.*m)(r0, r0, Q, nullptr), 0);
    }
    // A source at the sphere centre has no tangent plane for Grynszpan.
    B = {{7, 7, 7}};
    EXPECT_EQ(e.point12Q6Mf3D_06GrynszpanCtf(far, centre, Q, B), 0);
    EXPECT_EQ(len(B), 0.0);
    const double s0[3] = {0.0, 0.3, 0.2};
    B = {{7, 7, 7}};
    EXPECT_EQ(e.point01Q5SphLf3D_grynszpan(far, s0, Q, len(far), B), 0);
    EXPECT_EQ(len(B), 0.0);
    for (auto& [name, f] : sarvasForms(e)) {
        B = {{7, 7, 7}};
        EXPECT_EQ(f(far, r0, nullptr, B), 0) << name;
        EXPECT_EQ(len(B), 0.0) << name;
    }
    EXPECT_EQ(e.point01Q5SphLf3D_grynszpan(nullptr, s0, Q, 1.0, B), 0);
}

TEST_F(PointFormulas, MagneticDipoleAxisAndEquatorAndBothFormsAgree) {
    e.mu4PiRatio = 3.0;
    const Vec r0 = {{1, 2, 3}}, m = {{0, 0, 2}};
    Vec B1, B2;
    const Vec axis = {{1, 2, 3 + 4.0}}, equator = {{1 + 4.0, 2, 3}};
    for (auto f : {&Probe::point11MQ6Mf3D_01Magnetic, &Probe::point11MQ6Mf3D_02Magnetic}) {
        (e.*f)(axis, r0, m, B1);
        EXPECT_LT(relDiff(B1, Vec{{0, 0, 2 * 3.0 * 2 / 64.0}}), 1e-14);
        (e.*f)(equator, r0, m, B1);
        EXPECT_LT(relDiff(B1, Vec{{0, 0, -3.0 * 2 / 64.0}}), 1e-14);
    }
    for (int t = 0; t < 20; ++t) {
        const Vec r = rng.onSphere(5.0), mm = rng.onSphere(1.0);
        e.point11MQ6Mf3D_01Magnetic(r, r0, mm, B1);
        e.point11MQ6Mf3D_02Magnetic(r, r0, mm, B2);
        EXPECT_LT(relDiff(B1, B2), 1e-13);
    }
    // A current element along z seen from +x: B = k m / a^2 along +y, in the
    // Biot-Savart and the primary-current forms alike.
    const Vec side = {{1 + 2.0, 2, 3}};
    e.point12Q6Mf3D_05BiotSavartCtf(side, r0, m, B1);
    e.point11MQ6Mf3D_03PrimaryCurrent(side, r0, m, B2);
    EXPECT_LT(relDiff(B1, Vec{{0, 3.0 * 2 / 4.0, 0}}), 1e-14);
    EXPECT_LT(relDiff(B1, B2), 1e-15);
}

TEST_F(PointFormulas, DispatchersFollowTheCodes) {
    Vec r, r0, Q, B, ref;
    randomPair(0.11, r, r0, Q);
    e.mu4PiRatio = 2.0;
    using Member = int (Probe::*)(const double*, const double*, const double*, double*) const;
    const Member current[8] = {&Probe::point12Q6Mf3D_00sam03Fwd,      &Probe::point12Q6Mf3D_00sam03Fwd,
                               &Probe::point12Q6Mf3D_02Sarvas01Ctf,   &Probe::point12Q6Mf3D_03Sarvas02Nut,
                               &Probe::point12Q6Mf3D_04CuffinFieldTrip, &Probe::point12Q6Mf3D_05BiotSavartCtf,
                               &Probe::point12Q6Mf3D_06GrynszpanCtf,  &Probe::point12Q6Mf3D_00sam03Fwd};
    const Member magnetic[3] = {&Probe::point11MQ6Mf3D_01Magnetic, &Probe::point11MQ6Mf3D_02Magnetic,
                                &Probe::point11MQ6Mf3D_03PrimaryCurrent};
    for (int mag : {0, 1}) {
        e.isMagSrc = mag;
        for (int code : {0, 1, 2, 3, 4, 5, 6, 7, 42, -1}) {
            e.coilFwdModel = code;
            const Member m = mag ? magnetic[code >= 0 && code <= 2 ? code : 0] : current[code >= 0 && code <= 7 ? code : 0];
            ASSERT_EQ(e.point14xMf3D_all(r, r0, Q, B), 1);
            (e.*m)(r, r0, Q, ref);
            EXPECT_EQ(relDiff(B, ref), 0.0) << mag << " " << code;
        }
    }
    // The forms that a wrong branch would mix up really differ here.
    Vec sarvas, nut, bs, dip, prim;
    e.point12Q6Mf3D_00sam03Fwd(r, r0, Q, sarvas);
    e.point12Q6Mf3D_03Sarvas02Nut(r, r0, Q, nut);
    e.point12Q6Mf3D_05BiotSavartCtf(r, r0, Q, bs);
    e.point11MQ6Mf3D_01Magnetic(r, r0, Q, dip);
    e.point11MQ6Mf3D_03PrimaryCurrent(r, r0, Q, prim);
    EXPECT_GT(relDiff(sarvas, nut), 1e-3);
    EXPECT_GT(relDiff(sarvas, bs), 1e-3);
    EXPECT_GT(relDiff(dip, prim), 1e-3);
}

}  // namespace
