// Sensor-level axial leadfields: the leadfield of one whole magnetometer or
// axial gradiometer for unit dipoles along x, y, z (three components) or
// along the two tangential directions of a source basis (two components).
//
// CTF model (snsFwdModel 1, the ctf12order functions): each coil integrated
// over its points with the sensor's weights, scaled by its signed nTurns, the
// sum divided by |nTurns| of coil 0, so one coil makes a magnetometer and
// coils of alternating sign make gradiometers. Any other model (std1order):
// each coil at its centre, averaged with the coil weights getMagApha().
#pragma once

#include "forward_engine/CMForward03Snsr01Bpo.h"

class CMForward03Snsr02LfAxl : public CMForward03Snsr01Bpo {
public:
    // Dispatch on snsFwdModel: 1 the CTF function, any other value the
    // standard one (which ignores the order).
    int sns33Q3Lf3D_All(CMEGSensorkw* sensor, double* src, double* origin, int order, double* out3);
    int sns33Q3Lf2D_All(CMEGSensorkw* sensor, double* src, double* origin, int order, R3Q3x3* basis, double* out2);

protected:
    // Leaves each integration point's three coil-level values in b12Pts[k].val.
    int sns33Q3Lf3D_ctf12order(CMEGSensorkw* sensor, double* src, double* origin, int order, double* out3);
    int sns33Q3Lf3D_std1order(CMEGSensorkw* sensor, double* src, double* origin, double* out3);
    // The three-component sum projected on basis.q[0] and basis.q[1]; the
    // source enters as src - origin (basis.r is not read).
    int sns32Q3Lf2D_ctf12order(CMEGSensorkw* sensor, double* src, double* origin, int order, R3Q3x3* basis,
                               double* out2);
    // The source enters through basis.r (relative to the centre of the sphere
    // that built the basis), the coil centres relative to origin.
    int sns32Q3Lf2D_std1order(CMEGSensorkw* sensor, double* src, double* origin, R3Q3x3* basis, double* out2);

    // The coil-level functions of this stage, chosen by isMagSrc and
    // coilFwdModel (the tables of coil26xLf3D_all and coil24xLf2D_all).
    int coilLf3DAxl(double* pt, double* n, double* r0, double* out3);
    int coilLf2DAxl(double* pt, double* n, R3Q3x3* basis, double* out2);

    // The CTF sum L over coils and points (three components), divided by
    // |nTurns| of coil 0; zeros when coil 0 is missing. Runs the preparation.
    int ctfLf3DSum(CMEGSensorkw* sensor, double* src, double* origin, int order, double* L);
};
