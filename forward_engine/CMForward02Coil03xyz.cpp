#include "forward_engine/CMForward02Coil03xyz.h"

#include "forward_engine/FormulaTable.h"

namespace phys = megfwd::phys;

namespace {

inline bool start(const double* pt, const double* n, const double* r0, double* out) {
    if (!out) return false;
    out[0] = out[1] = out[2] = 0.0;
    return pt && n && r0;
}

// n . (Sarvas field) of the three axes; false (outputs 0) where F = 0.
bool sarvas3(double k, const double* pt, const double* n, const double* r0, double* out) {
    phys::SarvasGeom g;
    if (!phys::sarvasGeom(pt, r0, g)) return false;
    phys::sarvasAxesNormal(k, g, pt, r0, n, out);
    return true;
}

// n . k (e_j x d)/a^3 = k/a^3 (d x n)_j.
void biotSavart3(double k, const double* pt, const double* n, const double* r0, double* out) {
    double d[3];
    phys::sub(pt, r0, d);
    const double a = phys::norm(d);
    const double a3 = a * a * a;
    if (a3 == 0.0) return;
    phys::cross(d, n, out);
    for (int j = 0; j < 3; ++j) out[j] *= k / a3;
}

}  // namespace

int CMForward02Coil03xyz::coil26xLf3D_all(const double* pt, const double* n, const double* r0, double* out) const {
    return isMagSrc == 0 ? coil23Q3LfXYZaxial_all(pt, n, r0, out) : coil23MQ3LfXYZaxial_all(pt, n, r0, out);
}

int CMForward02Coil03xyz::coil23Q3LfXYZaxial_all(const double* pt, const double* n, const double* r0,
                                                 double* out) const {
    using Self = CMForward02Coil03xyz;
    // By current-dipole formula code (FormulaTable.h); DX takes the ST01 member.
    static constexpr decltype(&Self::coil23Q3LfXYZaxial_00Sam02Tangential) kMembers[] = {
        &Self::coil23Q3LfXYZaxial_00Sam02Tangential, &Self::coil23Q3LfXYZaxial_01Sam03kw,
        &Self::coil23Q3LfXYZaxial_02Sarvas01Ctf,     &Self::coil23Q3LfXYZaxial_03Sarvas02Nut,
        &Self::coil23Q3LfXYZaxial_04CuffinFieldTrip, &Self::coil23Q3LfXYZaxial_05BiotSavartCtf,
        &Self::coil23Q3LfXYZaxial_06GrnszpanCtf};
    return (this->*megfwd::memberForCode(kMembers, coilFwdModel))(pt, n, r0, out);
}

int CMForward02Coil03xyz::coil23MQ3LfXYZaxial_all(const double* pt, const double* n, const double* r0,
                                                  double* out) const {
    using Self = CMForward02Coil03xyz;
    // By magnetic-source formula code (FormulaTable.h).
    static constexpr decltype(&Self::coil23MQ3LfXYZaxial_01Magnetic) kMembers[] = {
        &Self::coil23MQ3LfXYZaxial_01Magnetic, &Self::coil23MQ3LfXYZaxial_02Magnetic,
        &Self::coil23MQ3LfXYZaxial_03PrimaryCurrent};
    return (this->*megfwd::memberForCode(kMembers, coilFwdModel))(pt, n, r0, out);
}

int CMForward02Coil03xyz::coil23Q3LfXYZaxial_00Sam02Tangential(const double* pt, const double* n, const double* r0,
                                                              double* out) const {
    if (!start(pt, n, r0, out)) return 0;
    sarvas3(mu4PiRatio, pt, n, r0, out);  // no finite value: zeros
    return 1;
}

int CMForward02Coil03xyz::coil23Q3LfXYZaxial_01Sam03kw(const double* pt, const double* n, const double* r0,
                                                      double* out) const {
    if (!start(pt, n, r0, out)) return 0;
    sarvas3(kSarvasFixedFactor, pt, n, r0, out);
    return 1;
}

int CMForward02Coil03xyz::coil23Q3LfXYZaxial_02Sarvas01Ctf(const double* pt, const double* n, const double* r0,
                                                          double* out) const {
    // The CTF point formula for each axis, projected on n; it shares its
    // geometry with the scalar form, so it is computed once here.
    if (!start(pt, n, r0, out)) return 0;
    sarvas3(mu4PiRatio, pt, n, r0, out);
    return 1;
}

int CMForward02Coil03xyz::coil23Q3LfXYZaxial_03Sarvas02Nut(const double* pt, const double* n, const double* r0,
                                                          double* out) const {
    if (!start(pt, n, r0, out)) return 0;
    return sarvas3(mu4PiRatio, pt, n, r0, out) ? 1 : 0;
}

int CMForward02Coil03xyz::coil23Q3LfXYZaxial_04CuffinFieldTrip(const double* pt, const double* n, const double* r0,
                                                              double* out) const {
    if (!start(pt, n, r0, out)) return 0;
    phys::CuffinGeom c;
    if (!phys::cuffinGeom(pt, r0, c)) return 1;  // no finite value: zeros
    phys::cuffinRow(mu4PiRatio, c, pt, r0, n, out);
    return 1;
}

int CMForward02Coil03xyz::coil23Q3LfXYZaxial_05BiotSavartCtf(const double* pt, const double* n, const double* r0,
                                                            double* out) const {
    if (!start(pt, n, r0, out)) return 0;
    biotSavart3(mu4PiRatio, pt, n, r0, out);
    return 1;
}

int CMForward02Coil03xyz::coil23Q3LfXYZaxial_06GrnszpanCtf(const double* pt, const double* n, const double* r0,
                                                          double* out) const {
    if (!start(pt, n, r0, out)) return 0;
    phys::GrynszpanGeom g;
    bool toMatlab = false;
    if (!grynszpanSetup(pt, r0, g, toMatlab)) return 0;
    for (int j = 0; j < 3; ++j) {
        double e[3] = {0.0, 0.0, 0.0}, B[3];
        e[j] = 1.0;
        grynszpanHostField(g, toMatlab, e, B);
        out[j] = phys::dot(B, n);
    }
    return 1;
}

int CMForward02Coil03xyz::coil23MQ3LfXYZaxial_01Magnetic(const double* pt, const double* n, const double* r0,
                                                        double* out) const {
    // B_j . n = k/a^3 (3 u_j (u . n) - n_j) with u = d/a.
    if (!start(pt, n, r0, out)) return 0;
    double d[3];
    phys::sub(pt, r0, d);
    const double a = phys::norm(d);
    const double a3 = a * a * a;
    if (a3 == 0.0) return 1;
    const double u[3] = {d[0] / a, d[1] / a, d[2] / a};
    const double un = 3.0 * phys::dot(u, n);
    for (int j = 0; j < 3; ++j) out[j] = mu4PiRatio / a3 * (un * u[j] - n[j]);
    return 1;
}

int CMForward02Coil03xyz::coil23MQ3LfXYZaxial_02Magnetic(const double* pt, const double* n, const double* r0,
                                                        double* out) const {
    if (!start(pt, n, r0, out)) return 0;
    double d[3];
    phys::sub(pt, r0, d);
    const double a2 = phys::dot(d, d);
    const double a5 = a2 * a2 * std::sqrt(a2);
    if (a5 == 0.0) return 1;
    const double c5 = kMagneticTensorFactor / a5;
    const double dn = 3.0 * phys::dot(d, n);
    for (int j = 0; j < 3; ++j) out[j] = c5 * (d[j] * dn - a2 * n[j]);
    return 1;
}

int CMForward02Coil03xyz::coil23MQ3LfXYZaxial_03PrimaryCurrent(const double* pt, const double* n, const double* r0,
                                                              double* out) const {
    if (!start(pt, n, r0, out)) return 0;
    biotSavart3(mu4PiRatio, pt, n, r0, out);
    return 1;
}
