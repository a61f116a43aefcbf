// Coil-level three-component leadfields: the flux density normal to a coil at
// one integration point produced by unit sources along the three coordinate
// axes.
//
// Every member takes the integration point pt, the unit coil normal n and the
// source position r0, all relative to the sphere centre, and writes
// out[j] = n . B(pt) for a unit source along e_j, after first setting the
// three outputs to 0. The source-dependent quantities are computed once per
// call for the three axes; nothing is allocated.
//
// Geometry where a formula has no finite value (pt at the source or at the
// sphere centre) gives zeros and success, except in the vector-form Sarvas
// member (code 3), which fails for F = 0 by design, and in the Grynszpan
// member, which fails for a source at the sphere centre. Null arguments fail.
#pragma once

#include "forward_engine/CMForward02Coil02xz.h"

class CMForward02Coil03xyz : public CMForward02Coil02xz {
public:
    // isMagSrc = 0: coil23Q3LfXYZaxial_all; otherwise coil23MQ3LfXYZaxial_all.
    int coil26xLf3D_all(const double* pt, const double* n, const double* r0, double* out) const;
    // Current dipoles by coilFwdModel: 1 scalar Sarvas with the fixed factor
    // 1e-7, 2 CTF Sarvas, 3 vector-form Sarvas, 4 Cuffin, 5 Biot-Savart,
    // 6 Grynszpan; 0, 7 and every other code scalar Sarvas with mu4PiRatio.
    int coil23Q3LfXYZaxial_all(const double* pt, const double* n, const double* r0, double* out) const;
    // Magnetic sources by coilFwdModel: 1 dipole (tensor form, fixed factor),
    // 2 primary current; 0 and every other code the dipole.
    int coil23MQ3LfXYZaxial_all(const double* pt, const double* n, const double* r0, double* out) const;

protected:
    int coil23Q3LfXYZaxial_00Sam02Tangential(const double* pt, const double* n, const double* r0, double* out) const;
    int coil23Q3LfXYZaxial_01Sam03kw(const double* pt, const double* n, const double* r0, double* out) const;
    int coil23Q3LfXYZaxial_02Sarvas01Ctf(const double* pt, const double* n, const double* r0, double* out) const;
    int coil23Q3LfXYZaxial_03Sarvas02Nut(const double* pt, const double* n, const double* r0, double* out) const;
    int coil23Q3LfXYZaxial_04CuffinFieldTrip(const double* pt, const double* n, const double* r0, double* out) const;
    int coil23Q3LfXYZaxial_05BiotSavartCtf(const double* pt, const double* n, const double* r0, double* out) const;
    int coil23Q3LfXYZaxial_06GrnszpanCtf(const double* pt, const double* n, const double* r0, double* out) const;
    int coil23MQ3LfXYZaxial_01Magnetic(const double* pt, const double* n, const double* r0, double* out) const;
    int coil23MQ3LfXYZaxial_02Magnetic(const double* pt, const double* n, const double* r0, double* out) const;
    int coil23MQ3LfXYZaxial_03PrimaryCurrent(const double* pt, const double* n, const double* r0, double* out) const;
};
