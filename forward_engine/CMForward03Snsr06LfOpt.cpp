#include "forward_engine/CMForward03Snsr06LfOpt.h"

#include "forward_process/CMDataForwardkw.h"

double CMForward03Snsr06LfOpt::sns36Q6LfOpt(CMEGSensorkw* sensor, MAGFIELD* fld, int order, double* origin,
                                           R3Q3x3* basis, int nComp) {
    if (nComp == 2) {
        if (snsFwdModel == 1) return sns34Q6B1xz_ctf(sensor, fld, order, origin, basis);
        return sns34Q6B1xz_std(sensor, fld, origin, basis);
    }
    if (nComp == 3) {
        if (snsFwdModel == 1) return sns36Q6B1xyz_ctf(sensor, fld, order, origin);
        return sns36Q6B1xyz_std(sensor, fld, origin);
    }
    AfxMessageBox("Wrong leafield number!", MB_OK, 0);
    return 0.0;
}

int CMForward03Snsr06LfOpt::dewarBegin(CMDataForwardkw* fwd, int& order) {
    if (!setOrder4SnsCoilIntegration(order)) return 0;
    if (!fwd || !fwd->pFwdChnl || !fwd->pFwdChnl->pSnsCoils || fwd->pFwdChnl->numChnl < 1) return 0;
    return 1;
}

std::int64_t CMForward03Snsr06LfOpt::numMeaEntries(const CMDataForwardkw* fwd) {
    const CForwardChnlkw* ch = fwd->pFwdChnl;
    std::int64_t n = 0;
    for (std::int64_t i = 0; i < ch->numChnl; ++i)
        if (isMeaKind(ch->pSnsCoils[i].snsKind)) ++n;
    return n;
}

int CMForward03Snsr06LfOpt::dewarRecFits(const CMDataForwardkw* fwd, const CFISrcSnsLf* rec, int nLf) {
    const std::int64_t nMea = numMeaEntries(fwd);
    if (nMea > rec->numSns) return 0;
    if ((nMea > 0 || (nLf > 0 && rec->numSns > 0)) && !rec->pSnsLf) return 0;
    if (nLf > 0)
        for (std::int64_t s = 0; s < rec->numSns; ++s)
            if (!rec->pSnsLf[s].pLf || rec->pSnsLf[s].numLf < nLf) return 0;
    return 1;
}

int CMForward03Snsr06LfOpt::dewarMeaSns60Q6B1f(MAGFIELD* fld, CMDataForwardkw* fwd, int order, CFISrcSnsLf* rec) {
    if (!fld || !rec || !dewarBegin(fwd, order)) return 0;
    if (fwd->numLf < 1 || fwd->numLf > 3) return 0;
    if (!dewarRecFits(fwd, rec, 0)) return 0;
    const int nComp = static_cast<int>(fwd->numLf);
    CForwardChnlkw* ch = fwd->pFwdChnl;
    std::int64_t k = 0;
    for (std::int64_t i = 0; i < ch->numChnl; ++i) {
        CForwardC0SnsCoilskw& e = ch->pSnsCoils[i];
        if (!isMeaKind(e.snsKind)) continue;
        rec->pSnsLf[k].bcmp = sns36Q6LfOpt(e.pMEGSns, fld, orderCoilIntg, snsOrigin(e.pMEGSns), &rec->srcBasis, nComp);
        ++k;
    }
    if (fld != &rec->srcField) rec->srcField = *fld;
    return 1;
}

int CMForward03Snsr06LfOpt::dewarMeaRefSns61Q6B1f(MAGFIELD* fld, CMDataForwardkw* fwd, int order,
                                                  CFISrcSnsLf* rec) {
    if (!fld || !rec || !dewarBegin(fwd, order)) return 0;
    if (fwd->numLf < 1 || fwd->numLf > 3) return 0;
    if (!dewarRecFits(fwd, rec, 0)) return 0;
    const int nComp = static_cast<int>(fwd->numLf);
    CForwardChnlkw* ch = fwd->pFwdChnl;
    double** R = fwd->refLfMtx.checkInit(ch->numChnl, 3, true);
    if (!R) return 0;
    for (std::int64_t i = 0; i < ch->numChnl; ++i) {
        CForwardC0SnsCoilskw& e = ch->pSnsCoils[i];
        R[i][0] = isRefKind(e.snsKind) ? sns36Q6LfOpt(e.pMEGSns, fld, orderCoilIntg, snsOrigin(e.pMEGSns),
                                                      &rec->srcBasis, nComp)
                                       : 0.0;
    }
    std::int64_t k = 0;
    for (std::int64_t i = 0; i < ch->numChnl; ++i) {
        CForwardC0SnsCoilskw& e = ch->pSnsCoils[i];
        if (!isMeaKind(e.snsKind)) continue;
        double b = sns36Q6LfOpt(e.pMEGSns, fld, orderCoilIntg, snsOrigin(e.pMEGSns), &rec->srcBasis, nComp);
        for (std::int64_t w = 0; e.pRefCoef && w < e.numRefCoef; ++w) {
            const int idx = e.pRefCoef[w].chnlIdx;
            if (idx < 0 || idx >= ch->numChnl) continue;  // a weight naming no entry is skipped
            b -= R[idx][0] * e.pRefCoef[w].coef;
        }
        rec->pSnsLf[k].bcmp = b;
        ++k;
    }
    if (fld != &rec->srcField) rec->srcField = *fld;
    return 1;
}
