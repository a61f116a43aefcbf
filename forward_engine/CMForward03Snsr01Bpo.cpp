#include "forward_engine/CMForward03Snsr01Bpo.h"

#include <cmath>

int CMForward03Snsr01Bpo::prepSnsCoilIntegration(CMEGSensorkw* sensor, int& order) {
    if (!sensor) return 0;
    // Resolves -1, checks the order (with its message) and stores it.
    if (!setOrder4SnsCoilIntegration(order)) return 0;
    if (!sensor->isW12Set && !setSnsWt12Pts(sensor, order)) return 0;
    const int nCoils = sensor->getTotalCoils();
    for (int i = 0; i < nCoils; ++i) {
        CBscMagSnskw* coil = sensor->getCoil(i);
        if (coil && !coil->isB12Set && !setCoilB12Pts(coil, order)) return 0;
    }
    return 1;
}

int CMForward03Snsr01Bpo::numIntgPts(const CMEGSensorkw* sensor) {
    int n = sensor->numW12Pts;
    if (n < 0) n = 0;
    if (n > 12) n = 12;
    return n;
}

int CMForward03Snsr01Bpo::pointBpo(double* r, double* r0, double* Q, double* B) {
    return point14xMf3D_all(r, r0, Q, B);
}

double CMForward03Snsr01Bpo::sns31Q6B1_AllPasSphere(CMEGSensorkw* sensor, MAGFIELD* fld, double* origin, int order) {
    if (snsFwdModel == 1) return sns31Q6B1_psCtf(sensor, fld, origin, order);
    return sns31Q6B1_psStd(sensor, fld, origin);
}

double CMForward03Snsr01Bpo::sns31Q6B1_psCtf(CMEGSensorkw* sensor, MAGFIELD* fld, double* origin, int order) {
    if (!sensor || !fld) return 0.0;
    if (!prepSnsCoilIntegration(sensor, order)) return 0.0;
    const int nCoils = sensor->getTotalCoils();
    if (nCoils < 1) return 0.0;
    CBscMagSnskw* first = sensor->getCoil(0);
    if (!first) return 0.0;  // without coil 0 there is no scale: the sensor reads 0

    double s[3];
    relPos3(fld->pos, origin, s);
    const int nPts = numIntgPts(sensor);
    double v = 0.0;
    for (int i = 0; i < nCoils; ++i) {
        CBscMagSnskw* coil = sensor->getCoil(i);
        if (!coil) continue;
        double sum = 0.0;
        for (int k = 0; k < nPts; ++k) {
            double p[3], b[3];
            relPos3(coil->b12Pts[k].pos, origin, p);
            if (!pointBpo(p, s, fld->mom, b)) return 0.0;
            coil->b12Pts[k].val[0] = b[0];
            coil->b12Pts[k].val[1] = b[1];
            coil->b12Pts[k].val[2] = b[2];
            sum += sensor->w12Wt[k] * dot3v(coil->coilNormal, b);
        }
        v += coil->nTurns * sum;
    }
    const double scale = std::abs(static_cast<double>(first->nTurns));
    return scale != 0.0 ? v / scale : v;
}

double CMForward03Snsr01Bpo::sns31Q6B1_psStd(CMEGSensorkw* sensor, MAGFIELD* fld, double* origin) {
    if (!sensor || !fld) return 0.0;
    const int nCoils = sensor->getTotalCoils();
    if (nCoils < 1) return 0.0;
    double s[3];
    relPos3(fld->pos, origin, s);
    double v = 0.0, sumWt = 0.0;
    for (int i = 0; i < nCoils; ++i) {
        CBscMagSnskw* coil = sensor->getCoil(i);
        if (!coil) continue;
        double p[3], b[3];
        relPos3(coil->coilPos, origin, p);
        if (!pointBpo(p, s, fld->mom, b)) return 0.0;
        const double a = coil->getMagApha();
        sumWt += a;
        v += a * dot3v(coil->coilNormal, b);
    }
    return sumWt != 0.0 ? v / sumWt : v;
}
