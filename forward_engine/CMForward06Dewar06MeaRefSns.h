// Dewar scans with reference correction (synthetic gradiometers): the value
// of each measurement sensor minus, for each of its reference weights, the
// weight times the value of the reference channel it names, computed with the
// same sensor model, formula, order and source (component by component for
// leadfields). The reference values are kept in the manager's refLfMtx, one
// row of 3 per channel entry (sized by checkInit(numChnl, 3, true) on every
// call); rows of entries that are not reference sensors hold 0. A weight
// whose chnlIdx names no channel entry (outside 0..numChnl-1) is skipped, and
// a measurement sensor without weights keeps its own value.
#pragma once

#include "forward_engine/CMForward06Dewar01MeaSns.h"

class CForwardC0SnsCoilskw;

class CMForward06Dewar06MeaRefSns : public CMForward06Dewar01MeaSns {
public:
    // Field values into bcmp; copies *fld into rec.srcField; srcBasis untouched.
    int dewarMeaRefSns61Q6B1m(MAGFIELD* fld, CMDataForwardkw* fwd, int order, CFISrcSnsLf* rec);
    // Leadfields from the sensor-level leadfield functions (nq 3, or 2 with
    // the tangential basis of sph); copies *fld into rec.srcField and sets
    // momDim = nq.
    int dewarMeaRefSns61Q3Lfd(MAGFIELD* fld, CMDataForwardkw* fwd, CSpherekw* sph, int order, CFISrcSnsLf* rec);
    // Leadfields as corrected field values of unit moments (one
    // dewarMeaRefSns61Q6B1m pass per basis direction); in the three-component
    // case srcBasis.r = fld.pos - the centre of sph.
    int dewarMeaRefSns61Q3Lfx(MAGFIELD* fld, CMDataForwardkw* fwd, CSpherekw* sph, int order, CFISrcSnsLf* rec);

protected:
    // Subtracts, for each weight of entry e, coef times row chnlIdx of R
    // (components 0..nComp-1) from val.
    static void subtractRefs(const CForwardC0SnsCoilskw& e, double** R, std::int64_t numChnl, int nComp, double* val);
};
