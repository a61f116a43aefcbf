#pragma once

#include "forward_engine/CMForward03Snsr01Bpo.h"

class CMForward03Snsr02LfAxl : public CMForward03Snsr01Bpo {
public:
};
