#include "forward_process/CMDataForward02PreFwdProcess.h"

#include <cmath>

#include "forward_process/SensorGeometry.h"
#include "head_model/LocalSpheres.h"
#include "host_interfaces/Afx.h"

using megfwd::geom::Axes;
using megfwd::geom::UnitChange;

namespace {

// Copies centre and radius of a sphere into a sensor's local sphere.
void setLocalSphere(CMEGSensorkw& s, const CSpherekw& sph) {
    for (int a = 0; a < 3; ++a) s.localSphere[a] = sph.center[a];
    s.localSphere[3] = sph.radius;
}

void copyModes(CSpherekw& sph, const CForwardChnlkw& set) {
    sph.coordMode = set.coordMode;
    sph.unitMode = set.unitMode;
}

// Voxel index along one axis: truncation toward zero, then limited to the
// volume (below 0 becomes 0, beyond the last voxel the last). -1 when the
// index is not a number (a voxel size of 0 with the position at the origin).
std::int64_t voxIndex(double pos, double origin, double size, std::int64_t count) {
    const double d = (pos - origin) / size;
    if (std::isnan(d)) return -1;
    if (d < 1.0) return 0;  // truncation of anything below 1 gives 0 or less
    if (d >= static_cast<double>(count)) return count - 1;
    const std::int64_t i = static_cast<std::int64_t>(d);
    return i < count ? i : count - 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// The whole preparation

int CMDataForward02PreFwdProcess::prepare4VoxSnsLfdScan(int numLfReq) {
    return prepareInHostFrame(numLfReq) && changeToScanFrame() ? 1 : 0;
}

int CMDataForward02PreFwdProcess::prepareInHostFrame(int numLfReq) {
    if (!pFwdPos || !pFwdChnl) return 0;
    std::int64_t n = numLfReq < 1 ? 1 : (numLfReq > 3 ? 3 : numLfReq);

    switch (sphereModel) {
        case 1:  // Single: the user's sphere for every sensor
            _01setUserSphere2SingleSphere();
            if (!_04setSingleSphere2LocalSpheres()) return 0;
            break;
        case 2:  // Multiple: one sphere per sensor, the scan sphere their mean
            if (!(pLocalSpheres ? _04setTable2LocalSpheres() : _04setDewarSphCndBnd2LocalSphere(1))) return 0;
            getMeanSphere4SnsLocalSpheres(&meanLocSphere, &locSphBox);
            singleSphere = meanLocSphere;
            copyModes(singleSphere, *pFwdChnl);
            n = 3;
            isTangLfd = 0;
            break;
        case 3:  // Boundary element: one sphere per sensor, the user's sphere for the scan
            if (!_04setDewarSphCndBnd2LocalSphere(1)) return 0;
            _01setUserSphere2SingleSphere();
            n = 3;
            isTangLfd = 0;
            break;
        default:  // 0 Default, 4 Finite element and any other code: the dewar sphere
            _01setDewarCnt2SingleSphere(true);
            if (!_04setSingleSphere2LocalSpheres()) return 0;
            break;
    }
    singleSphere.traceValue();

    if (!initVoxSnsLfx(-1, -1, n)) return 0;
    if (!_02setSrcPosSnsID2VoxSnsLf()) return 0;
    // The stencils see host positions in host axes and units; the centre
    // shift comes before the axis change, the unit change last.
    if (isSpatConstrained) {
        const int ok = (pAnaVlm && isAnaScan) ? _06stencilSrc2AnaVlm(pAnaVlm) : _06stencilSrc2dewar();
        if (!ok) return 0;
        if (!_06wrapCntSrcZero()) return 0;
    }
    return 1;
}

int CMDataForward02PreFwdProcess::changeToScanFrame() {
    if (isCentralizedLf && !_07shiftGlobCnt4SrcSnsSphere()) return 0;
    if (coordSystem == 1 && !_08changeCoord4SrcSnsSphere_matlab()) return 0;
    if (isUnit2Meter && !_08changeSpatUnit4SrcSnsSphere_Meter()) return 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Scan sphere

int CMDataForward02PreFwdProcess::_01setDewarCnt2SingleSphere(bool update) {
    if (!pFwdChnl) return 0;
    if (update) pFwdChnl->updateDewarCnt();
    singleSphere = pFwdChnl->dewarSphere;
    copyModes(singleSphere, *pFwdChnl);
    return 1;
}

int CMDataForward02PreFwdProcess::_01setMeanLocSph2SingleSphere(bool update) {
    if (!pFwdChnl) return 0;
    if (update) getMeanSphere4SnsLocalSpheres(&meanLocSphere, &locSphBox);
    singleSphere = meanLocSphere;
    copyModes(singleSphere, *pFwdChnl);
    return 1;
}

int CMDataForward02PreFwdProcess::_01setUserSphere2SingleSphere() {
    singleSphere = userSphere;
    singleSphere.coordMode = 0;
    singleSphere.unitMode = 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Records

int CMDataForward02PreFwdProcess::_02setSrcPosSnsID2VoxSnsLf() {
    if (!pFwdPos || !pFwdChnl || !pVoxSnsLfx) return 0;
    if (numSrc < 1) return 1;
    if (!pFwdPos->ppPos || pFwdPos->numPos < numSrc) return 0;
    for (std::int64_t i = 0; i < numSrc; ++i) {
        CFISrcSnsLf& src = pVoxSnsLfx[i];
        const double* p = pFwdPos->ppPos[i];
        for (int a = 0; a < 3; ++a) src.srcField.pos[a] = p ? p[a] : 0.0;
        src.srcField.posDim = 3;
        src.isVoxIn = 1;
        src.coordMode = 0;
        src.unitMode = 0;
        if (!src.pSnsLf || !pFwdChnl->pSnsCoils) continue;

        std::int64_t k = 0;
        for (std::int64_t e = 0; e < pFwdChnl->numChnl && k < src.numSns; ++e) {
            const CForwardC0SnsCoilskw& entry = pFwdChnl->pSnsCoils[e];
            if (!entry.isMEGMeasureSns()) continue;
            CFISnsLf& sns = src.pSnsLf[k];
            sns.chnlID = entry.chnlID;
            sns.snsID = k;
            if (sns.pLf) {
                const std::int64_t nLf = numLf < sns.numLf ? numLf : sns.numLf;
                for (std::int64_t j = 0; j < nLf; ++j) sns.pLf[j] = 0.0;
            }
            ++k;
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Local spheres

int CMDataForward02PreFwdProcess::_04setSingleSphere2LocalSpheres() {
    if (!megfwd::geom::hasEntries(pFwdChnl)) return 0;
    int count = 0;
    megfwd::geom::forEachSensor(*pFwdChnl, [&](CMEGSensorkw& s) {
        setLocalSphere(s, singleSphere);
        ++count;
    });
    return count;
}

int CMDataForward02PreFwdProcess::_04setDewarSphCndBnd2LocalSphere(int update) {
    if (!megfwd::geom::hasEntries(pFwdChnl)) return 0;
    double cen[3] = {singleSphere.center[0], singleSphere.center[1], singleSphere.center[2]};
    if (update) {
        pFwdChnl->updateDewarCnt();
        for (int a = 0; a < 3; ++a) cen[a] = pFwdChnl->dewarSphere.center[a];
    }
    int count = 0;
    for (std::int64_t e = 0; e < pFwdChnl->numChnl; ++e) {
        CMEGSensorkw* s = pFwdChnl->pSnsCoils[e].pMEGSns;
        if (!s) continue;
        const CBscMagSnskw* coil = s->getCoil(0);
        if (!coil) continue;
        double p[3];
        coil->getCoilPositionD(p[0], p[1], p[2]);
        const double v[3] = {cen[0] - p[0], cen[1] - p[1], cen[2] - p[2]};
        const double d2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
        if (d2 < 1e-100) {
            // Sensors set so far keep their new spheres.
            AfxMessageBox("Distance between coil and sphere center almost zero", MB_OK, 0);
            return 0;
        }
        const double d = std::sqrt(d2);
        for (int a = 0; a < 3; ++a) s->localSphere[a] = p[a] + v[a] / d * minCoilSphDist;
        s->localSphere[3] = d;
        ++count;
    }
    return count;
}

int CMDataForward02PreFwdProcess::_04setTable2LocalSpheres() {
    if (!pLocalSpheres || !megfwd::geom::hasEntries(pFwdChnl)) return 0;
    const megfwd::head::LocalSpheres& table = *pLocalSpheres;
    int count = 0;
    for (std::int64_t e = 0; e < pFwdChnl->numChnl; ++e) {
        const CForwardC0SnsCoilskw& entry = pFwdChnl->pSnsCoils[e];
        CMEGSensorkw* s = entry.pMEGSns;
        if (!s) continue;
        const megfwd::Sphere* sphere = &table.globalSphere;
        if (entry.isMEGMeasureSns()) {
            CMDChannelkw* ch = pFwdChnl->pTrial ? pFwdChnl->pTrial->getChannel(static_cast<int>(entry.chnlID)) : nullptr;
            const std::string name = ch ? std::string(ch->chnlName) : std::string();
            const megfwd::head::LocalSphere* own = table.find(name);
            if (!own) {
                const std::string text = "No local sphere for sensor '" + name + "'";
                AfxMessageBox(text.c_str(), MB_OK, 0);
                return 0;
            }
            sphere = &own->sphere;
        }
        const std::array<double, 4> xyzr = sphere->toArray();
        std::copy(xyzr.begin(), xyzr.end(), s->localSphere);
        ++count;
    }
    return count;
}

// ---------------------------------------------------------------------------
// Stencils

int CMDataForward02PreFwdProcess::_06stencilSrc2dewar() {
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
        // A source must lie at least minCoilSrcDist deeper than its nearest
        // coil, seen from the dewar centre; equality keeps it.
        if (megfwd::geom::distance(src.srcField.pos, cen) + minCoilSrcDist > megfwd::geom::distance(q, cen)) src.isVoxIn = 0;
    }
    return 1;
}

int CMDataForward02PreFwdProcess::_06stencilSrc2AnaVlm(ANA_VOLMX* vol) {
    if (!vol) vol = pAnaVlm;
    if (!vol) return 0;
    if (vol->isCoregistered1 == 0 || vol->isCoregistered2 == 0) {
        if (AfxMessageBox("It seems MEG/EEG and MRI/CT are not well coregistered! Continue? ", MB_YESNO, 0) == IDNO)
            return 0;
    }
    if (!pVoxSnsLfx) return 0;
    std::int64_t count = 0;
    for (std::int64_t i = 0; i < numSrc; ++i) {
        CFISrcSnsLf& src = pVoxSnsLfx[i];
        const double* p = src.srcField.pos;
        if (getAnaVoxValue4Pos(vol, p[0], p[1], p[2]) == 0)
            src.isVoxIn = 0;
        else if (src.isVoxIn == 1)
            ++count;  // a source already out stays out and is not counted
    }
    if (count == 0) {
        AfxMessageBox("No qualified source cube!?", MB_OK, 0);
        return 0;
    }
    return 1;
}

std::uint16_t CMDataForward02PreFwdProcess::getAnaVoxValue4Pos(const ANA_VOLMX* vol, double x, double y, double z) {
    if (!vol || !vol->pVoxel || vol->numVoxX < 1 || vol->numVoxY < 1 || vol->numVoxZ < 1) return 0;
    const std::int64_t ix = voxIndex(x, vol->originX, vol->voxSizeX, vol->numVoxX);
    const std::int64_t iy = voxIndex(y, vol->originY, vol->voxSizeY, vol->numVoxY);
    const std::int64_t iz = voxIndex(z, vol->originZ, vol->voxSizeZ, vol->numVoxZ);
    if (ix < 0 || iy < 0 || iz < 0) return 0;

    const std::uint16_t w = vol->pVoxel[(ix * vol->numVoxY + iy) * vol->numVoxZ + iz];
    const unsigned label = w & 0xF000u;
    const unsigned intensity = w & 0x0FFFu;
    constexpr unsigned kNone = 0x0000u, kL1 = 0x1000u, kL2 = 0x2000u, kL3 = 0x3000u, kL4 = 0x4000u;

    unsigned cand = 0;
    switch (vol->selectMode) {
        case 100: cand = intensity; break;
        case 101: cand = label != kNone ? intensity : 0; break;
        case 102: cand = (label == kL1 || label == kL2 || label == kL3) ? intensity : 0; break;
        case 103: cand = label == kL1 ? intensity : 0; break;
        case 104: return label == kL2 ? 1 : 0;  // label 2 qualifies without the window
        case 105: cand = label == kL3 ? intensity : 0; break;
        case 106: cand = label == kL4 ? intensity : 0; break;
        case 107: cand = label != kL1 ? intensity : 0; break;
        case 108: cand = label != kL2 ? intensity : 0; break;
        case 109: cand = label != kL3 ? intensity : 0; break;
        case 110: cand = label != kL4 ? intensity : 0; break;
        case 111: cand = label == kNone ? intensity : 0; break;
        default: return 0;
    }
    const std::int64_t c = cand;
    if (c < vol->minIntensity || c > vol->maxIntensity) return 0;
    return static_cast<std::uint16_t>(cand);
}

int CMDataForward02PreFwdProcess::_06wrapCntSrcZero() {
    if (!pVoxSnsLfx || !megfwd::geom::hasEntries(pFwdChnl)) return 0;
    for (std::int64_t i = 0; i < numSrc; ++i) {
        CFISrcSnsLf& src = pVoxSnsLfx[i];
        if (megfwd::geom::distance(src.srcField.pos, singleSphere.center) < minSrcSphDist) src.isVoxIn = 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Centre shift, axes, unit

int CMDataForward02PreFwdProcess::_07shiftGlobCnt4SrcSnsSphere() {
    if (!pFwdChnl || !pVoxSnsLfx || !pFwdPos) return 0;
    const double cen[3] = {singleSphere.center[0], singleSphere.center[1], singleSphere.center[2]};
    for (std::int64_t i = 0; i < numSrc; ++i)
        for (int a = 0; a < 3; ++a) pVoxSnsLfx[i].srcField.pos[a] -= cen[a];
    if (!megfwd::geom::hasEntries(pFwdChnl)) return 0;  // the sources stay shifted
    megfwd::geom::forEachSensor(*pFwdChnl, [&cen](CMEGSensorkw& s) { megfwd::geom::shift(s, cen); });
    for (double& c : singleSphere.center) c = 0.0;
    return 1;
}

int CMDataForward02PreFwdProcess::_08changeCoord4SrcSnsSphere_matlab() {
    if (!pFwdChnl || !pVoxSnsLfx || !pFwdPos) return 0;
    for (std::int64_t i = 0; i < numSrc; ++i) {
        CFISrcSnsLf& src = pVoxSnsLfx[i];
        if (src.coordMode != 0) continue;
        megfwd::geom::changeAxes(src.srcField.pos, Axes::toMatlab);
        src.coordMode = 1;
    }
    if (pFwdChnl->coordMode == 0) {
        if (!megfwd::geom::hasEntries(pFwdChnl)) return 0;
        megfwd::geom::forEachSensor(*pFwdChnl, [](CMEGSensorkw& s) { megfwd::geom::changeAxes(s, Axes::toMatlab); });
        pFwdChnl->coordMode = 1;
    }
    if (singleSphere.coordMode == 0) {
        megfwd::geom::changeAxes(singleSphere, Axes::toMatlab);
        singleSphere.coordMode = 1;
    }
    return 1;
}

int CMDataForward02PreFwdProcess::changeCoord4SrcSnsSphere() {
    switch (coordSystem) {
        case 0: return 1;
        case 1: return _08changeCoord4SrcSnsSphere_matlab();
        case 2: return 1;
        default: return 0;
    }
}

bool CMDataForward02PreFwdProcess::isUsableUnit(double f) { return f > 0.0 && std::isfinite(f); }

bool CMDataForward02PreFwdProcess::anyInUnitMode(int mode) const {
    if (pFwdChnl->unitMode == mode || singleSphere.unitMode == mode) return true;
    for (std::int64_t i = 0; i < numSrc; ++i)
        if (pVoxSnsLfx[i].unitMode == mode) return true;
    return false;
}

std::int64_t CMDataForward02PreFwdProcess::unitCoordCount() const {
    const std::int64_t d = pFwdPos ? pFwdPos->numCoord : 0;
    return d < 0 ? 0 : (d > 3 ? 3 : d);
}

int CMDataForward02PreFwdProcess::_08changeSpatUnit4SrcSnsSphere_Meter() {
    if (!pFwdChnl || !pVoxSnsLfx || !pFwdPos) return 0;
    if (anyInUnitMode(0) && !isUsableUnit(spatUnit)) return 0;
    return convertUnitMode(0, 2, UnitChange{spatUnit, false});
}

int CMDataForward02PreFwdProcess::convertUnitMode(int from, int to, const UnitChange& u) {
    const std::int64_t dims = unitCoordCount();
    for (std::int64_t i = 0; i < numSrc; ++i) {
        CFISrcSnsLf& src = pVoxSnsLfx[i];
        if (src.unitMode != from) continue;
        for (std::int64_t a = 0; a < dims; ++a) src.srcField.pos[a] = u.apply(src.srcField.pos[a]);
        src.unitMode = to;
    }
    if (pFwdChnl->unitMode == from) {
        if (!megfwd::geom::hasEntries(pFwdChnl)) return 0;
        megfwd::geom::forEachSensor(*pFwdChnl, [&u](CMEGSensorkw& s) { megfwd::geom::changeUnit(s, u); });
        pFwdChnl->unitMode = to;
    }
    if (singleSphere.unitMode == from) {
        megfwd::geom::changeUnit(singleSphere, u);
        singleSphere.unitMode = to;
    }
    return 1;
}
