#include "forward_engine/CMForward08Grid01Bcmp.h"

#include <cstdint>
#include <limits>

#include "forward_process/CMDataForwardkw.h"

int CMForward08Grid01Bcmp::gridCheckManager(CMDataForwardkw* fwd) {
    if (!fwd) return 0;
    pDataFwd = fwd;
    if (!fwd->pFwdChnl || fwd->numSns < 2) return 0;
    if (!fwd->pFwdPos || fwd->pFwdPos->numPos < 1 || fwd->numSrc != fwd->pFwdPos->numPos) return 0;
    if (fwd->pVoxSnsLfx) {
        if (fwd->numLf < std::numeric_limits<std::int32_t>::min() || fwd->numLf > std::numeric_limits<std::int32_t>::max())
            return 0;
        if (fwd->numLf != fwd->pVoxSnsLfx[0].numLf) return 0;
    }
    if (fwd->pFwdChnl->numChnl < 1 || !fwd->pVoxSnsLfx || fwd->numSrc < 1) return 0;
    return 1;
}

int CMForward08Grid01Bcmp::gridRecordsFit(CMDataForwardkw* fwd, int nLf) {
    if (!fwd->pFwdChnl->pSnsCoils) return 0;
    for (std::int64_t i = 0; i < fwd->numSrc; ++i) {
        const CFISrcSnsLf& rec = fwd->pVoxSnsLfx[i];
        if (rec.isVoxIn == 1 && !dewarRecFits(fwd, &rec, nLf)) return 0;
    }
    return 1;
}

int CMForward08Grid01Bcmp::gridDewarBcmp(CMDataForwardkw* fwd) {
    if (!gridCheckManager(fwd) || !gridRecordsFit(fwd, 0)) return 0;
    for (std::int64_t i = 0; i < fwd->numSrc; ++i) {
        CFISrcSnsLf* rec = &fwd->pVoxSnsLfx[i];
        if (rec->isVoxIn != 1) {
            if (rec->numSns >= 0 && rec->pSnsLf)
                for (std::int64_t s = 0; s < rec->numSns; ++s) rec->pSnsLf[s].bcmp = 0.0;
            continue;
        }
        const int ok = isUseRefSns ? dewarMeaRefSns61Q6B1m(&rec->srcField, fwd, orderCoilIntg, rec)
                                   : dewarMeaSns60Q6B1m(&rec->srcField, fwd, orderCoilIntg, rec);
        if (!ok) return 0;
    }
    return 1;
}

int CMForward08Grid01Bcmp::dewarSrcMom2Bcmp(CMDataForwardkw* fwd, MAGFIELD* fld, CFISrcSnsLf* rec) {
    if (!fwd) fwd = pDataFwd;
    if (!fwd || !fld || !rec) return 0;
    if (!gridCheckManager(fwd)) return 0;
    return isUseRefSns ? dewarMeaRefSns61Q6B1m(fld, fwd, orderCoilIntg, rec)
                       : dewarMeaSns60Q6B1m(fld, fwd, orderCoilIntg, rec);
}
