// Dewar scans over the measurement sensors: for one source, the values of
// every MEG measurement sensor (channel kinds 100..103, in channel order)
// into the source's record. The k-th measurement entry writes sensor record
// k; every sensor is computed relative to the centre of its own local sphere.
//
// Every scan first resolves and checks the integration order (with its
// message), requires a channel set, and refuses (0, nothing written) a record
// that has fewer sensor records than there are measurement entries or, for
// the leadfield scans, a sensor record with fewer values than the scan's
// components.
#pragma once

#include "forward_engine/CMForward03Snsr06LfOpt.h"

class CSpherekw;

class CMForward06Dewar01MeaSns : public CMForward03Snsr06LfOpt {
public:
    // Field values of the dipole fld into each sensor record's bcmp (a sensor
    // whose computation fails reads 0.0). Copies *fld into rec.srcField and
    // sets srcBasis.nq = 0, posDim = momDim = 3.
    int dewarMeaSns60Q6B1m(MAGFIELD* fld, CMDataForwardkw* fwd, int order, CFISrcSnsLf* rec);
    // As dewarMeaSns60Q6B1m, but sensor record k takes the sensor of channel
    // entry rec.pSnsLf[k].chnlID, whatever its kind; refuses a record with a
    // chnlID that is no entry index.
    int dewarMeaSns60Q6B1mSelect(MAGFIELD* fld, CMDataForwardkw* fwd, int order, CFISrcSnsLf* rec);
    // Leadfields from the sensor-level leadfield functions: three components
    // (isTangLfd 0, srcBasis.nq = 3) or two along the tangential basis that
    // set2DVect4SrcAll builds on sph (nq = 2). Copies *fld into rec.srcField
    // and sets momDim = 0. The first failing sensor fails the scan.
    int dewarMeaSns60Q3Lfd(MAGFIELD* fld, CMDataForwardkw* fwd, CSpherekw* sph, int order, CFISrcSnsLf* rec);
    // The same leadfields as field values of unit moments along each basis
    // direction (one dewarMeaSns60Q6B1m pass per direction). In the
    // three-component case srcBasis.r is set to fld.pos - the centre of sph
    // (when sph is given), as the reference-corrected scan does, so a reader
    // finds the same record with or without references.
    int dewarMeaSns60Q3Lfx(MAGFIELD* fld, CMDataForwardkw* fwd, CSpherekw* sph, int order, CFISrcSnsLf* rec);

protected:
    // The three-component axes as the basis directions of rec, nq = 3.
    static void setAxes4Basis(R3Q3x3* basis);
    // Sets rec.srcBasis.r = fld.pos - centre of sph (when sph is given).
    static void setBasisR4Sphere(MAGFIELD* fld, CSpherekw* sph, CFISrcSnsLf* rec);
    // The Lfd sensor function of the scan for one sensor: by snsFwdModel and
    // the number of components (2 uses rec.srcBasis).
    int dewarSnsLfd(CMEGSensorkw* sensor, MAGFIELD* fld, int order, int nComp, CFISrcSnsLf* rec, double* out);
    // The Q6B1 sensor function of the scans: Bpo family by snsFwdModel.
    double dewarSnsQ6B1(CMEGSensorkw* sensor, MAGFIELD* fld);
};
