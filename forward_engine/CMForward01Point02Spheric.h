#pragma once

#include "forward_engine/CMForward.h"

class CMForward01Point02Spheric : public CMForward {
public:
};
