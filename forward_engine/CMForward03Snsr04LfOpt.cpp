#include "forward_engine/CMForward03Snsr04LfOpt.h"

#include <cmath>

int CMForward03Snsr04LfOpt::coilLf3DOpt(double* pt, double* n, double* r0, double* out3) {
    return coil23Q3LfXYZaxial_all(pt, n, r0, out3);
}

int CMForward03Snsr04LfOpt::coilLf2DOpt(double* pt, double* n, R3Q3x3* basis, double* out2) {
    return coil22Q3LfXZaxial_all(pt, n, basis, out2);
}

void CMForward03Snsr04LfOpt::momCoef2D(const double* mom, const R3Q3x3* basis, double* c2) {
    const bool unitDirections = coilFwdModel == 3;  // the Nut member normalises q[j] itself
    for (int j = 0; j < 2; ++j) {
        const double qq = dot3v(basis->q[j], basis->q[j]);
        if (qq == 0.0) {
            c2[j] = 0.0;
            continue;
        }
        const double mq = dot3v(mom, basis->q[j]);
        c2[j] = unitDirections ? mq / std::sqrt(qq) : mq / qq;
    }
}

double CMForward03Snsr04LfOpt::sns34Q6B1xz_ctf(CMEGSensorkw* sensor, MAGFIELD* fld, int order, double* origin,
                                              R3Q3x3* basis) {
    if (!sensor || !fld || !basis) return 0.0;
    if (!prepSnsCoilIntegration(sensor, order)) return 0.0;
    relPos3(fld->pos, origin, basis->r);
    const int nCoils = sensor->getTotalCoils();
    CBscMagSnskw* first = nCoils > 0 ? sensor->getCoil(0) : nullptr;
    if (!first) return 0.0;
    double c[2];
    momCoef2D(fld->mom, basis, c);
    const int nPts = numIntgPts(sensor);
    double v = 0.0;
    for (int i = 0; i < nCoils; ++i) {
        CBscMagSnskw* coil = sensor->getCoil(i);
        if (!coil) continue;
        double sum = 0.0;
        for (int k = 0; k < nPts; ++k) {
            double p[3], w[2];
            relPos3(coil->b12Pts[k].pos, origin, p);
            if (!coilLf2DOpt(p, coil->coilNormal, basis, w)) return 0.0;
            sum += sensor->w12Wt[k] * (w[0] * c[0] + w[1] * c[1]);
        }
        v += coil->nTurns * sum;
    }
    const double scale = std::abs(static_cast<double>(first->nTurns));
    return scale != 0.0 ? v / scale : v;
}

double CMForward03Snsr04LfOpt::sns34Q6B1xz_std(CMEGSensorkw* sensor, MAGFIELD* fld, double* origin, R3Q3x3* basis) {
    if (!sensor || !fld || !basis) return 0.0;
    relPos3(fld->pos, origin, basis->r);
    double c[2];
    momCoef2D(fld->mom, basis, c);
    double v = 0.0, sumWt = 0.0;
    const int nCoils = sensor->getTotalCoils();
    for (int i = 0; i < nCoils; ++i) {
        CBscMagSnskw* coil = sensor->getCoil(i);
        if (!coil) continue;
        double p[3], w[2];
        relPos3(coil->coilPos, origin, p);
        if (!coilLf2DOpt(p, coil->coilNormal, basis, w)) return 0.0;
        const double a = coil->getMagApha();
        sumWt += a;
        v += a * (w[0] * c[0] + w[1] * c[1]);
    }
    return sumWt != 0.0 ? v / sumWt : v;
}

double CMForward03Snsr04LfOpt::sns36Q6B1xyz_ctf(CMEGSensorkw* sensor, MAGFIELD* fld, int order, double* origin) {
    if (!sensor || !fld) return 0.0;
    if (!prepSnsCoilIntegration(sensor, order)) return 0.0;
    const int nCoils = sensor->getTotalCoils();
    CBscMagSnskw* first = nCoils > 0 ? sensor->getCoil(0) : nullptr;
    if (!first) return 0.0;
    double s[3];
    relPos3(fld->pos, origin, s);
    const int nPts = numIntgPts(sensor);
    double v = 0.0;
    for (int i = 0; i < nCoils; ++i) {
        CBscMagSnskw* coil = sensor->getCoil(i);
        if (!coil) continue;
        double sum = 0.0;
        for (int k = 0; k < nPts; ++k) {
            double p[3], w[3];
            relPos3(coil->b12Pts[k].pos, origin, p);
            if (!coilLf3DOpt(p, coil->coilNormal, s, w)) return 0.0;
            sum += sensor->w12Wt[k] * dot3v(w, fld->mom);
        }
        v += coil->nTurns * sum;
    }
    const double scale = std::abs(static_cast<double>(first->nTurns));
    return scale != 0.0 ? v / scale : v;
}

double CMForward03Snsr04LfOpt::sns36Q6B1xyz_std(CMEGSensorkw* sensor, MAGFIELD* fld, double* origin) {
    if (!sensor || !fld) return 0.0;
    double s[3];
    relPos3(fld->pos, origin, s);
    double v = 0.0, sumWt = 0.0;
    const int nCoils = sensor->getTotalCoils();
    for (int i = 0; i < nCoils; ++i) {
        CBscMagSnskw* coil = sensor->getCoil(i);
        if (!coil) continue;
        double p[3], w[3];
        relPos3(coil->coilPos, origin, p);
        if (!coilLf3DOpt(p, coil->coilNormal, s, w)) return 0.0;
        const double a = coil->getMagApha();
        sumWt += a;
        v += a * dot3v(w, fld->mom);
    }
    return sumWt != 0.0 ? v / sumWt : v;
}
