#include "forward_engine/CMForward06Dewar01MeaSns.h"

#include "forward_process/CMDataForwardkw.h"

void CMForward06Dewar01MeaSns::setAxes4Basis(R3Q3x3* basis) {
    for (int j = 0; j < 3; ++j)
        for (int m = 0; m < 3; ++m) basis->q[j][m] = j == m ? 1.0 : 0.0;
    basis->nq = 3;
}

void CMForward06Dewar01MeaSns::setBasisR4Sphere(MAGFIELD* fld, CSpherekw* sph, CFISrcSnsLf* rec) {
    if (!fld || !sph || !rec) return;
    for (int m = 0; m < 3; ++m) rec->srcBasis.r[m] = fld->pos[m] - sph->center[m];
}

int CMForward06Dewar01MeaSns::dewarSnsLfd(CMEGSensorkw* sensor, MAGFIELD* fld, int order, int nComp,
                                          CFISrcSnsLf* rec, double* out) {
    double* origin = snsOrigin(sensor);
    if (nComp == 3) {
        if (snsFwdModel == 1) return sns33Q3Lf3D_ctf12order(sensor, fld->pos, origin, order, out);
        return sns33Q3Lf3D_std1order(sensor, fld->pos, origin, out);
    }
    if (snsFwdModel == 1) return sns32Q3Lf2D_ctf12order(sensor, fld->pos, origin, order, &rec->srcBasis, out);
    return sns32Q3Lf2D_std1order(sensor, fld->pos, origin, &rec->srcBasis, out);
}

double CMForward06Dewar01MeaSns::dewarSnsQ6B1(CMEGSensorkw* sensor, MAGFIELD* fld) {
    double* origin = snsOrigin(sensor);
    if (snsFwdModel == 1) return sns31Q6B1_psCtf(sensor, fld, origin, orderCoilIntg);
    return sns31Q6B1_psStd(sensor, fld, origin);
}

int CMForward06Dewar01MeaSns::dewarMeaSns60Q6B1m(MAGFIELD* fld, CMDataForwardkw* fwd, int order, CFISrcSnsLf* rec) {
    if (!fld || !rec || !dewarBegin(fwd, order)) return 0;
    if (!dewarRecFits(fwd, rec, 0)) return 0;
    CForwardChnlkw* ch = fwd->pFwdChnl;
    std::int64_t k = 0;
    for (std::int64_t i = 0; i < ch->numChnl; ++i) {
        CForwardC0SnsCoilskw& e = ch->pSnsCoils[i];
        if (!isMeaKind(e.snsKind)) continue;
        rec->pSnsLf[k].bcmp = dewarSnsQ6B1(e.pMEGSns, fld);
        ++k;
    }
    if (fld != &rec->srcField) rec->srcField = *fld;
    rec->srcBasis.nq = 0;
    rec->srcField.posDim = 3;
    rec->srcField.momDim = 3;
    return 1;
}

int CMForward06Dewar01MeaSns::dewarMeaSns60Q6B1mSelect(MAGFIELD* fld, CMDataForwardkw* fwd, int order,
                                                       CFISrcSnsLf* rec) {
    if (!fld || !rec || !dewarBegin(fwd, order)) return 0;
    CForwardChnlkw* ch = fwd->pFwdChnl;
    if (rec->numSns > 0 && !rec->pSnsLf) return 0;
    for (std::int64_t k = 0; k < rec->numSns; ++k) {
        const std::int64_t id = rec->pSnsLf[k].chnlID;
        if (id < 0 || id >= ch->numChnl) return 0;
    }
    for (std::int64_t k = 0; k < rec->numSns; ++k)
        rec->pSnsLf[k].bcmp = dewarSnsQ6B1(ch->pSnsCoils[rec->pSnsLf[k].chnlID].pMEGSns, fld);
    if (fld != &rec->srcField) rec->srcField = *fld;
    rec->srcBasis.nq = 0;
    rec->srcField.posDim = 3;
    rec->srcField.momDim = 3;
    return 1;
}

int CMForward06Dewar01MeaSns::dewarMeaSns60Q3Lfd(MAGFIELD* fld, CMDataForwardkw* fwd, CSpherekw* sph, int order,
                                                 CFISrcSnsLf* rec) {
    if (!fld || !rec || !dewarBegin(fwd, order)) return 0;
    const int nComp = fwd->isTangLfd ? 2 : 3;
    if (!dewarRecFits(fwd, rec, nComp)) return 0;
    if (nComp == 3) {
        rec->srcBasis.nq = 3;
    } else {
        if (!set2DVect4SrcAll(fld->pos, sph, &rec->srcBasis)) return 0;
        rec->srcBasis.nq = 2;
    }
    CForwardChnlkw* ch = fwd->pFwdChnl;
    std::int64_t k = 0;
    for (std::int64_t i = 0; i < ch->numChnl; ++i) {
        CForwardC0SnsCoilskw& e = ch->pSnsCoils[i];
        if (!isMeaKind(e.snsKind)) continue;
        if (!dewarSnsLfd(e.pMEGSns, fld, order, nComp, rec, rec->pSnsLf[k].pLf)) return 0;
        ++k;
    }
    if (fld != &rec->srcField) rec->srcField = *fld;
    rec->srcField.momDim = 0;
    return 1;
}

int CMForward06Dewar01MeaSns::dewarMeaSns60Q3Lfx(MAGFIELD* fld, CMDataForwardkw* fwd, CSpherekw* sph, int order,
                                                 CFISrcSnsLf* rec) {
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
        if (!dewarMeaSns60Q6B1m(&rec->srcField, fwd, order, rec)) return 0;
        for (std::int64_t s = 0; s < rec->numSns; ++s) rec->pSnsLf[s].pLf[j] = rec->pSnsLf[s].bcmp;
    }
    rec->srcBasis.nq = nComp;
    return 1;
}
