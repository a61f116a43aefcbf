// Grid scans of leadfields: every source record of the manager filled with
// its sensors' leadfields, two components along the source's tangential
// basis when the manager's isTangLfd is set, else three along x, y, z.
#pragma once

#include "forward_engine/CMForward08Grid01Bcmp.h"

class CMForward08Grid03Lfd : public CMForward08Grid01Bcmp {
public:
    // Leadfields from the sensor-level leadfield functions, with reference
    // correction when isUseRefSns is non-zero. A source out of the scan
    // (isVoxIn not exactly 1) gets all its leadfield values 0 and keeps its
    // srcField. A manager with a record whose leadfield arrays are shorter
    // than the components written is refused (0, nothing touched). 1 when
    // every source was done; 0 at the first failing source (later sources
    // keep their old contents).
    int gridDewarLfd(CMDataForwardkw* fwd);
    // The same leadfields as field values of unit moments along each basis
    // direction.
    int gridDewarLfx(CMDataForwardkw* fwd);

private:
    // The scan shared by both: unitMoments selects the Lfx dewar scans.
    int gridDewarLf(CMDataForwardkw* fwd, bool unitMoments);
};
