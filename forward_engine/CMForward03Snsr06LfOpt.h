// The public entry of the leadfield-based field values, and the checks that
// every dewar scan makes before it writes into a source record.
#pragma once

#include <cstdint>

#include "forward_data/CFISrcSnsLf.h"
#include "forward_engine/CMForward03Snsr04LfOpt.h"

class CMForward03Snsr06LfOpt : public CMForward03Snsr04LfOpt {
public:
    // Field value of the dipole fld in the sensor from the coil-level
    // leadfields: nComp 2 along basis.q[0], basis.q[1] (basis.r is
    // overwritten with fld.pos - origin), nComp 3 along x, y, z (basis
    // unused); the CTF or standard model by snsFwdModel. Any other nComp
    // shows "Wrong leafield number!" and gives 0.0.
    double sns36Q6LfOpt(CMEGSensorkw* sensor, MAGFIELD* fld, int order, double* origin, R3Q3x3* basis, int nComp);

protected:
    // First steps of every dewar scan: resolves, checks (with its message)
    // and stores the order, then requires a channel set with an entry table
    // and at least one entry.
    int dewarBegin(CMDataForwardkw* fwd, int& order);
    // Number of measurement entries (kinds 100..103) of the channel table.
    static std::int64_t numMeaEntries(const CMDataForwardkw* fwd);
    // The record can take a scan: one sensor record for every measurement
    // entry (numSns at least their number, records present when there is
    // any) and, for nLf > 0, every sensor record below numSns holding at
    // least nLf values. A dewar scan refuses a record that fails this before
    // it writes anything.
    static int dewarRecFits(const CMDataForwardkw* fwd, const CFISrcSnsLf* rec, int nLf);
    // Origin of a sensor's computations: the centre of its local sphere.
    static double* snsOrigin(CMEGSensorkw* sensor) { return sensor ? sensor->localSphere : nullptr; }
    static bool isMeaKind(std::int64_t k) { return k >= 100 && k <= 103; }
    static bool isRefKind(std::int64_t k) { return k >= 10 && k <= 13; }

private:
    friend struct CMForward03Snsr06LfOptTestAccess;  // unit tests reach the dewar variants through it

    // Field values of fld for every measurement sensor into bcmp, from this
    // leadfield-based family with the manager's numLf components (2: the
    // record's srcBasis as basis; 3: x, y, z; 1: "Wrong leafield number!" and
    // 0.0 per sensor); fails for numLf outside 1..3. Copies *fld into
    // rec.srcField and leaves its tags and srcBasis.nq as the copy gives them.
    int dewarMeaSns60Q6B1f(MAGFIELD* fld, CMDataForwardkw* fwd, int order, CFISrcSnsLf* rec);
    // The same with reference correction: each measurement value minus the
    // weighted values of its reference channels (refLfMtx column 0).
    int dewarMeaRefSns61Q6B1f(MAGFIELD* fld, CMDataForwardkw* fwd, int order, CFISrcSnsLf* rec);
};
