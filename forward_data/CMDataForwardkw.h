// The most-derived forward data manager: leadfield access (whole arrays, one
// source as a matrix), strengths, SVD projections and the readiness check.
#pragma once

#include "forward_process/CMDataForward03PostFwdProcess.h"

class CMDataForwardkw : public CMDataForward03PostFwdProcess {
public:
};
