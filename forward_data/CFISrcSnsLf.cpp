#include "forward_data/CFISrcSnsLf.h"

#include <cmath>

#include "host_interfaces/Afx.h"

// ---------------------------------------------------------------------------
// CFISnsLf

CFISnsLf::CFISnsLf(const CFISnsLf& other) { *this = other; }

CFISnsLf& CFISnsLf::operator=(const CFISnsLf& other) {
    if (this == &other) return *this;
    chnlID = other.chnlID;
    snsID = other.snsID;
    if (other.pLf && other.numLf > 0) {
        if (pLf && numLf != other.numLf) {
            delete[] pLf;
            pLf = nullptr;
        }
        if (!pLf) {
            pLf = megfwd::newArray<double>(other.numLf);
            if (!pLf) {
                // Out of memory: the count is kept but no values are present,
                // which every accessor treats as an empty record.
                numLf = other.numLf;
                lfStrength = other.lfStrength;
                bcmp = other.bcmp;
                lfVB = other.lfVB;
                return *this;
            }
        }
        for (std::int64_t k = 0; k < other.numLf; ++k) pLf[k] = other.pLf[k];
        numLf = other.numLf;
    } else {
        cleanGfs();
    }
    lfStrength = other.lfStrength;
    bcmp = other.bcmp;
    lfVB = other.lfVB;
    return *this;
}

CFISnsLf::~CFISnsLf() { cleanGfs(); }

int CFISnsLf::initLf(std::int64_t n) {
    if (pLf && numLf == n) return 1;  // keeps the existing values
    cleanGfs();
    numLf = n;
    if (n < 1) return 1;
    pLf = megfwd::newArray<double>(n);  // value-initialised: all 0.0
    return pLf ? 1 : 0;
}

double CFISnsLf::getLf(std::int64_t k) const {
    if (!pLf || k < 0 || k >= numLf) return 0.0;
    return pLf[k];
}

int CFISnsLf::setLf(std::int64_t k, double v) {
    if (!pLf || k < 0 || k >= numLf) return 0;
    pLf[k] = v;
    return 1;
}

int CFISnsLf::applyGain2Lf(double g) {
    if (!pLf || numLf < 1) return 0;
    for (std::int64_t k = 0; k < numLf; ++k) pLf[k] *= g;
    return 1;
}

int CFISnsLf::computLfStength() {
    if (!pLf || numLf < 1) return 0;
    double sum = 0.0;
    for (std::int64_t k = 0; k < numLf; ++k) sum += pLf[k] * pLf[k];
    lfStrength = std::sqrt(sum / static_cast<double>(numLf));
    return 1;
}

int CFISnsLf::cleanGfs() {
    delete[] pLf;
    pLf = nullptr;
    numLf = 0;
    return 1;
}

// ---------------------------------------------------------------------------
// CFISrcSnsLf
//
// Invariant kept by every operation: when pSnsLf is present it holds exactly
// numSns sensor records, so a walk over numSns never leaves the array.

CFISrcSnsLf::CFISrcSnsLf(const CFISrcSnsLf& other) { *this = other; }

CFISrcSnsLf& CFISrcSnsLf::operator=(const CFISrcSnsLf& other) {
    if (this == &other) return *this;
    srcBasis = other.srcBasis;
    srcField = other.srcField;
    isVoxIn = other.isVoxIn;
    coordMode = other.coordMode;
    unitMode = other.unitMode;

    if (other.pSnsLf && other.numSns > 0) {
        if (!pSnsLf || numSns != other.numSns || numLf != other.numLf) {
            cleanSnsLfx();
            pSnsLf = megfwd::newArray<CFISnsLf>(other.numSns);
            if (!pSnsLf) return *this;  // no sensor records, old counts
        }
        for (std::int64_t s = 0; s < other.numSns; ++s) pSnsLf[s] = other.pSnsLf[s];
    } else {
        cleanSnsLfx();
    }
    numSns = other.numSns;
    numLf = other.numLf;

    if (other.pSvd) {
        if (!pSvd) pSvd = megfwd::newObject<CDataSvdkw>();
        if (!pSvd) return *this;
        *pSvd = *other.pSvd;
    } else {
        cleanSvdata();
    }
    if (other.pInvLf) {
        if (!pInvLf) pInvLf = megfwd::newObject<CMMatrix2Dkw>();
        if (!pInvLf) return *this;
        *pInvLf = *other.pInvLf;
    } else {
        cleanInvLfDat();
    }
    if (other.pLU) {
        if (!pLU) pLU = megfwd::newObject<CDataLUkw>();
        if (!pLU) return *this;
        *pLU = *other.pLU;
    } else {
        cleanLUDat();
    }
    if (other.pQR) {
        if (!pQR) pQR = megfwd::newObject<CDataQRkw>();
        if (!pQR) return *this;
        *pQR = *other.pQR;
    } else {
        cleanQRDat();
    }
    return *this;
}

CFISrcSnsLf::~CFISrcSnsLf() { cleanAll(); }

int CFISrcSnsLf::initSnsLfx(std::int64_t nSns, std::int64_t nLf) {
    cleanSnsLfx();
    cleanSvdata();
    resetFlagModes();
    if (nSns < 1 || nLf < 1) return 0;

    pSnsLf = megfwd::newArray<CFISnsLf>(nSns);
    if (!pSnsLf) return 0;
    for (std::int64_t s = 0; s < nSns; ++s) {
        if (!pSnsLf[s].initLf(nLf)) {
            // A half-built array is released at once: the old counts may be
            // larger than the new array, and no walk may run past it.
            cleanSnsLfx();
            return 0;
        }
    }
    numSns = nSns;
    numLf = nLf;
    return 1;
}

CDataSvdkw* CFISrcSnsLf::initSrcSvdData(std::int64_t m, std::int64_t n) {
    if (m == -1) m = numSns;
    if (n == -1) n = numLf;
    if (!pSvd) pSvd = megfwd::newObject<CDataSvdkw>();
    if (!pSvd) return nullptr;
    if (!pSvd->checkInitDataMN(m, n)) return nullptr;
    return pSvd;
}

int CFISrcSnsLf::setleadfield2SVDu() {
    if (!pSnsLf || numSns < 1 || numLf < 1) return 0;
    bool created = false;
    if (!pSvd) {
        pSvd = megfwd::newObject<CDataSvdkw>();
        if (!pSvd) return 0;
        created = true;
    }
    if (created || !pSvd->getMatrixPP() || pSvd->matrix.numRow != numSns || pSvd->matrix.numCol != numLf) {
        if (!pSvd->checkInitDataMN(numSns, numLf)) return 0;
    }
    double** mat = pSvd->getMatrixPP();
    for (std::int64_t s = 0; s < numSns; ++s)
        for (std::int64_t k = 0; k < numLf; ++k) mat[s][k] = pSnsLf[s].getLf(k);
    pSvd->isDecomposed = 0;
    return 1;
}

// The orientation vector is taken as present only when it holds a value for
// every leadfield component, so a projection never reads past it.
static bool hasOrientation(const CDataSvdkw* svd, std::int64_t nLf) {
    return svd && svd->pOrientVct && svd->n >= nLf;
}

double CFISrcSnsLf::getVBcmpS(std::int64_t s) {
    if (!pSnsLf || !hasOrientation(pSvd, numLf)) return 0.0;
    if (s < 0 || s >= numSns) return 0.0;
    double sum = 0.0;
    for (std::int64_t k = 0; k < numLf; ++k) sum += pSnsLf[s].getLf(k) * pSvd->pOrientVct[k];
    return sum;
}

int CFISrcSnsLf::getVBcmpAB(std::int64_t& n, double* out) {
    if (!pSnsLf || !hasOrientation(pSvd, numLf) || !out || numSns < 0) return 0;
    for (std::int64_t s = 0; s < numSns; ++s) out[s] = getVBcmpS(s);
    n = numSns;
    return 1;
}

double* CFISrcSnsLf::getVBcmpAll() {
    if (!pSnsLf || !hasOrientation(pSvd, numLf)) return nullptr;
    double* out = megfwd::newArray<double>(numSns);
    if (!out) return nullptr;
    for (std::int64_t s = 0; s < numSns; ++s) out[s] = getVBcmpS(s);
    return out;
}

int CFISrcSnsLf::resetAllSnsLf2V(double v) {
    if (numSns < 0 || !pSnsLf) return 0;
    for (std::int64_t s = 0; s < numSns; ++s) {
        CFISnsLf& rec = pSnsLf[s];
        if (!rec.pLf) continue;
        for (std::int64_t k = 0; k < rec.numLf; ++k) rec.pLf[k] = v;
    }
    return 1;
}

int CFISrcSnsLf::resetAllSnsBcmp2V(double v) {
    if (numSns < 0 || !pSnsLf) return 0;
    for (std::int64_t s = 0; s < numSns; ++s) pSnsLf[s].bcmp = v;
    return 1;
}

int CFISrcSnsLf::computSrcLfStength() {
    if (numSns < 0 || !pSnsLf) return 0;
    for (std::int64_t s = 0; s < numSns; ++s) pSnsLf[s].computLfStength();
    return 1;
}

int CFISrcSnsLf::copySrcInfo(CFISrcSnsLf* other) {
    if (!other) return 0;
    srcBasis = other->srcBasis;
    srcField = other->srcField;
    isVoxIn = other->isVoxIn;
    coordMode = other->coordMode;
    unitMode = other->unitMode;
    return 1;
}

int CFISrcSnsLf::resetFlagModes() {
    srcBasis = R3Q3x3{};
    srcField = MAGFIELD{};
    isVoxIn = 1;
    coordMode = 0;
    unitMode = 0;
    return 1;
}

int CFISrcSnsLf::checkSnsLf(std::int64_t nSns, std::int64_t nLf) const {
    return pSnsLf && numSns == nSns && numLf == nLf ? 1 : 0;
}

int CFISrcSnsLf::cleanSnsLfx() {
    delete[] pSnsLf;
    pSnsLf = nullptr;
    return 1;
}

int CFISrcSnsLf::cleanSvdata() {
    delete pSvd;
    pSvd = nullptr;
    return 1;
}

int CFISrcSnsLf::cleanInvLfDat() {
    delete pInvLf;
    pInvLf = nullptr;
    return 1;
}

int CFISrcSnsLf::cleanLUDat() {
    delete pLU;
    pLU = nullptr;
    return 1;
}

int CFISrcSnsLf::cleanQRDat() {
    delete pQR;
    pQR = nullptr;
    return 1;
}

int CFISrcSnsLf::cleanAll() {
    cleanSnsLfx();
    cleanSvdata();
    cleanInvLfDat();
    cleanLUDat();
    cleanQRDat();
    return 1;
}
