#pragma once

#include "forward_engine/CMForward02Coil08QornSph.h"

class CMForward03Snsr01Bpo : public CMForward02Coil08QornSph {
public:
};
