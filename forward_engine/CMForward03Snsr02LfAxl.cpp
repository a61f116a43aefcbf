#include "forward_engine/CMForward03Snsr02LfAxl.h"

#include <cmath>

int CMForward03Snsr02LfAxl::coilLf3DAxl(double* pt, double* n, double* r0, double* out3) {
    return coil26xLf3D_all(pt, n, r0, out3);
}

int CMForward03Snsr02LfAxl::coilLf2DAxl(double* pt, double* n, R3Q3x3* basis, double* out2) {
    return coil24xLf2D_all(pt, n, basis, out2);
}

int CMForward03Snsr02LfAxl::sns33Q3Lf3D_All(CMEGSensorkw* sensor, double* src, double* origin, int order,
                                            double* out3) {
    if (snsFwdModel == 1) return sns33Q3Lf3D_ctf12order(sensor, src, origin, order, out3);
    return sns33Q3Lf3D_std1order(sensor, src, origin, out3);
}

int CMForward03Snsr02LfAxl::sns33Q3Lf2D_All(CMEGSensorkw* sensor, double* src, double* origin, int order,
                                            R3Q3x3* basis, double* out2) {
    if (snsFwdModel == 1) return sns32Q3Lf2D_ctf12order(sensor, src, origin, order, basis, out2);
    return sns32Q3Lf2D_std1order(sensor, src, origin, basis, out2);
}

int CMForward03Snsr02LfAxl::ctfLf3DSum(CMEGSensorkw* sensor, double* src, double* origin, int order, double* L) {
    if (!prepSnsCoilIntegration(sensor, order)) return 0;
    double s[3];
    relPos3(src, origin, s);
    L[0] = L[1] = L[2] = 0.0;
    const int nCoils = sensor->getTotalCoils();
    const int nPts = numIntgPts(sensor);
    for (int i = 0; i < nCoils; ++i) {
        CBscMagSnskw* coil = sensor->getCoil(i);
        if (!coil) continue;
        double S[3] = {0.0, 0.0, 0.0};
        for (int k = 0; k < nPts; ++k) {
            double p[3], v[3];
            relPos3(coil->b12Pts[k].pos, origin, p);
            if (!coilLf3DAxl(p, coil->coilNormal, s, v)) return 0;
            const double w = sensor->w12Wt[k];
            for (int j = 0; j < 3; ++j) {
                coil->b12Pts[k].val[j] = v[j];
                S[j] += w * v[j];
            }
        }
        for (int j = 0; j < 3; ++j) L[j] += coil->nTurns * S[j];
    }
    CBscMagSnskw* first = nCoils > 0 ? sensor->getCoil(0) : nullptr;
    if (!first) {
        L[0] = L[1] = L[2] = 0.0;
        return 1;
    }
    const double scale = std::abs(static_cast<double>(first->nTurns));
    if (scale != 0.0)
        for (int j = 0; j < 3; ++j) L[j] /= scale;
    return 1;
}

int CMForward03Snsr02LfAxl::sns33Q3Lf3D_ctf12order(CMEGSensorkw* sensor, double* src, double* origin, int order,
                                                   double* out3) {
    if (!sensor || !src || !out3) return 0;
    double L[3];
    if (!ctfLf3DSum(sensor, src, origin, order, L)) return 0;
    out3[0] = L[0];
    out3[1] = L[1];
    out3[2] = L[2];
    return 1;
}

int CMForward03Snsr02LfAxl::sns32Q3Lf2D_ctf12order(CMEGSensorkw* sensor, double* src, double* origin, int order,
                                                   R3Q3x3* basis, double* out2) {
    if (!sensor || !src || !basis || !out2) return 0;
    double L[3];
    if (!ctfLf3DSum(sensor, src, origin, order, L)) return 0;
    out2[0] = dot3v(L, basis->q[0]);
    out2[1] = dot3v(L, basis->q[1]);
    return 1;
}

int CMForward03Snsr02LfAxl::sns33Q3Lf3D_std1order(CMEGSensorkw* sensor, double* src, double* origin, double* out3) {
    if (!sensor || !src || !out3) return 0;
    double s[3];
    relPos3(src, origin, s);
    double L[3] = {0.0, 0.0, 0.0};
    double sumWt = 0.0;
    const int nCoils = sensor->getTotalCoils();
    for (int i = 0; i < nCoils; ++i) {
        CBscMagSnskw* coil = sensor->getCoil(i);
        if (!coil) continue;
        double p[3], v[3];
        relPos3(coil->coilPos, origin, p);
        if (!coilLf3DAxl(p, coil->coilNormal, s, v)) return 0;
        const double a = coil->getMagApha();
        sumWt += a;
        for (int j = 0; j < 3; ++j) L[j] += a * v[j];
    }
    for (int j = 0; j < 3; ++j) out3[j] = sumWt != 0.0 ? L[j] / sumWt : L[j];
    return 1;
}

// The source is taken from basis.r, relative to the centre of the sphere that
// built the basis, while the coils are taken relative to origin. Both frames
// are the same in every prepared scan: preparation gives the sensors their own
// local spheres only together with three-component leadfields, so a
// two-component scan always has origin equal to the scan sphere's centre and
// the source need not be re-expressed relative to origin here.
int CMForward03Snsr02LfAxl::sns32Q3Lf2D_std1order(CMEGSensorkw* sensor, double* src, double* origin, R3Q3x3* basis,
                                                  double* out2) {
    if (!sensor || !src || !basis || !out2) return 0;
    double L[2] = {0.0, 0.0};
    double sumWt = 0.0;
    const int nCoils = sensor->getTotalCoils();
    for (int i = 0; i < nCoils; ++i) {
        CBscMagSnskw* coil = sensor->getCoil(i);
        if (!coil) continue;
        double p[3], w[2];
        relPos3(coil->coilPos, origin, p);
        if (!coilLf2DAxl(p, coil->coilNormal, basis, w)) return 0;
        const double a = coil->getMagApha();
        sumWt += a;
        L[0] += a * w[0];
        L[1] += a * w[1];
    }
    for (int j = 0; j < 2; ++j) out2[j] = sumWt != 0.0 ? L[j] / sumWt : L[j];
    return 1;
}
