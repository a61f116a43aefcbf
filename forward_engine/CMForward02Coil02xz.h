#pragma once

#include "forward_engine/CMForward01Point03Cartesian.h"

class CMForward02Coil02xz : public CMForward01Point03Cartesian {
public:
};
