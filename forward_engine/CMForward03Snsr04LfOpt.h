// Sensor-level field values from the coil-level leadfields: the same value as
// the point-formula family of CMForward03Snsr01Bpo, obtained from each coil's
// (or integration point's) leadfield values instead of from the field vector.
//
// Reduction of the leadfield values to one number per coil or point: each
// value is weighted by the moment's component along its own direction, so the
// sum is the field that the dipole fld (pos, mom) produces along the coil
// normal, the Bpo family's result for the same dipole.
//   three components: sum_j value_j * mom_j (unit dipoles along x, y, z);
//   two components:   sum_j value_j * c_j, c_j the coefficient of the moment
//                     along q[j]: (mom . q[j]) / |q[j]|^2, or, for the Nut
//                     member that normalises q[j] before use,
//                     (mom . q[j]) / |q[j]|. For unit directions both are
//                     mom . q[j]. Only the moment's part in the plane of
//                     q[0], q[1] enters (for orthogonal directions); in a
//                     sphere model a radial moment has no field anyway.
// The coil-level functions here depend on coilFwdModel alone, not on
// isMagSrc. The CTF functions do not store per-point values into the coils.
#pragma once

#include "forward_engine/CMForward03Snsr02LfAxl.h"

class CMForward03Snsr04LfOpt : public CMForward03Snsr02LfAxl {
protected:
    // Two components along basis.q[0], basis.q[1]; both first set
    // basis.r = fld.pos - origin (fld.pos when origin is null).
    double sns34Q6B1xz_ctf(CMEGSensorkw* sensor, MAGFIELD* fld, int order, double* origin, R3Q3x3* basis);
    double sns34Q6B1xz_std(CMEGSensorkw* sensor, MAGFIELD* fld, double* origin, R3Q3x3* basis);
    // Three components along x, y, z with the source at fld.pos - origin.
    double sns36Q6B1xyz_ctf(CMEGSensorkw* sensor, MAGFIELD* fld, int order, double* origin);
    double sns36Q6B1xyz_std(CMEGSensorkw* sensor, MAGFIELD* fld, double* origin);

    // The coil-level functions of this family, by coilFwdModel alone.
    int coilLf3DOpt(double* pt, double* n, double* r0, double* out3);
    int coilLf2DOpt(double* pt, double* n, R3Q3x3* basis, double* out2);
    // Coefficients of the moment along basis.q[0], basis.q[1] (see above).
    void momCoef2D(const double* mom, const R3Q3x3* basis, double* c2);
};
