// Pre-forward processing: sphere choice, local spheres, leadfield records
// with positions and sensor identities, source stencils, centring, axis and
// unit changes before a scan.
#pragma once

#include "forward_process/CMDataForward01BscPrcs.h"

class CMDataForward02PreFwdProcess : public CMDataForward01BscPrcs {
public:
};
