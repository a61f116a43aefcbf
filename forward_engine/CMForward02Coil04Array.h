#pragma once

#include "forward_engine/CMForward02Coil03xyz.h"

class CMForward02Coil04Array : public CMForward02Coil03xyz {
public:
};
