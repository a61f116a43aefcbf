#include "forward_engine/CMForward08Grid03Lfd.h"

#include "forward_process/CMDataForwardkw.h"

int CMForward08Grid03Lfd::gridDewarLfd(CMDataForwardkw* fwd) { return gridDewarLf(fwd, false); }

int CMForward08Grid03Lfd::gridDewarLfx(CMDataForwardkw* fwd) { return gridDewarLf(fwd, true); }

int CMForward08Grid03Lfd::gridDewarLf(CMDataForwardkw* fwd, bool unitMoments) {
    if (!gridCheckManager(fwd)) return 0;
    const int nComp = fwd->isTangLfd ? 2 : 3;
    if (!gridRecordsFit(fwd, nComp)) return 0;
    CSpherekw* sph = &fwd->singleSphere;
    for (std::int64_t i = 0; i < fwd->numSrc; ++i) {
        CFISrcSnsLf* rec = &fwd->pVoxSnsLfx[i];
        if (rec->isVoxIn != 1) {
            if (rec->numSns >= 0 && rec->pSnsLf)
                for (std::int64_t s = 0; s < rec->numSns; ++s) {
                    CFISnsLf& sl = rec->pSnsLf[s];
                    if (!sl.pLf) continue;
                    for (std::int64_t m = 0; m < sl.numLf; ++m) sl.pLf[m] = 0.0;
                }
            continue;
        }
        int ok;
        if (unitMoments)
            ok = isUseRefSns ? dewarMeaRefSns61Q3Lfx(&rec->srcField, fwd, sph, orderCoilIntg, rec)
                             : dewarMeaSns60Q3Lfx(&rec->srcField, fwd, sph, orderCoilIntg, rec);
        else
            ok = isUseRefSns ? dewarMeaRefSns61Q3Lfd(&rec->srcField, fwd, sph, orderCoilIntg, rec)
                             : dewarMeaSns60Q3Lfd(&rec->srcField, fwd, sph, orderCoilIntg, rec);
        if (!ok) return 0;
    }
    return 1;
}
