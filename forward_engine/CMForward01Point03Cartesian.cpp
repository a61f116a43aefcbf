#include "forward_engine/CMForward01Point03Cartesian.h"

#include "forward_engine/FormulaTable.h"

#include "forward_process/CMDataForwardkw.h"

namespace phys = megfwd::phys;

namespace {

// Zeroes B and checks the arguments; false for any null pointer.
inline bool start(const double* r, const double* r0, const double* Q, double* B) {
    if (!B) return false;
    phys::zero(B);
    return r && r0 && Q;
}

}  // namespace

int CMForward01Point03Cartesian::point14xMf3D_all(const double* r, const double* r0, const double* Q,
                                                  double* B) const {
    return isMagSrc == 0 ? point12Q6Mf3D_All(r, r0, Q, B) : point11MQ6Mf3D_all(r, r0, Q, B);
}

int CMForward01Point03Cartesian::point12Q6Mf3D_All(const double* r, const double* r0, const double* Q,
                                                   double* B) const {
    using Self = CMForward01Point03Cartesian;
    // By current-dipole formula code (FormulaTable.h); SX02 and DX take the scalar form.
    static constexpr decltype(&Self::point12Q6Mf3D_00sam03Fwd) kMembers[] = {
        &Self::point12Q6Mf3D_00sam03Fwd,       &Self::point12Q6Mf3D_00sam03Fwd,
        &Self::point12Q6Mf3D_02Sarvas01Ctf,    &Self::point12Q6Mf3D_03Sarvas02Nut,
        &Self::point12Q6Mf3D_04CuffinFieldTrip, &Self::point12Q6Mf3D_05BiotSavartCtf,
        &Self::point12Q6Mf3D_06GrynszpanCtf};
    return (this->*megfwd::memberForCode(kMembers, coilFwdModel))(r, r0, Q, B);
}

int CMForward01Point03Cartesian::point11MQ6Mf3D_all(const double* r, const double* r0, const double* m,
                                                    double* B) const {
    using Self = CMForward01Point03Cartesian;
    // By magnetic-source formula code (FormulaTable.h).
    static constexpr decltype(&Self::point11MQ6Mf3D_01Magnetic) kMembers[] = {
        &Self::point11MQ6Mf3D_01Magnetic, &Self::point11MQ6Mf3D_02Magnetic, &Self::point11MQ6Mf3D_03PrimaryCurrent};
    return (this->*megfwd::memberForCode(kMembers, coilFwdModel))(r, r0, m, B);
}

int CMForward01Point03Cartesian::point12Q6Mf3D_00sam03Fwd(const double* r, const double* r0, const double* Q,
                                                          double* B) const {
    if (!start(r, r0, Q, B)) return 0;
    phys::sarvas(mu4PiRatio, r, r0, Q, B);
    return 1;
}

int CMForward01Point03Cartesian::point12Q6Mf3D_01sam03kw(const double* r, const double* r0, const double* Q,
                                                         double* B) const {
    return point12Q6Mf3D_00sam03Fwd(r, r0, Q, B);
}

int CMForward01Point03Cartesian::point12Q6Mf3D_02Sarvas01Ctf(const double* r, const double* r0, const double* Q,
                                                             double* B) const {
    if (!start(r, r0, Q, B)) return 0;
    phys::sarvas(mu4PiRatio, r, r0, Q, B);
    return 1;
}

int CMForward01Point03Cartesian::point12Q6Mf3D_03Sarvas02Nut(const double* r, const double* r0, const double* Q,
                                                             double* B) const {
    if (!start(r, r0, Q, B)) return 0;
    double c[3];
    phys::cross(Q, r0, c);
    phys::normalize(c);  // a zero Q x r0 stays zero: no field
    phys::SarvasGeom g;
    if (!phys::sarvasGeom(r, r0, g)) return 1;
    phys::sarvasField(mu4PiRatio, g, r, c, B);
    return 1;
}

int CMForward01Point03Cartesian::point12Q6Mf3D_04CuffinFieldTrip(const double* r, const double* r0, const double* Q,
                                                                 double* B) const {
    if (!start(r, r0, Q, B)) return 0;
    phys::CuffinGeom c;
    if (!phys::cuffinGeom(r, r0, c)) return 1;
    phys::cuffinField(mu4PiRatio, c, r, r0, Q, B);
    return 1;
}

int CMForward01Point03Cartesian::point12Q6Mf3D_05BiotSavartCtf(const double* r, const double* r0, const double* Q,
                                                               double* B) const {
    if (!start(r, r0, Q, B)) return 0;
    phys::biotSavart(mu4PiRatio, r, r0, Q, B);
    return 1;
}

int CMForward01Point03Cartesian::grynszpanSetup(const double* r, const double* r0, phys::GrynszpanGeom& g,
                                                bool& toMatlab) const {
    // Only a manager that says OpenGL asks for the conversion; without one the
    // inputs are taken as they are. The field is rotation-covariant, so both
    // give the same field up to rounding.
    toMatlab = pDataFwd && pDataFwd->coordSystem == 0;
    double rm[3], r0m[3];
    if (toMatlab) {
        CVector02Mas::xyzOpenGL2Matlab(r, rm);
        CVector02Mas::xyzOpenGL2Matlab(r0, r0m);
    } else {
        phys::copy(r, rm);
        phys::copy(r0, r0m);
    }
    double s[3];
    CVector02Mas::xyzTospherical(r0m, s);
    if (!phys::grynszpanGeom(rm, s[0], s[1], s[2], phys::norm(rm), g)) return 0;
    if (r[0] == r0[0] && r[1] == r0[1] && r[2] == r0[2]) g.isZero = true;  // field point at the source
    return 1;
}

void CMForward01Point03Cartesian::grynszpanHostField(const phys::GrynszpanGeom& g, bool toMatlab, const double* Q,
                                                     double* B) {
    double qm[3];
    if (toMatlab)
        CVector02Mas::xyzOpenGL2Matlab(Q, qm);
    else
        phys::copy(Q, qm);
    // Tangential components of the moment in the source's frame.
    const double qTheta = phys::dot(g.M[0], qm);
    const double qPhi = phys::dot(g.M[1], qm);
    phys::grynszpanField(g, qTheta, qPhi, B);
    if (toMatlab) CVector02Mas::xyzIMatlab2OpenGL(B);
}

int CMForward01Point03Cartesian::point12Q6Mf3D_06GrynszpanCtf(const double* r, const double* r0, const double* Q,
                                                              double* B) const {
    if (!start(r, r0, Q, B)) return 0;
    phys::GrynszpanGeom g;
    bool toMatlab = false;
    if (!grynszpanSetup(r, r0, g, toMatlab)) return 0;
    grynszpanHostField(g, toMatlab, Q, B);
    return 1;
}

int CMForward01Point03Cartesian::point11MQ6Mf3D_01Magnetic(const double* r, const double* r0, const double* m,
                                                           double* B) const {
    if (!start(r, r0, m, B)) return 0;
    phys::magneticDipole(mu4PiRatio, r, r0, m, B);
    return 1;
}

int CMForward01Point03Cartesian::point11MQ6Mf3D_02Magnetic(const double* r, const double* r0, const double* m,
                                                           double* B) const {
    if (!start(r, r0, m, B)) return 0;
    phys::magneticDipoleTensor(mu4PiRatio, r, r0, m, B);
    return 1;
}

int CMForward01Point03Cartesian::point11MQ6Mf3D_03PrimaryCurrent(const double* r, const double* r0, const double* m,
                                                                 double* B) const {
    if (!start(r, r0, m, B)) return 0;
    phys::biotSavart(mu4PiRatio, r, r0, m, B);
    return 1;
}
