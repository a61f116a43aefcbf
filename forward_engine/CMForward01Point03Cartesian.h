#pragma once

#include "forward_engine/CMForward01Point02Spheric.h"

class CMForward01Point03Cartesian : public CMForward01Point02Spheric {
public:
};
