#include "forward_fast/FlatPostProcess.h"

#include <cmath>

#include "host_interfaces/Afx.h"
#include "host_interfaces/VectorOps.h"

int CFlatPostProcess::read(const CMDataForwardkw& data) {
    delete[] pSign;
    pSign = nullptr;
    numNegative = 0;
    numSns = static_cast<int>(data.numSns);
    numLf = static_cast<int>(data.numLf);
    isRestoreAxes = data.isRestoreCoord ? 1 : 0;
    isApplySigns = data.isApplySnsGain ? 1 : 0;
    isUnitLf = data.isUnitLf ? 1 : 0;
    if (numSns < 1) return isApplySigns ? 0 : 1;
    pSign = megfwd::newArray<double>(numSns);
    if (!pSign) return 0;
    for (int k = 0; k < numSns; ++k) pSign[k] = 1.0;
    if (!isApplySigns) return 1;
    if (data.numSrc < 1 || !data.pVoxSnsLfx || !data.pFwdChnl) return 0;
    const CFISrcSnsLf& first = data.pVoxSnsLfx[0];
    for (int k = 0; k < numSns; ++k) {
        if (!first.pSnsLf || k >= first.numSns) continue;  // no identity: left alone, as the manager does
        const CMEGSensorkw* s = data.pFwdChnl->getMEGSns4ChnlID(first.pSnsLf[k].chnlID);
        if (s && !(s->getSensorGain() > 0.0)) pSign[k] = -1.0, ++numNegative;
    }
    return 1;
}

void CFlatPostProcess::applyLocal(double* values, std::int64_t count, const std::int32_t* coordModes) const {
    const std::int64_t per = static_cast<std::int64_t>(numSns) * numLf;
    for (std::int64_t i = 0; i < count; ++i) {
        double* v = values + i * per;
        if (isRestoreAxes && coordModes && coordModes[i] == 1 && (numLf == 2 || numLf == 3))
            for (int k = 0; k < numSns; ++k) {
                if (numLf == 2)
                    CVector02Mas::swap2D(v + k * numLf);
                else
                    CVector02Mas::xyzIMatlab2OpenGL(v + k * numLf);
            }
        if (isApplySigns && pSign && numNegative > 0)
            for (int k = 0; k < numSns; ++k)
                if (pSign[k] < 0.0)
                    for (int j = 0; j < numLf; ++j) v[k * numLf + j] *= -1.0;
    }
}

namespace megfwd::fast {

double maxAbs(const double* values, std::int64_t n, double m) {
    for (std::int64_t i = 0; i < n; ++i)
        if (std::fabs(values[i]) > m) m = std::fabs(values[i]);
    return m;
}

void divideAll(double* values, std::int64_t n, double s) {
    for (std::int64_t i = 0; i < n; ++i) values[i] /= s;
}

int checkUnitRange(double m) {
    if (m > 0.0) return 1;
    AfxMessageBox("The range of leadfield is zero!", MB_OK, 0);
    return 0;
}

void RmsAccumulator::add(const double* values, std::int64_t count) { add(values, count, numSns * numLf, numLf); }

void RmsAccumulator::add(const double* values, std::int64_t count, std::int64_t sourceStride,
                         std::int64_t sensorStride) {
    const double perSource = static_cast<double>(numSns) * static_cast<double>(numLf);
    for (std::int64_t i = 0; i < count; ++i) {
        double sum = 0.0;
        const double* v = values + i * sourceStride;
        for (std::int64_t j = 0; j < numSns; ++j)
            for (std::int64_t c = 0; c < numLf; ++c) sum += v[j * sensorStride + c] * v[j * sensorStride + c];
        meanSq += sum / perSource;
    }
    numSrc += count;
}

int RmsAccumulator::scale(double& r) const {
    r = numSrc > 0 ? std::sqrt(meanSq / static_cast<double>(numSrc)) : 0.0;
    if (r > 0.0) return 1;
    AfxMessageBox("RMS value in leadfields is smaller than zero!?", MB_OK, 0);
    return 0;
}

}  // namespace megfwd::fast
