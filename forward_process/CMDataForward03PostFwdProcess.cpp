#include "forward_process/CMDataForward03PostFwdProcess.h"

#include <cmath>

#include "forward_process/SensorGeometry.h"
#include "host_interfaces/Afx.h"
#include "host_interfaces/VectorOps.h"

using megfwd::geom::Axes;
using megfwd::geom::UnitChange;

int CMDataForward03PostFwdProcess::postScanLfProcess() {
    if (isRestoreCoord && !_28changeCoord4SrcSnsSphere_openGL()) return 0;
    if (isRestoreUnit && !_28changeSpatUnit4SrcSnsSphere_MilliMeter()) return 0;
    if (isApplySnsGain && !_21ApplySnsGain(0)) return 0;
    if (isUnitLf && !_22unitVoxSnsLf(0)) return 0;
    return 1;
}

int CMDataForward03PostFwdProcess::_21ApplySnsGain(int force) {
    if (!force && !isApplySnsGain) return 0;
    if (numSrc < 1 || !pVoxSnsLfx || numSns < 1 || !pFwdChnl) return 0;
    const CFISrcSnsLf& first = pVoxSnsLfx[0];
    for (std::int64_t k = 0; k < numSns; ++k) {
        if (!first.pSnsLf || k >= first.numSns) continue;  // no identity: entry unknown
        const CMEGSensorkw* sns = pFwdChnl->getMEGSns4ChnlID(first.pSnsLf[k].chnlID);
        if (!sns) continue;  // a missing sensor is not queried
        if (sns->getSensorGain() > 0.0) continue;  // only the sign is applied
        for (std::int64_t i = 0; i < numSrc; ++i) {
            CFISrcSnsLf& src = pVoxSnsLfx[i];
            if (!src.pSnsLf || k >= src.numSns) continue;
            CFISnsLf& rec = src.pSnsLf[k];
            if (!rec.pLf || rec.numLf < 1) continue;
            for (std::int64_t j = 0; j < rec.numLf; ++j) rec.pLf[j] *= -1.0;
        }
    }
    return 1;
}

int CMDataForward03PostFwdProcess::_22unitVoxSnsLf(int force) {
    if (!force && !isUnitLf) return 0;
    if (numSrc < 1 || !pVoxSnsLfx) return 0;
    // Walks each record's own sensor and value counts.
    auto forEachValue = [this](auto&& fn) {
        for (std::int64_t i = 0; i < numSrc; ++i) {
            CFISrcSnsLf& src = pVoxSnsLfx[i];
            if (!src.pSnsLf) continue;
            for (std::int64_t k = 0; k < src.numSns; ++k) {
                CFISnsLf& rec = src.pSnsLf[k];
                if (!rec.pLf) continue;
                for (std::int64_t j = 0; j < rec.numLf; ++j) fn(rec.pLf[j]);
            }
        }
    };
    double m = 0.0;
    forEachValue([&m](double& v) {
        if (std::fabs(v) > m) m = std::fabs(v);
    });
    if (!(m > 0.0)) {
        AfxMessageBox("The range of leadfield is zero!", MB_OK, 0);
        return 0;
    }
    forEachValue([m](double& v) { v /= m; });
    return 1;
}

int CMDataForward03PostFwdProcess::_26stencilLf2dewar() {
    if (!pVoxSnsLfx || !pFwdPos || !megfwd::geom::hasEntries(pFwdChnl)) return 0;
    if (!pFwdChnl->updateDewarCnt()) return 0;
    if (numSrc < 1) return 1;
    const double* cen = pFwdChnl->dewarSphere.center;
    for (std::int64_t i = 0; i < numSrc; ++i) {
        CFISrcSnsLf& src = pVoxSnsLfx[i];
        const CBscMagSnskw* coil = pFwdChnl->findNearestCoil4Src(&src.srcField);
        if (!coil) {
            src.isVoxIn = 0;
            continue;
        }
        double q[3];
        coil->getCoilPositionD(q[0], q[1], q[2]);
        if (!(megfwd::geom::distance(src.srcField.pos, cen) + minCoilSrcDist > megfwd::geom::distance(q, cen))) continue;
        if (!src.pSnsLf) continue;  // also a negative count: nothing to walk
        for (std::int64_t k = 0; k < src.numSns; ++k) {
            CFISnsLf& rec = src.pSnsLf[k];
            if (!rec.pLf) continue;
            for (std::int64_t j = 0; j < rec.numLf; ++j) rec.pLf[j] = 0.0;
        }
    }
    return 1;
}

int CMDataForward03PostFwdProcess::_28changeSpatUnit4SrcSnsSphere_MilliMeter() {
    if (!pFwdChnl || !pVoxSnsLfx || !pFwdPos) return 0;
    // Nothing in unit mode 2 means nothing to divide: the factor does not
    // matter then, and refusing it would stop postScanLfProcess before the
    // sensor gains and the unit leadfield.
    if (anyInUnitMode(2) && !isUsableUnit(spatUnit)) return 0;
    return convertUnitMode(2, 0, UnitChange{spatUnit, true});
}

int CMDataForward03PostFwdProcess::_28changeCoord4SrcSnsSphere_openGL() {
    if (!pFwdChnl || !pVoxSnsLfx || !pFwdPos) return 0;
    for (std::int64_t i = 0; i < numSrc; ++i) {
        CFISrcSnsLf& src = pVoxSnsLfx[i];
        if (src.coordMode != 1) continue;
        megfwd::geom::changeAxes(src.srcField.pos, Axes::toHost);
        // Values for unit dipoles along the Matlab axes: the two tangential
        // components change places, the three axis responses rotate back.
        if ((src.numLf == 2 || src.numLf == 3) && src.pSnsLf) {
            for (std::int64_t k = 0; k < src.numSns; ++k) {
                CFISnsLf& rec = src.pSnsLf[k];
                if (!rec.pLf || rec.numLf < src.numLf) continue;
                if (src.numLf == 2)
                    CVector02Mas::swap2D(rec.pLf);
                else
                    megfwd::geom::changeAxes(rec.pLf, Axes::toHost);
            }
        }
        src.coordMode = 0;
    }
    if (pFwdChnl->coordMode == 1) {
        if (!megfwd::geom::hasEntries(pFwdChnl)) return 0;
        megfwd::geom::forEachSensor(*pFwdChnl, [](CMEGSensorkw& s) { megfwd::geom::changeAxes(s, Axes::toHost); });
        pFwdChnl->coordMode = 0;
    }
    if (singleSphere.coordMode == 1) {
        megfwd::geom::changeAxes(singleSphere, Axes::toHost);
        singleSphere.coordMode = 0;
    }
    return 1;
}
