// Coil-level two-component leadfields: the flux density normal to a coil at
// one integration point produced by a source along each of the two moment
// directions of a source basis.
//
// Every member takes the integration point pt and the unit coil normal n,
// both relative to the sphere centre, the source basis (basis->r the source
// position relative to the same centre, basis->q[0], q[1] the directions, used
// at the length they have except by the Nut member) and writes
// out[i] = n . B(pt) for the moment basis->q[i], i = 0, 1, after first setting
// both outputs to 0. The source-dependent quantities are computed once per
// call and serve both directions; nothing is allocated.
//
// Geometry where a formula has no finite value (pt at the source or at the
// sphere centre) gives zeros and success, except in the two members that fail
// for F = 0 by design (vector-form and Nut Sarvas) and in the Grynszpan member,
// which fails for a source at the sphere centre. Null arguments fail.
#pragma once

#include "forward_engine/CMForward01Point03Cartesian.h"

class CMForward02Coil02xz : public CMForward01Point03Cartesian {
public:
    // isMagSrc = 0: coil22Q3LfXZaxial_all; otherwise coil21MQ3LfXZaxial_all.
    int coil24xLf2D_all(const double* pt, const double* n, const R3Q3x3* basis, double* out) const;
    // Current dipoles by coilFwdModel: 2 vector-form Sarvas, 3 Nut Sarvas,
    // 4 Cuffin, 5 Biot-Savart, 6 Grynszpan; 0, 1, 7 and every other code the
    // scalar Sarvas form with its fixed factor 1e-7.
    int coil22Q3LfXZaxial_all(const double* pt, const double* n, const R3Q3x3* basis, double* out) const;
    // Magnetic sources by coilFwdModel: 1 dipole (tensor form, fixed factor),
    // 2 primary current; 0 and every other code the dipole.
    int coil21MQ3LfXZaxial_all(const double* pt, const double* n, const R3Q3x3* basis, double* out) const;

protected:
    // Sarvas, scalar form, factor 1e-7 (fixed); both names are one operation.
    int coil22Q3LfXZaxial_01Sam03kw(const double* pt, const double* n, const R3Q3x3* basis, double* out) const;
    int coil22Q3LfXZaxial_00Sam02Tangential(const double* pt, const double* n, const R3Q3x3* basis,
                                            double* out) const;
    // Sarvas, vector form, factor mu4PiRatio; fails for F = 0.
    int coil22Q3LfXZaxial_02Sarvas01kw(const double* pt, const double* n, const R3Q3x3* basis, double* out) const;
    // As above with each direction normalised first (the Nut tangent rule
    // leaves them unnormalised); a zero direction stays zero and gives 0.
    int coil22Q3LfXZaxial_03Sarvas02Nut(const double* pt, const double* n, const R3Q3x3* basis, double* out) const;
    // The Cuffin leadfield row of orientation n, projected on each direction.
    int coil22Q3LfXZaxial_04CuffinFieldTrip(const double* pt, const double* n, const R3Q3x3* basis,
                                            double* out) const;
    // Biot-Savart field of the dipole alone.
    int coil22Q3LfXZaxial_05BiotSavartCtf(const double* pt, const double* n, const R3Q3x3* basis,
                                          double* out) const;
    // Grynszpan (factor 1e-9); fails for a source at the sphere centre.
    int coil22Q3LfXZaxial_06GrnszpanCtf(const double* pt, const double* n, const R3Q3x3* basis, double* out) const;
    // Magnetic dipole (mu4PiRatio), the same in tensor form with the fixed
    // factor 7.957747154594243e-11, and primary current (mu4PiRatio).
    int coil21MQ3LfXZaxial_01Magnetic(const double* pt, const double* n, const R3Q3x3* basis, double* out) const;
    int coil21MQ3LfXZaxial_02Magnetic(const double* pt, const double* n, const R3Q3x3* basis, double* out) const;
    int coil21MQ3LfXZaxial_03PrimaryCurrent(const double* pt, const double* n, const R3Q3x3* basis,
                                            double* out) const;

    // Fixed factors of the scalar Sarvas and the tensor magnetic members.
    static constexpr double kSarvasFixedFactor = 1e-7;
    static constexpr double kMagneticTensorFactor = 7.957747154594243e-11;
};
