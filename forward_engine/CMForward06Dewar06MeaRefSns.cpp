#include "forward_engine/CMForward06Dewar06MeaRefSns.h"

#include "forward_process/CMDataForwardkw.h"

void CMForward06Dewar06MeaRefSns::subtractRefs(const CForwardC0SnsCoilskw& e, double** R, std::int64_t numChnl,
                                               int nComp, double* val) {
    if (!e.pRefCoef) return;
    for (std::int64_t w = 0; w < e.numRefCoef; ++w) {
        const int idx = e.pRefCoef[w].chnlIdx;
        if (idx < 0 || idx >= numChnl) continue;
        const double coef = e.pRefCoef[w].coef;
        for (int m = 0; m < nComp; ++m) val[m] -= R[idx][m] * coef;
    }
}

int CMForward06Dewar06MeaRefSns::dewarMeaRefSns61Q6B1m(MAGFIELD* fld, CMDataForwardkw* fwd, int order,
                                                       CFISrcSnsLf* rec) {
    if (!fld || !rec || !dewarBegin(fwd, order)) return 0;
    if (!dewarRecFits(fwd, rec, 0)) return 0;
    CForwardChnlkw* ch = fwd->pFwdChnl;
    double** R = fwd->refLfMtx.checkInit(ch->numChnl, 3, true);
    if (!R) return 0;
    for (std::int64_t i = 0; i < ch->numChnl; ++i) {
        CForwardC0SnsCoilskw& e = ch->pSnsCoils[i];
        R[i][0] = isRefKind(e.snsKind) ? dewarSnsQ6B1(e.pMEGSns, fld) : 0.0;
    }
    std::int64_t k = 0;
    for (std::int64_t i = 0; i < ch->numChnl; ++i) {
        CForwardC0SnsCoilskw& e = ch->pSnsCoils[i];
        if (!isMeaKind(e.snsKind)) continue;
        double b = dewarSnsQ6B1(e.pMEGSns, fld);
        subtractRefs(e, R, ch->numChnl, 1, &b);
        rec->pSnsLf[k].bcmp = b;
        ++k;
    }
    if (fld != &rec->srcField) rec->srcField = *fld;
    return 1;
}

int CMForward06Dewar06MeaRefSns::dewarMeaRefSns61Q3Lfd(MAGFIELD* fld, CMDataForwardkw* fwd, CSpherekw* sph,
                                                       int order, CFISrcSnsLf* rec) {
    if (!fld || !rec || !dewarBegin(fwd, order)) return 0;
    const int nComp = fwd->isTangLfd ? 2 : 3;
    if (!dewarRecFits(fwd, rec, nComp)) return 0;
    CForwardChnlkw* ch = fwd->pFwdChnl;
    double** R = fwd->refLfMtx.checkInit(ch->numChnl, 3, true);
    if (!R) return 0;
    rec->srcBasis.nq = nComp;
    if (nComp == 2 && !set2DVect4SrcAll(fld->pos, sph, &rec->srcBasis)) return 0;
    for (std::int64_t i = 0; i < ch->numChnl; ++i) {
        CForwardC0SnsCoilskw& e = ch->pSnsCoils[i];
        if (isRefKind(e.snsKind)) {
            if (!dewarSnsLfd(e.pMEGSns, fld, order, nComp, rec, R[i])) return 0;
        } else {
            for (int m = 0; m < nComp; ++m) R[i][m] = 0.0;
        }
    }
    std::int64_t k = 0;
    for (std::int64_t i = 0; i < ch->numChnl; ++i) {
        CForwardC0SnsCoilskw& e = ch->pSnsCoils[i];
        if (!isMeaKind(e.snsKind)) continue;
        double* lf = rec->pSnsLf[k].pLf;
        if (!dewarSnsLfd(e.pMEGSns, fld, order, nComp, rec, lf)) return 0;
        subtractRefs(e, R, ch->numChnl, nComp, lf);
        ++k;
    }
    if (fld != &rec->srcField) rec->srcField = *fld;
    rec->srcField.momDim = nComp;
    return 1;
}

int CMForward06Dewar06MeaRefSns::dewarMeaRefSns61Q3Lfx(MAGFIELD* fld, CMDataForwardkw* fwd, CSpherekw* sph,
                                                       int order, CFISrcSnsLf* rec) {
    if (!fld || !rec || !dewarBegin(fwd, order)) return 0;
    const int nComp = fwd->isTangLfd ? 2 : 3;
    if (!dewarRecFits(fwd, rec, nComp)) return 0;
    if (nComp == 3) {
        setAxes4Basis(&rec->srcBasis);
        setBasisR4Sphere(fld, sph, rec);
    } else {
        if (!set2DVect4SrcAll(fld->pos, sph, &rec->srcBasis)) return 0;
        rec->srcBasis.nq = 2;
    }
    if (fld != &rec->srcField) rec->srcField = *fld;
    for (int j = 0; j < nComp; ++j) {
        for (int m = 0; m < 3; ++m) rec->srcField.mom[m] = rec->srcBasis.q[j][m];
        if (!dewarMeaRefSns61Q6B1m(&rec->srcField, fwd, order, rec)) return 0;
        for (std::int64_t s = 0; s < rec->numSns; ++s) rec->pSnsLf[s].pLf[j] = rec->pSnsLf[s].bcmp;
    }
    rec->srcBasis.nq = nComp;
    return 1;
}
