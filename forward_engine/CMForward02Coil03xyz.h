#pragma once

#include "forward_engine/CMForward02Coil02xz.h"

class CMForward02Coil03xyz : public CMForward02Coil02xz {
public:
};
