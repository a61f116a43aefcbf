#pragma once

#include "forward_engine/CMForward03Snsr02LfAxl.h"

class CMForward03Snsr04LfOpt : public CMForward03Snsr02LfAxl {
public:
};
