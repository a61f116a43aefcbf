// Point-source field formulas in Cartesian coordinates: the magnetic field B
// that one source produces at one field point.
//
// Every formula takes the field point r and the source position r0 (relative
// to the sphere centre for the sphere formulas), the moment Q (current
// dipole) or m (magnetic moment or current element), and writes B, which it
// first sets to zero. Results are multiplied by mu4PiRatio, except in the
// Grynszpan form, whose factor is 1e-9. No formula converts units.
//
// Geometry where a formula has no finite value (field point at the source,
// at the sphere centre, or F = 0 in the Sarvas forms) gives B = 0 and success
// in every form, so no infinity or NaN ever leaves a formula; a source at the
// sphere centre makes the Grynszpan form fail. Null arguments fail.
#pragma once

#include "forward_engine/CMForward01Point02Spheric.h"
#include "forward_engine/PointFormulas.h"

class CMForward01Point03Cartesian : public CMForward01Point02Spheric {
public:
    // isMagSrc = 0: point12Q6Mf3D_All; otherwise point11MQ6Mf3D_all.
    int point14xMf3D_all(const double* r, const double* r0, const double* Q, double* B) const;

protected:
    // Current dipoles by coilFwdModel: 2 CTF Sarvas, 3 Nut Sarvas, 4 Cuffin,
    // 5 Biot-Savart, 6 Grynszpan; 0, 1, 7 and every other code scalar Sarvas.
    int point12Q6Mf3D_All(const double* r, const double* r0, const double* Q, double* B) const;
    // Magnetic sources by coilFwdModel: 1 dipole (tensor form), 2 primary
    // current; 0 and every other code the dipole.
    int point11MQ6Mf3D_all(const double* r, const double* r0, const double* m, double* B) const;

    // Sarvas, scalar form: B = k/F^2 (F (Q x r0) - ((Q x r0) . r) grad F).
    int point12Q6Mf3D_00sam03Fwd(const double* r, const double* r0, const double* Q, double* B) const;
    int point12Q6Mf3D_01sam03kw(const double* r, const double* r0, const double* Q, double* B) const;
    // Sarvas, CTF form: the same field.
    int point12Q6Mf3D_02Sarvas01Ctf(const double* r, const double* r0, const double* Q, double* B) const;
    // Sarvas, Nut form: the field of a unit moment along Q x r0, i.e. of the
    // tangential part of Q scaled to unit size, whatever the size of Q. A
    // moment parallel to r0 (Q x r0 = 0) has no tangential part: B = 0.
    int point12Q6Mf3D_03Sarvas02Nut(const double* r, const double* r0, const double* Q, double* B) const;
    // Cuffin, FieldTrip form: the Sarvas field assembled from leadfield rows.
    int point12Q6Mf3D_04CuffinFieldTrip(const double* r, const double* r0, const double* Q, double* B) const;
    // Biot-Savart field of the dipole alone, in an unbounded medium.
    int point12Q6Mf3D_05BiotSavartCtf(const double* r, const double* r0, const double* Q, double* B) const;
    // Grynszpan, Cartesian entry: 1e-9 times the Sarvas field with k = 1.
    // Fails with B = 0 when the source is at the sphere centre.
    int point12Q6Mf3D_06GrynszpanCtf(const double* r, const double* r0, const double* Q, double* B) const;
    // Magnetic dipole m at r0, and the same field through the dipole tensor.
    int point11MQ6Mf3D_01Magnetic(const double* r, const double* r0, const double* m, double* B) const;
    int point11MQ6Mf3D_02Magnetic(const double* r, const double* r0, const double* m, double* B) const;
    // Primary current: the Biot-Savart field of current element m at r0.
    int point11MQ6Mf3D_03PrimaryCurrent(const double* r, const double* r0, const double* m, double* B) const;

    // Set-up of the Grynszpan form for field point r and source r0, shared by
    // the point and coil members: the formula works in Matlab axes, so with
    // the host's OpenGL frame (coordSystem 0) r and r0 are converted first and
    // toMatlab is set (moments must then be converted too, and fields back).
    // 0 for a source at the sphere centre.
    int grynszpanSetup(const double* r, const double* r0, megfwd::phys::GrynszpanGeom& g, bool& toMatlab) const;
    // The Grynszpan field of moment Q (host axes) for a geometry made by
    // grynszpanSetup, in host axes.
    static void grynszpanHostField(const megfwd::phys::GrynszpanGeom& g, bool toMatlab, const double* Q, double* B);
};
