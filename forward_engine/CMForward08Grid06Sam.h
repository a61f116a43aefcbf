#pragma once

#include "forward_engine/CMForward08Grid03Lfd.h"

class CMForward08Grid06Sam : public CMForward08Grid03Lfd {
public:
};
