#include "forward_data/CMDataForward.h"

#include <algorithm>

#include "host_interfaces/Afx.h"

namespace {

// A private copy of an anatomical volume with its voxel array; null when
// memory runs out (a volume whose voxels could not be copied is not
// installed at all, so no stencil can read a missing array).
ANA_VOLMX* copyAnaVolume(const ANA_VOLMX& src) {
    ANA_VOLMX* vol = megfwd::newObject<ANA_VOLMX>(src);
    if (!vol) return nullptr;
    vol->pVoxel = nullptr;
    if (!src.pVoxel) return vol;
    const std::int64_t nx = src.numVoxX, ny = src.numVoxY, nz = src.numVoxZ;
    const std::int64_t lim = megfwd::alloc::kMaxElements;
    std::int64_t count = 0;
    if (nx > 0 && ny > 0 && nz > 0 && ny <= lim / nx && nz <= lim / (nx * ny)) count = nx * ny * nz;
    if (count < 1) return vol;  // no voxels described: nothing to copy
    vol->pVoxel = megfwd::newArray<std::uint16_t>(count);
    if (!vol->pVoxel) {
        delete vol;
        return nullptr;
    }
    std::copy(src.pVoxel, src.pVoxel + count, vol->pVoxel);
    return vol;
}

}  // namespace

CMDataForward::CMDataForward() {
    userSphere.setSphere(0.0, 50.0, 0.0, 75.0);
    singleSphere.setSphere(0.0, 50.0, 0.0, 75.0);
    meanLocSphere.zeroSphere();
    locSphBox.reset();
}

CMDataForward::CMDataForward(const CMDataForward& other) : CMDataForward() { *this = other; }

CMDataForward& CMDataForward::operator=(const CMDataForward& other) {
    if (this == &other) return *this;
    cleanVoxSnsLfx();
    cleanPos();
    cleanChnl();
    cleanAnaVlm();

    if (other.pFwdChnl) pFwdChnl = megfwd::newObject<CForwardChnlkw>(*other.pFwdChnl);
    if (other.pFwdPos) pFwdPos = megfwd::newObject<CForwardSrckw>(*other.pFwdPos);
    numSrc = other.numSrc;
    numSns = other.numSns;
    if (other.pVoxSnsLfx && other.numSrc > 0) {
        pVoxSnsLfx = megfwd::newArray<CFISrcSnsLf>(other.numSrc);
        if (pVoxSnsLfx) {
            for (std::int64_t i = 0; i < other.numSrc; ++i) pVoxSnsLfx[i] = other.pVoxSnsLfx[i];
            numLf = other.numLf;
        }
    } else {
        numLf = other.numLf;
    }
    curVoxID = other.curVoxID;
    sphereModel = other.sphereModel;
    userSphere = other.userSphere;
    if (other.pAnaVlm) pAnaVlm = copyAnaVolume(*other.pAnaVlm);
    isAnaScan = other.isAnaScan;
    isCentralizedLf = other.isCentralizedLf;
    singleSphere = other.singleSphere;
    meanLocSphere = other.meanLocSphere;
    pLocalSpheres = other.pLocalSpheres;
    locSphBox = other.locSphBox;
    isTangLfd = other.isTangLfd;
    isSpatConstrained = other.isSpatConstrained;
    coordSystem = other.coordSystem;
    isApplySnsGain = other.isApplySnsGain;
    isUnitLf = other.isUnitLf;
    isUnit2Meter = other.isUnit2Meter;
    spatUnit = other.spatUnit;
    minCoilSphDist = other.minCoilSphDist;
    minCoilSrcDist = other.minCoilSrcDist;
    minSrcSphDist = other.minSrcSphDist;
    isRestoreUnit = other.isRestoreUnit;
    isRestoreCoord = other.isRestoreCoord;
    isLfNormalized = other.isLfNormalized;
    refLfMtx = other.refLfMtx;
    vectOps = other.vectOps;
    return *this;
}

// The member objects (vectOps, refLfMtx, locSphBox, meanLocSphere,
// singleSphere, userSphere) are destroyed after this body, in that order.
CMDataForward::~CMDataForward() {
    cleanVoxSnsLfx();
    cleanPos();
    cleanChnl();
    cleanAnaVlm();
}

int CMDataForward::initFwdChn(CMEGDatakw* data, CMDTrialkw* trial, int dataKind, int goodChnlOnly, int withRefSns) {
    if (!pFwdChnl) pFwdChnl = megfwd::newObject<CForwardChnlkw>();
    if (!pFwdChnl) return 0;
    pFwdChnl->pMEGData = data;
    pFwdChnl->pTrial = trial;
    pFwdChnl->dataKind = dataKind;
    pFwdChnl->isGoodChnlOnly = goodChnlOnly;
    pFwdChnl->isWithRefSns = withRefSns;
    if (!trial) return 0;
    int ok = 0;
    switch (dataKind) {
        case 0: ok = pFwdChnl->updateChnl01Basic(); break;
        case 1: ok = pFwdChnl->updateChnl02Spctm(); break;
        case 2: ok = pFwdChnl->updateChnl03Cxc(); break;
        default: return 0;
    }
    if (!ok) return 0;
    numSns = pFwdChnl->numMeaSns;
    return 1;
}

// Both position setters keep the records only while the number of sources
// stays the same. Besides the announced count, the count actually taken by
// the positions is checked as well, so records never outlive a change of
// numSrc (a grid whose point count field is stale cannot leave numSrc
// records behind that are fewer than the sources).
int CMDataForward::initFwdPosGrd(CGrid3D* grid) {
    if (!grid) return 0;
    if (grid->numPoints != numSrc) cleanVoxSnsLfx();
    if (!pFwdPos) pFwdPos = megfwd::newObject<CForwardSrckw>();
    if (!pFwdPos) return 0;
    if (!pFwdPos->setGrid(grid)) return 0;
    if (pFwdPos->numPos != numSrc) cleanVoxSnsLfx();
    numSrc = pFwdPos->numPos;
    return 1;
}

int CMDataForward::initFwdPosVsp(CVirtSnsPOXlistkw* list) {
    if (!list || list->numEntries < 1) return 0;
    if (list->numEntries != numSrc) cleanVoxSnsLfx();
    if (!pFwdPos) pFwdPos = megfwd::newObject<CForwardSrckw>();
    if (!pFwdPos) return 0;
    if (!pFwdPos->setVirtSnsPos(list, 3)) return 0;
    if (pFwdPos->numPos != numSrc) cleanVoxSnsLfx();
    numSrc = pFwdPos->numPos;
    return 1;
}

int CMDataForward::initVoxSnsLfx(std::int64_t nSrc, std::int64_t nSns, std::int64_t nLf) {
    if (nSrc == -1) nSrc = numSrc;
    if (nSns == -1) nSns = numSns;
    if (nSrc < 1 || nSns < 1 || nLf < 1) return 0;

    cleanVoxSnsLfx();
    pVoxSnsLfx = megfwd::newArray<CFISrcSnsLf>(nSrc);
    if (!pVoxSnsLfx) return 0;
    for (std::int64_t i = 0; i < nSrc; ++i) {
        if (!pVoxSnsLfx[i].initSnsLfx(nSns, nLf)) {
            AfxMessageBox("Initializing voxel-sensor-leadfield buffer failed! Is memory enough?", MB_OK, 0);
            // The old numSrc may exceed what was allocated here, so the
            // partly built array goes at once: no records, numLf 0.
            cleanVoxSnsLfx();
            return 0;
        }
        pVoxSnsLfx[i].isVoxIn = 1;
    }
    numSrc = nSrc;
    numSns = nSns;
    numLf = nLf;
    return 1;
}

std::int64_t CMDataForward::getNumChnl() const { return pFwdChnl ? pFwdChnl->numChnl : 0; }

CForwardChnlkw* CMDataForward::getFwChnl(bool create) {
    if (!create) return pFwdChnl;
    if (!pFwdChnl) pFwdChnl = megfwd::newObject<CForwardChnlkw>();
    if (!pFwdChnl) return nullptr;
    pFwdChnl->pMEGData = nullptr;
    pFwdChnl->pTrial = nullptr;
    pFwdChnl->isGoodChnlOnly = 1;
    pFwdChnl->isWithRefSns = 0;
    pFwdChnl->dataKind = 0;
    return pFwdChnl;
}

CForwardC0SnsCoilskw* CMDataForward::getFwChSC() { return pFwdChnl ? pFwdChnl->pSnsCoils : nullptr; }

CForwardSrckw* CMDataForward::getFwPos(bool create) {
    if (!pFwdPos && create) pFwdPos = megfwd::newObject<CForwardSrckw>();
    return pFwdPos;
}

CGrid3D* CMDataForward::getGrid3D() { return pFwdPos ? pFwdPos->getGrid3D() : nullptr; }

CFISrcSnsLf* CMDataForward::getVoxSnsLfx4ID(std::int64_t id) {
    if (id == -1) id = curVoxID;
    if (!pVoxSnsLfx || id < 0 || id >= numSrc) return nullptr;
    return &pVoxSnsLfx[id];
}

int CMDataForward::setCurrentVoxID(std::int64_t id) {
    if (id < 0 || id >= numSrc) return 0;
    curVoxID = id;
    return 1;
}

std::int64_t CMDataForward::nextVoxID(int forward) {
    if (!pVoxSnsLfx || numSrc < 1) return -1;
    curVoxID += forward ? 1 : -1;
    if (curVoxID < 0) curVoxID = numSrc - 1;
    if (curVoxID >= numSrc) curVoxID = 0;
    return curVoxID;
}

int CMDataForward::setVoxSnsLfx2v(double v) {
    if (!pVoxSnsLfx || numSrc < 0 || numSns < 0 || numLf < 0) return 0;
    for (std::int64_t i = 0; i < numSrc; ++i) {
        CFISrcSnsLf& src = pVoxSnsLfx[i];
        if (!src.pSnsLf) continue;
        const std::int64_t nj = std::min(numSns, src.numSns);
        for (std::int64_t j = 0; j < nj; ++j) {
            CFISnsLf& sns = src.pSnsLf[j];
            if (!sns.pLf) continue;
            const std::int64_t nk = std::min(numLf, sns.numLf);
            for (std::int64_t k = 0; k < nk; ++k) sns.pLf[k] = v;
        }
    }
    return 1;
}

std::int64_t CMDataForward::getMeanSphere4SnsLocalSpheres(CSpherekw* out, CGrid3D* box) {
    if (!out || !pFwdChnl || !pFwdChnl->pSnsCoils || pFwdChnl->numChnl < 1) return 0;
    out->zeroSphere();
    std::int64_t count = 0;
    for (std::int64_t i = 0; i < pFwdChnl->numChnl; ++i) {
        const CForwardC0SnsCoilskw& entry = pFwdChnl->pSnsCoils[i];
        if (!entry.pMEGSns || !entry.isMEGMeasureSns()) continue;
        const double* c = entry.pMEGSns->localSphere;
        for (int a = 0; a < 3; ++a) {
            out->center[a] += c[a];
            if (!box) continue;
            if (count == 0) {
                box->minCorner[a] = c[a];
                box->maxCorner[a] = c[a];
            } else {
                if (box->minCorner[a] > c[a]) box->minCorner[a] = c[a];
                if (box->maxCorner[a] < c[a]) box->maxCorner[a] = c[a];
            }
        }
        ++count;
    }
    if (count == 0) return 0;
    for (int a = 0; a < 3; ++a) out->center[a] /= static_cast<double>(count);
    if (box) out->radius = box->getRadiusMin0Mean1Max2(0);
    return count;
}

int CMDataForward::isVoxSnsLfdOk() const { return pVoxSnsLfx && numSrc >= 1 && numSns >= 1 && numLf >= 1 ? 1 : 0; }

int CMDataForward::cleanVoxSnsLfx() {
    delete[] pVoxSnsLfx;
    pVoxSnsLfx = nullptr;
    numLf = 0;
    return 1;
}

int CMDataForward::cleanPos() {
    delete pFwdPos;
    pFwdPos = nullptr;
    return 1;
}

int CMDataForward::cleanChnl() {
    delete pFwdChnl;
    pFwdChnl = nullptr;
    return 1;
}

int CMDataForward::cleanAnaVlm() {
    if (pAnaVlm) {
        delete[] pAnaVlm->pVoxel;
        pAnaVlm->pVoxel = nullptr;
        delete pAnaVlm;
    }
    pAnaVlm = nullptr;
    return 1;
}
