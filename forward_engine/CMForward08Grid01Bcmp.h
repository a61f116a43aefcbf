// Grid scans of field values, and the checks that every grid scan makes on
// the manager before it touches a record.
#pragma once

#include "forward_engine/CMForward06Dewar06MeaRefSns.h"

class CMForward08Grid01Bcmp : public CMForward06Dewar06MeaRefSns {
public:
    // For every source record in index order: the field values of the
    // record's own dipole (srcField pos and mom) into its sensors' bcmp, with
    // reference correction when isUseRefSns is non-zero. A source out of the
    // scan (isVoxIn not exactly 1) gets bcmp 0 for every sensor and keeps its
    // srcField. 1 when every source was done; 0 on a refused manager (nothing
    // touched) or at the first failing source (later sources untouched).
    int gridDewarBcmp(CMDataForwardkw* fwd);
    // Field values of the dipole fld into rec; a null fwd takes the manager of
    // an earlier call (pDataFwd). The manager is checked as by the grid scans.
    int dewarSrcMom2Bcmp(CMDataForwardkw* fwd, MAGFIELD* fld, CFISrcSnsLf* rec);

protected:
    // The checks of every grid scan, in this order, with pDataFwd set to fwd
    // after the first: a manager; a channel set and at least 2 measurement
    // sensors; source positions, at least one, as many as numSrc; numLf a
    // 32-bit value equal to the first record's; an entry table with at least
    // one entry, source records and numSrc at least 1.
    int gridCheckManager(CMDataForwardkw* fwd);
    // Every source record in the scan fits the dewar scan: sensor records for
    // all measurement entries and, for nLf > 0, at least nLf values in each.
    // A manager with a record that does not fit is refused before the scan,
    // so no record is written past its end and none is touched at all.
    int gridRecordsFit(CMDataForwardkw* fwd, int nLf);
};
