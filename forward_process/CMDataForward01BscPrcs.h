// Leadfield normalisation: divides the leadfields of all sources by one
// common scale (or one scale per component).
#pragma once

#include "forward_data/CMDataForward.h"

class CMDataForward01BscPrcs : public CMDataForward {
public:
};
