#include "forward_engine/CMForward02Coil02xz.h"

#include "forward_engine/FormulaTable.h"

namespace phys = megfwd::phys;

namespace {

inline bool start(const double* pt, const double* n, const R3Q3x3* basis, double* out) {
    if (!out) return false;
    out[0] = out[1] = 0.0;
    return pt && n && basis;
}

// n . (Sarvas field) for both directions; `unit` normalises copies of them.
// False (outputs 0) where F = 0.
bool sarvas2(double k, const double* pt, const double* n, const R3Q3x3* basis, bool unit, double* out) {
    phys::SarvasGeom g;
    if (!phys::sarvasGeom(pt, basis->r, g)) return false;
    const double gn = phys::dot(g.gradF, n);
    for (int i = 0; i < 2; ++i) {
        double q[3];
        phys::copy(basis->q[i], q);
        if (unit) phys::normalize(q);
        double c[3];
        phys::cross(q, basis->r, c);
        out[i] = phys::sarvasNormal(k, g, pt, c, n, gn);
    }
    return true;
}

// n . k (q x d)/a^3 = k/a^3 q . (d x n) for both directions.
void biotSavart2(double k, const double* pt, const double* n, const R3Q3x3* basis, double* out) {
    double d[3];
    phys::sub(pt, basis->r, d);
    const double a = phys::norm(d);
    const double a3 = a * a * a;
    if (a3 == 0.0) return;
    double dn[3];
    phys::cross(d, n, dn);
    for (int i = 0; i < 2; ++i) out[i] = k / a3 * phys::dot(basis->q[i], dn);
}

}  // namespace

int CMForward02Coil02xz::coil24xLf2D_all(const double* pt, const double* n, const R3Q3x3* basis, double* out) const {
    return isMagSrc == 0 ? coil22Q3LfXZaxial_all(pt, n, basis, out) : coil21MQ3LfXZaxial_all(pt, n, basis, out);
}

int CMForward02Coil02xz::coil22Q3LfXZaxial_all(const double* pt, const double* n, const R3Q3x3* basis,
                                               double* out) const {
    using Self = CMForward02Coil02xz;
    // By current-dipole formula code (FormulaTable.h); ST01, SX02 and DX
    // take the scalar member with its fixed factor.
    static constexpr decltype(&Self::coil22Q3LfXZaxial_01Sam03kw) kMembers[] = {
        &Self::coil22Q3LfXZaxial_01Sam03kw,       &Self::coil22Q3LfXZaxial_01Sam03kw,
        &Self::coil22Q3LfXZaxial_02Sarvas01kw,    &Self::coil22Q3LfXZaxial_03Sarvas02Nut,
        &Self::coil22Q3LfXZaxial_04CuffinFieldTrip, &Self::coil22Q3LfXZaxial_05BiotSavartCtf,
        &Self::coil22Q3LfXZaxial_06GrnszpanCtf};
    return (this->*megfwd::memberForCode(kMembers, coilFwdModel))(pt, n, basis, out);
}

int CMForward02Coil02xz::coil21MQ3LfXZaxial_all(const double* pt, const double* n, const R3Q3x3* basis,
                                                double* out) const {
    using Self = CMForward02Coil02xz;
    // By magnetic-source formula code (FormulaTable.h).
    static constexpr decltype(&Self::coil21MQ3LfXZaxial_01Magnetic) kMembers[] = {
        &Self::coil21MQ3LfXZaxial_01Magnetic, &Self::coil21MQ3LfXZaxial_02Magnetic,
        &Self::coil21MQ3LfXZaxial_03PrimaryCurrent};
    return (this->*megfwd::memberForCode(kMembers, coilFwdModel))(pt, n, basis, out);
}

int CMForward02Coil02xz::coil22Q3LfXZaxial_01Sam03kw(const double* pt, const double* n, const R3Q3x3* basis,
                                                     double* out) const {
    if (!start(pt, n, basis, out)) return 0;
    sarvas2(kSarvasFixedFactor, pt, n, basis, false, out);  // no finite value: zeros
    return 1;
}

int CMForward02Coil02xz::coil22Q3LfXZaxial_00Sam02Tangential(const double* pt, const double* n, const R3Q3x3* basis,
                                                             double* out) const {
    return coil22Q3LfXZaxial_01Sam03kw(pt, n, basis, out);
}

int CMForward02Coil02xz::coil22Q3LfXZaxial_02Sarvas01kw(const double* pt, const double* n, const R3Q3x3* basis,
                                                        double* out) const {
    if (!start(pt, n, basis, out)) return 0;
    return sarvas2(mu4PiRatio, pt, n, basis, false, out) ? 1 : 0;
}

int CMForward02Coil02xz::coil22Q3LfXZaxial_03Sarvas02Nut(const double* pt, const double* n, const R3Q3x3* basis,
                                                         double* out) const {
    if (!start(pt, n, basis, out)) return 0;
    return sarvas2(mu4PiRatio, pt, n, basis, true, out) ? 1 : 0;
}

int CMForward02Coil02xz::coil22Q3LfXZaxial_04CuffinFieldTrip(const double* pt, const double* n, const R3Q3x3* basis,
                                                             double* out) const {
    if (!start(pt, n, basis, out)) return 0;
    phys::CuffinGeom c;
    if (!phys::cuffinGeom(pt, basis->r, c)) return 1;  // no finite value: zeros
    double l[3];
    phys::cuffinRow(mu4PiRatio, c, pt, basis->r, n, l);
    for (int i = 0; i < 2; ++i) out[i] = phys::dot(l, basis->q[i]);
    return 1;
}

int CMForward02Coil02xz::coil22Q3LfXZaxial_05BiotSavartCtf(const double* pt, const double* n, const R3Q3x3* basis,
                                                           double* out) const {
    if (!start(pt, n, basis, out)) return 0;
    biotSavart2(mu4PiRatio, pt, n, basis, out);
    return 1;
}

int CMForward02Coil02xz::coil22Q3LfXZaxial_06GrnszpanCtf(const double* pt, const double* n, const R3Q3x3* basis,
                                                         double* out) const {
    if (!start(pt, n, basis, out)) return 0;
    phys::GrynszpanGeom g;
    bool toMatlab = false;
    if (!grynszpanSetup(pt, basis->r, g, toMatlab)) return 0;
    for (int i = 0; i < 2; ++i) {
        double B[3];
        grynszpanHostField(g, toMatlab, basis->q[i], B);
        out[i] = phys::dot(B, n);
    }
    return 1;
}

int CMForward02Coil02xz::coil21MQ3LfXZaxial_01Magnetic(const double* pt, const double* n, const R3Q3x3* basis,
                                                       double* out) const {
    if (!start(pt, n, basis, out)) return 0;
    for (int i = 0; i < 2; ++i) {
        double B[3];
        phys::magneticDipole(mu4PiRatio, pt, basis->r, basis->q[i], B);
        out[i] = phys::dot(B, n);
    }
    return 1;
}

int CMForward02Coil02xz::coil21MQ3LfXZaxial_02Magnetic(const double* pt, const double* n, const R3Q3x3* basis,
                                                       double* out) const {
    if (!start(pt, n, basis, out)) return 0;
    double d[3];
    phys::sub(pt, basis->r, d);
    const double a2 = phys::dot(d, d);
    const double a5 = a2 * a2 * std::sqrt(a2);
    if (a5 == 0.0) return 1;
    const double c5 = kMagneticTensorFactor / a5;
    const double dn = phys::dot(d, n);
    for (int i = 0; i < 2; ++i)
        out[i] = c5 * (3.0 * phys::dot(basis->q[i], d) * dn - a2 * phys::dot(basis->q[i], n));
    return 1;
}

int CMForward02Coil02xz::coil21MQ3LfXZaxial_03PrimaryCurrent(const double* pt, const double* n, const R3Q3x3* basis,
                                                             double* out) const {
    if (!start(pt, n, basis, out)) return 0;
    biotSavart2(mu4PiRatio, pt, n, basis, out);
    return 1;
}
