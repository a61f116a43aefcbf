#pragma once

#include "forward_engine/CMForward03Snsr04LfOpt.h"

class CMForward03Snsr06LfOpt : public CMForward03Snsr04LfOpt {
public:
};
