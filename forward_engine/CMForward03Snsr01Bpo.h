// Sensor-level field values from the point-source formulas: the component of
// a dipole's field along each coil normal, combined over the sensor's coils
// by the sensor model (CTF: integration points and signed turns; any other
// model: coil centres weighted by the coil weights).
//
// This stage also holds the preparation of a CTF sensor (order check, the
// sensor's integration weights and its coils' integration points on first
// use), which every later sensor-level stage shares.
#pragma once

#include "forward_engine/CMForward02Coil08QornSph.h"

class CMForward03Snsr01Bpo : public CMForward02Coil08QornSph {
public:
    // Field value of the dipole fld (pos, mom) in the sensor: snsFwdModel 1
    // uses the CTF model, every other value the standard model (which takes
    // no order). origin (may be null) is subtracted from every position; the
    // dewar scans pass the centre of the sensor's local sphere. 0.0 on
    // failure, which a caller cannot tell from a true zero.
    double sns31Q6B1_AllPasSphere(CMEGSensorkw* sensor, MAGFIELD* fld, double* origin, int order);

protected:
    // CTF model: every existing coil integrated over its points with the
    // sensor's weights, scaled by its signed nTurns, the sum divided by
    // |nTurns| of coil 0 (undivided when that is 0). Leaves each point's field
    // vector in b12Pts[k].val. A sensor whose coil 0 is missing gives 0.0.
    double sns31Q6B1_psCtf(CMEGSensorkw* sensor, MAGFIELD* fld, double* origin, int order);
    // Standard model: coil normal . B at each existing coil centre, averaged
    // with the coil weights (undivided when the weights sum to 0).
    double sns31Q6B1_psStd(CMEGSensorkw* sensor, MAGFIELD* fld, double* origin);

    // Preparation of a CTF sensor: order -1 becomes orderCoilIntg; an order
    // outside 1..5, 7 shows "The order for sensor coil integration in forward
    // computer is out of range!" and fails; the order is stored into
    // orderCoilIntg (and handed back in `order`); the sensor's weights and
    // each existing coil's points are made when their flags are clear.
    int prepSnsCoilIntegration(CMEGSensorkw* sensor, int& order);

    // Number of integration points of a prepared sensor, limited to the 12
    // slots a coil holds (a sensor copied from elsewhere may carry a bad count).
    static int numIntgPts(const CMEGSensorkw* sensor);

    // p - origin into out (p itself when origin is null).
    static void relPos3(const double* p, const double* origin, double* out) {
        for (int i = 0; i < 3; ++i) out[i] = origin ? p[i] - origin[i] : p[i];
    }
    static double dot3v(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

    // The point formula of this family, chosen by isMagSrc and coilFwdModel
    // (the table of point14xMf3D_all): field B at r of the source (r0, Q).
    int pointBpo(double* r, double* r0, double* Q, double* B);
};
