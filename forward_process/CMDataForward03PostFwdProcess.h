// Post-forward processing: restores axes and units after a scan, applies the
// sensor-gain signs, scales leadfields to unit size, clears leadfields of
// sources too near a coil.
#pragma once

#include "forward_process/CMDataForward02PreFwdProcess.h"

class CMDataForward03PostFwdProcess : public CMDataForward02PreFwdProcess {
public:
};
