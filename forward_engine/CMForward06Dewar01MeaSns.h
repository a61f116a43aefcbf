#pragma once

#include "forward_engine/CMForward03Snsr06LfOpt.h"

class CMForward06Dewar01MeaSns : public CMForward03Snsr06LfOpt {
public:
};
