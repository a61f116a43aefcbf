#pragma once

#include "forward_engine/CMForward08Grid01Bcmp.h"

class CMForward08Grid03Lfd : public CMForward08Grid01Bcmp {
public:
};
