#include "forward_engine/CMForward02Coil08QornSph.h"

namespace phys = megfwd::phys;

namespace {

constexpr double kLengthScale = 100.0;
constexpr double kHalfPi = 1.5707963267948966;
constexpr double kMagneticResultFactor = 1e-15;

// The unit vector of direction angles (a, b) in degrees.
void unitDirection(double aDeg, double bDeg, double* v) {
    const double s[3] = {1.0, CVector02Mas::degToRad(aDeg), CVector02Mas::degToRad(bDeg)};
    CVector02Mas::sphericalToxyz(s, v);
}

// The unit vector at angle alphaDeg in the tangent plane: (cos, sin, 0) in
// the local (e_theta, e_phi, e_r) axes.
void tangentDirection(double alphaDeg, double* v) {
    const double s[3] = {1.0, CVector02Mas::degToRad(alphaDeg), kHalfPi};
    CVector02Mas::sphericalToxyz(s, v);
}

void scaledDown(const double* in, double* out) {
    for (int i = 0; i < 3; ++i) out[i] = in[i] / kLengthScale;
}

// Spherical (r, a, b) and Cartesian source positions of a Cartesian src.
void cartesianSource(const double* src, double* sph, double* xyz) {
    scaledDown(src, xyz);
    CVector02Mas::xyzTospherical(xyz, sph);
}

// The same of a spherical src (r, a, b in degrees).
void sphericalSource(const double* src, double* sph, double* xyz) {
    sph[0] = src[0] / kLengthScale;
    sph[1] = CVector02Mas::degToRad(src[1]);
    sph[2] = CVector02Mas::degToRad(src[2]);
    CVector02Mas::sphericalToxyz(sph, xyz);
}

bool samePoint(const double* a, const double* b) { return a[0] == b[0] && a[1] == b[1] && a[2] == b[2]; }

}  // namespace

// ------------------------------------------------------------ Biot-Savart

static double biotSavartComponent(double k, const double* fieldPt, const double* orient, const double* src,
                                  const double* s) {
    double p[3], Q[3], B[3];
    scaledDown(fieldPt, p);
    unitDirection(src[3], src[4], Q);
    for (double& x : Q) x *= src[5];
    phys::biotSavart(k, p, s, Q, B);  // zero at the source
    return phys::dot(B, orient);
}

double CMForward02Coil08QornSph::coil28Q5Bcmp_BiotSavartEqn(const double* fieldPt, const double* orient,
                                                            const double* src) const {
    if (!fieldPt || !orient || !src) return 0.0;
    double sph[3], s[3];
    cartesianSource(src, sph, s);
    return biotSavartComponent(mu4PiRatio, fieldPt, orient, src, s);
}

double CMForward02Coil08QornSph::coil28Q5Bcmp_BiotSavartEqn_Qsph(const double* fieldPt, const double* orient,
                                                                 const double* src) const {
    if (!fieldPt || !orient || !src) return 0.0;
    double sph[3], s[3];
    sphericalSource(src, sph, s);
    return biotSavartComponent(mu4PiRatio, fieldPt, orient, src, s);
}

// -------------------------------------------------------------- Grynszpan

// B . orient of local moment q (q[0] along e_theta, q[1] along e_phi) of a
// source at spherical position sph (Cartesian s); zero at the source itself.
static double grynszpanComponent(const CMForward01Point02Spheric& e, const double* fieldPt, const double* orient,
                                 const double* sph, const double* s, const double* q) {
    double p[3], B[3];
    scaledDown(fieldPt, p);
    if (samePoint(p, s)) return 0.0;
    if (!e.point01Q5SphLf3D_grynszpan(p, sph, q, phys::norm(p), B)) return 0.0;
    return phys::dot(B, orient);
}

// q = R(a, b) x (unit direction of src[3], src[4]) x src[5].
static void globalMomentToLocal(const double* sph, const double* src, double* q) {
    double M[3][3], dir[3];
    phys::sphericalFrame(sph[1], sph[2], M);
    unitDirection(src[3], src[4], dir);
    CVector02Mas::matrixXvector3(M, dir, q);
    for (int i = 0; i < 3; ++i) q[i] *= src[5];
}

// q = (unit tangent direction of src[3]) x src[4].
static void tangentMoment(const double* src, double* q) {
    tangentDirection(src[3], q);
    for (int i = 0; i < 3; ++i) q[i] *= src[4];
}

double CMForward02Coil08QornSph::coil28Q5Bcmp_GrynszpanEqn(const double* fieldPt, const double* orient,
                                                           const double* src) const {
    if (!fieldPt || !orient || !src) return 0.0;
    double sph[3], s[3], q[3];
    cartesianSource(src, sph, s);
    globalMomentToLocal(sph, src, q);
    return grynszpanComponent(*this, fieldPt, orient, sph, s, q);
}

double CMForward02Coil08QornSph::coil28Q5Bcmp_GrynszpanEqn_Qsph(const double* fieldPt, const double* orient,
                                                                const double* src) const {
    if (!fieldPt || !orient || !src) return 0.0;
    double sph[3], s[3], q[3];
    sphericalSource(src, sph, s);
    globalMomentToLocal(sph, src, q);
    return grynszpanComponent(*this, fieldPt, orient, sph, s, q);
}

double CMForward02Coil08QornSph::coil28Q5Bcmp_GrynszpanLocal(const double* fieldPt, const double* orient,
                                                             const double* src) const {
    if (!fieldPt || !orient || !src) return 0.0;
    double sph[3], s[3], q[3];
    cartesianSource(src, sph, s);
    tangentMoment(src, q);
    return grynszpanComponent(*this, fieldPt, orient, sph, s, q);
}

double CMForward02Coil08QornSph::coil28Q5Bcmp_GrynszpanLocal_Qsph(const double* fieldPt, const double* orient,
                                                                  const double* src) const {
    if (!fieldPt || !orient || !src) return 0.0;
    double sph[3], s[3], q[3];
    sphericalSource(src, sph, s);
    tangentMoment(src, q);
    return grynszpanComponent(*this, fieldPt, orient, sph, s, q);
}

// --------------------------------------------------------- magnetic dipole

double CMForward02Coil08QornSph::coil26MQ5Bcmp(const double* fieldPt, const double* orient, const double* src) const {
    if (!fieldPt || !orient || !src) return 0.0;
    double m[3], B[3];
    unitDirection(src[3], src[4], m);
    phys::magneticDipole(mu4PiRatio, fieldPt, src, m, B);  // zero at the source
    CVector01StatFunct::scale(B, src[5], 3);
    return phys::dot(B, orient) * kMagneticResultFactor;
}

// ------------------------------------------------------------ angle helpers

int CMForward02Coil08QornSph::_28getLocalAlpha(const double* src, double& alpha, double& amplitude) const {
    if (!src) return 0;
    double sph[3], s[3], ql[3], qs[3];
    cartesianSource(src, sph, s);
    double M[3][3], dir[3];
    phys::sphericalFrame(sph[1], sph[2], M);
    unitDirection(src[3], src[4], dir);
    CVector02Mas::matrixXvector3(M, dir, ql);
    ql[2] = 0.0;  // drop the radial part
    CVector02Mas::xyzTospherical(ql, qs);
    alpha = CVector02Mas::radToDeg(qs[1]);
    amplitude = qs[0] * src[5];
    return 1;
}

int CMForward02Coil08QornSph::_28getRefAlpha(const double* src, double& alpha, double& beta, double& amplitude) const {
    if (!src) return 0;
    double sph[3], s[3], ql[3], qs[3];
    cartesianSource(src, sph, s);
    double M[3][3], dir[3];
    phys::sphericalFrame(sph[1], sph[2], M);
    tangentDirection(src[3], dir);
    CVector02Mas::matrixXvector3(M, dir, ql);
    CVector02Mas::xyzTospherical(ql, qs);
    alpha = CVector02Mas::radToDeg(qs[1]);
    beta = CVector02Mas::radToDeg(qs[2]);
    amplitude *= qs[0];
    return 1;
}
