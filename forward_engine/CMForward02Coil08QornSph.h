#pragma once

#include "forward_engine/CMForward02Coil04Array.h"

class CMForward02Coil08QornSph : public CMForward02Coil04Array {
public:
};
