#include "forward_process/CMDataForwardkw.h"

#include <algorithm>
#include <cmath>

// The walks over the manager's counts below never index past a record's own
// arrays: each walk is clipped to the record's numSns and numLf and skips
// records or sensors that have no array.

int CMDataForwardkw::setPPPVoxSnsLfx(double*** ppp, std::int64_t nSrc, std::int64_t nSns, std::int64_t nLf) {
    if (!initVoxSnsLfx(nSrc, nSns, nLf)) return 0;
    if (!ppp) return 0;
    if (numSrc != nSrc || numSns != nSns || numLf != nLf) return 0;
    // Freshly built: every record holds exactly nSns sensors of nLf values.
    for (std::int64_t i = 0; i < nSrc; ++i) {
        if (!ppp[i]) continue;
        for (std::int64_t j = 0; j < nSns; ++j) {
            if (!ppp[i][j]) continue;
            double* dst = pVoxSnsLfx[i].pSnsLf[j].pLf;
            for (std::int64_t k = 0; k < nLf; ++k) dst[k] = ppp[i][j][k];
        }
    }
    return 1;
}

int CMDataForwardkw::getPPPVoxSnsLfx(double***& ppp, std::int64_t& nSrc, std::int64_t& nSns, std::int64_t& nLf) {
    ppp = nullptr;
    nSrc = nSns = nLf = 0;
    if (!pVoxSnsLfx || numSrc < 1 || numSns < 1 || numLf < 1) return 0;
    double*** out = CAryVctMtxBasic::newMatrix3D(numSrc, numSns, numLf, true);
    if (!out) return 0;
    for (std::int64_t i = 0; i < numSrc; ++i) {
        const CFISrcSnsLf& src = pVoxSnsLfx[i];
        if (!src.pSnsLf) continue;
        const std::int64_t nj = std::min(numSns, src.numSns);
        for (std::int64_t j = 0; j < nj; ++j) {
            const CFISnsLf& sns = src.pSnsLf[j];
            if (!sns.pLf) continue;
            const std::int64_t nk = std::min(numLf, sns.numLf);
            for (std::int64_t k = 0; k < nk; ++k) out[i][j][k] = sns.pLf[k];
        }
    }
    ppp = out;
    nSrc = numSrc;
    nSns = numSns;
    nLf = numLf;
    return 1;
}

int CMDataForwardkw::getSrcSnsLf2LfSnM(std::int64_t srcID, CMMatrix2Dkw* m) {
    if (!m || !pVoxSnsLfx || srcID < 0 || srcID >= numSrc) return 0;
    double** rows = m->getDataPP();
    const std::int64_t r = rows ? m->numRow : 0;
    if (numSns > 0 && r > 0 && m->numCol < numSns) return 0;
    const CFISrcSnsLf& src = pVoxSnsLfx[srcID];
    for (std::int64_t j = 0; j < numSns; ++j) {
        // A sensor the record does not hold, or a component it lacks, gives 0.
        const CFISnsLf* sns = src.pSnsLf && j < src.numSns ? &src.pSnsLf[j] : nullptr;
        for (std::int64_t k = 0; k < r; ++k) rows[k][j] = sns ? sns->getLf(k) : 0.0;
    }
    curVoxID = srcID;
    return 1;
}

int CMDataForwardkw::computLfStrength() {
    if (numSrc < 1 || numSns < 1 || !pVoxSnsLfx) return 0;
    for (std::int64_t i = 0; i < numSrc; ++i) {
        CFISrcSnsLf& src = pVoxSnsLfx[i];
        if (src.pSnsLf && src.numSns >= 0) src.computSrcLfStength();
    }
    return 1;
}

int CMDataForwardkw::computVB2LfID3() {
    if (numSrc < 1 || numSns < 1 || numLf < 1 || !pVoxSnsLfx) return 0;
    for (std::int64_t i = 0; i < numSrc; ++i) {
        CFISrcSnsLf& src = pVoxSnsLfx[i];
        const CDataSvdkw* svd = src.pSvd;
        if (!svd || !svd->isDecomposed || !svd->pOrientVct) return 0;
        if (!src.pSnsLf) continue;
        const std::int64_t nj = std::min(numSns, src.numSns);
        for (std::int64_t j = 0; j < nj; ++j) {
            CFISnsLf& sns = src.pSnsLf[j];
            const std::int64_t nk = sns.pLf ? std::min({numLf, sns.numLf, svd->n}) : 0;
            double sum = 0.0;
            for (std::int64_t k = 0; k < nk; ++k) sum += std::fabs(svd->pOrientVct[k] * sns.pLf[k]);
            sns.lfVB = sum;
        }
    }
    return 1;
}

int CMDataForwardkw::checkVoxSnsLfx4Lfd(std::int64_t nLf) {
    if (!pFwdChnl || numSns < 2) return 0;
    if (!pFwdPos || pFwdPos->numPos < 1 || pFwdPos->numPos != numSrc) return 0;
    if (!pVoxSnsLfx) return 1;
    return numLf == nLf && pVoxSnsLfx[0].numLf == nLf ? 1 : 0;
}
