#include "forward_data/CForwardChnlkw.h"

#include "host_interfaces/Afx.h"

// ---------------------------------------------------------------------------
// CForwardC0SnsCoilskw

CForwardC0SnsCoilskw::CForwardC0SnsCoilskw(const CForwardC0SnsCoilskw& other) { *this = other; }

CForwardC0SnsCoilskw& CForwardC0SnsCoilskw::operator=(const CForwardC0SnsCoilskw& other) {
    if (this == &other) return *this;
    cleanCoils();
    snsKind = other.snsKind;
    chnlID = other.chnlID;
    if (other.pMEGSns) {
        pMEGSns = megfwd::newObject<CMEGSensorkw>();
        if (pMEGSns)
            *pMEGSns = *other.pMEGSns;
        else
            snsKind = -1;
    }
    if (other.pRefCoef && other.numRefCoef > 0) {
        pRefCoef = megfwd::newArray<REFCOEF>(other.numRefCoef);
        if (pRefCoef) {
            for (std::int64_t r = 0; r < other.numRefCoef; ++r) pRefCoef[r] = other.pRefCoef[r];
            numRefCoef = other.numRefCoef;
        }
    }
    return *this;
}

CForwardC0SnsCoilskw::~CForwardC0SnsCoilskw() { cleanCoils(); }

int CForwardC0SnsCoilskw::setChnl2FwdSns(CMDChannelkw* ch, std::int64_t idx) {
    cleanCoils();
    if (!ch) {
        snsKind = -1;
        return 0;
    }
    chnlID = idx;
    if (!ch->isMEGChannel() || !ch->pMEGSns) {
        snsKind = -1;
        return 0;
    }
    pMEGSns = megfwd::newObject<CMEGSensorkw>();
    if (!pMEGSns) {
        snsKind = -1;  // without a sensor copy the entry cannot be in use
        return 0;
    }
    *pMEGSns = *ch->pMEGSns;
    snsKind = ch->snsKind;

    // A channel that gives a count without an array has no weights.
    const std::int64_t n = ch->pRefCoef ? ch->numRefCoef : 0;
    numRefCoef = n;
    if (n > 0) {
        pRefCoef = megfwd::newArray<REFCOEF>(n);
        if (!pRefCoef) {
            numRefCoef = 0;  // no count is left that could be walked over a missing array
            return 0;
        }
        for (std::int64_t r = 0; r < n; ++r) {
            pRefCoef[r].coef = ch->pRefCoef[r].coef;
            pRefCoef[r].chnlIdx = ch->pRefCoef[r].chnlIdx;
            pRefCoef[r].refName = ch->pRefCoef[r].refName;
        }
    }
    return 1;
}

int CForwardC0SnsCoilskw::isMEGMeasureSns() const { return megfwd::kind::isMeasure(snsKind) ? 1 : 0; }

int CForwardC0SnsCoilskw::isMEGReferenceSns() const { return megfwd::kind::isReference(snsKind) ? 1 : 0; }

int CForwardC0SnsCoilskw::isMEGSns() const { return pMEGSns ? 1 : 0; }

int CForwardC0SnsCoilskw::cleanCoils() {
    delete pMEGSns;
    pMEGSns = nullptr;
    delete[] pRefCoef;
    pRefCoef = nullptr;
    numRefCoef = 0;
    return 1;
}

int CForwardC0SnsCoilskw::reset() {
    cleanCoils();
    chnlID = 0;
    snsKind = 0;
    numRefCoef = 0;
    return 1;
}

// ---------------------------------------------------------------------------
// CForwardChnlkw

namespace {

enum Builder { kBasic = 0, kSpectrum = 1, kCrossSpectrum = 2 };

// Whether the coherence data lists channel index i.
bool listsChannel(const CSnsCohDatakw* coh, std::int64_t i) {
    if (!coh->ppChnl) return false;
    for (std::int64_t r = 0; r < coh->numChnl; ++r)
        if (coh->ppChnl[r] && coh->ppChnl[r]->chnlIdx == i) return true;
    return false;
}

}  // namespace

CForwardChnlkw::CForwardChnlkw(const CForwardChnlkw& other) { *this = other; }

CForwardChnlkw& CForwardChnlkw::operator=(const CForwardChnlkw& other) {
    if (this == &other) return *this;
    cleanSnsCoils();
    if (other.pSnsCoils && other.numChnl > 0) {
        pSnsCoils = megfwd::newArray<CForwardC0SnsCoilskw>(other.numChnl);
        if (pSnsCoils) {
            for (std::int64_t i = 0; i < other.numChnl; ++i) pSnsCoils[i] = other.pSnsCoils[i];
            numChnl = other.numChnl;
            numMeaSns = other.numMeaSns;
            numRefSns = other.numRefSns;
        }
    }
    dewarSphere = other.dewarSphere;
    coilBox = other.coilBox;
    pMEGData = other.pMEGData;
    pTrial = other.pTrial;
    isGoodChnlOnly = other.isGoodChnlOnly;
    isWithRefSns = other.isWithRefSns;
    coordMode = other.coordMode;
    unitMode = other.unitMode;
    dataKind = other.dataKind;
    return *this;
}

CForwardChnlkw::~CForwardChnlkw() { cleanSnsCoils(); }

int CForwardChnlkw::initChnl(CMEGDatakw* data, CMDTrialkw* trial, int kind, int goodChnlOnly, int withRefSns) {
    pMEGData = data;
    pTrial = trial;
    dataKind = kind;
    isGoodChnlOnly = goodChnlOnly;
    isWithRefSns = withRefSns;
    if (!trial) return 0;
    return updateChnl();
}

int CForwardChnlkw::updateChnl() {
    if (!pTrial) return 0;
    switch (dataKind) {
        case 0: return updateChnl01Basic();
        case 1: return updateChnl02Spctm();
        case 2: return updateChnl03Cxc();
        default: return 0;
    }
}

int CForwardChnlkw::updateChnl01Basic() { return buildEntries(kBasic); }

int CForwardChnlkw::updateChnl02Spctm() { return buildEntries(kSpectrum); }

int CForwardChnlkw::updateChnl03Cxc() { return buildEntries(kCrossSpectrum); }

// Every failure after the entries are allocated keeps the new array but
// leaves numChnl, numMeaSns and numRefSns at 0, so readers find the set empty.
int CForwardChnlkw::buildEntries(int builder) {
    cleanSnsCoils();
    coordMode = 0;
    unitMode = 0;
    if (!pTrial) return 0;

    CSnsCohDatakw* coh = nullptr;
    if (builder == kCrossSpectrum) {
        CSnsCohFacekw* face = pTrial->getCoherenceFacekwTime(false);
        if (!face) return 0;
        coh = face->getCoherenceData(0);
        if (!coh) return 0;
    }

    const std::int64_t n = pTrial->getTotalChannel();
    if (n < 2) return 0;
    pSnsCoils = megfwd::newArray<CForwardC0SnsCoilskw>(n);
    if (!pSnsCoils) return 0;
    CMDChannelkw** channels = pTrial->getAllChannelPt();
    if (!channels) return 0;

    std::int64_t nMea = 0;
    std::int64_t nRef = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        CMDChannelkw* ch = channels[i];
        CForwardC0SnsCoilskw& entry = pSnsCoils[i];
        if (!ch) {
            entry.setChnl2FwdSns(nullptr, i);
            continue;
        }

        bool measure = false;
        bool refAllowed = true;
        if (builder == kBasic) {
            // Without a recording there is nothing to test goodness against,
            // so with isGoodChnlOnly set every channel passes.
            const bool good = !isGoodChnlOnly || !pMEGData || pMEGData->isGoodChnl4Alltrials(static_cast<int>(i));
            measure = good && ch->isMEGMeasureChannel();
            refAllowed = good;
        } else if (builder == kSpectrum) {
            measure = ch->getSpctmChnlA(false) && ch->isMEGMeasureChannel();
        } else {
            if (listsChannel(coh, i)) {
                measure = ch->isMEGMeasureChannel();
                if (!measure) AfxMessageBox("Non-MEG Sensor Cxc data for source scan?!", MB_OK, 0);
            }
        }

        if (measure) {
            if (!entry.setChnl2FwdSns(ch, i)) return 0;
            ++nMea;
        } else if (isWithRefSns && refAllowed && ch->isMEGReferenceChannel()) {
            if (!entry.setChnl2FwdSns(ch, i)) return 0;
            ++nRef;
        } else {
            entry.setChnl2FwdSns(nullptr, i);
        }
    }

    numMeaSns = nMea;
    numRefSns = nRef;
    numChnl = n;
    if (builder == kCrossSpectrum) dataKind = 2;
    return 1;
}

int CForwardChnlkw::updateDewarCnt() {
    if (!pSnsCoils || numChnl < 1) return 0;
    dewarSphere.zeroSphere();
    coilBox.reset();
    std::int64_t count = 0;
    for (std::int64_t i = 0; i < numChnl; ++i) {
        const CForwardC0SnsCoilskw& entry = pSnsCoils[i];
        if (!entry.isMEGMeasureSns() || !entry.pMEGSns) continue;
        const CBscMagSnskw* coil = entry.pMEGSns->getCoil(0);
        if (!coil) continue;
        double p[3];
        coil->getCoilPositionD(p[0], p[1], p[2]);
        for (int a = 0; a < 3; ++a) {
            dewarSphere.center[a] += p[a];
            if (count == 0) {
                coilBox.minCorner[a] = p[a];
                coilBox.maxCorner[a] = p[a];
            } else {
                if (coilBox.minCorner[a] > p[a]) coilBox.minCorner[a] = p[a];
                if (coilBox.maxCorner[a] < p[a]) coilBox.maxCorner[a] = p[a];
            }
        }
        ++count;
    }
    if (count == 0) return 0;
    for (int a = 0; a < 3; ++a) dewarSphere.center[a] /= static_cast<double>(count);
    dewarSphere.radius = coilBox.getRadiusMin0Mean1Max2(0);
    return 1;
}

CBscMagSnskw* CForwardChnlkw::findNearestCoil4Src(MAGFIELD* fld) {
    if (!fld || !pSnsCoils || numChnl < 1) return nullptr;
    CBscMagSnskw* best = nullptr;
    double bestD2 = 1e100;
    for (std::int64_t i = 0; i < numChnl; ++i) {
        const CForwardC0SnsCoilskw& entry = pSnsCoils[i];
        if (!entry.isMEGMeasureSns() || !entry.pMEGSns) continue;
        CBscMagSnskw* coil = entry.pMEGSns->getCoil(0);
        if (!coil) continue;
        double p[3];
        coil->getCoilPositionD(p[0], p[1], p[2]);
        const double dx = p[0] - fld->pos[0];
        const double dy = p[1] - fld->pos[1];
        const double dz = p[2] - fld->pos[2];
        const double d2 = dx * dx + dy * dy + dz * dz;
        if (d2 < 1e-100) {
            AfxMessageBox("Distance between coil and src almost zero", MB_OK, 0);
            return nullptr;
        }
        if (d2 < bestD2) {  // strict: of equally near coils the first wins
            bestD2 = d2;
            best = coil;
        }
    }
    return best;
}

CMEGSensorkw* CForwardChnlkw::getMEGSns4ChnlID(std::int64_t id) {
    if (!pSnsCoils || numChnl < 1 || id < 0 || id >= numChnl) return nullptr;
    return pSnsCoils[id].pMEGSns;
}

int CForwardChnlkw::resetModes() {
    coordMode = 0;
    unitMode = 0;
    return 1;
}

int CForwardChnlkw::cleanSnsCoils() {
    delete[] pSnsCoils;
    pSnsCoils = nullptr;
    numChnl = 0;
    numMeaSns = 0;
    numRefSns = 0;
    return 1;
}
