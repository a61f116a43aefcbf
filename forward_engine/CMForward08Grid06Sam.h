// Last stage of the grid scans before the engine facade. It adds no
// operations: the grid scans of the two stages before it are the host's way
// into the computation.
#pragma once

#include "forward_engine/CMForward08Grid03Lfd.h"

class CMForward08Grid06Sam : public CMForward08Grid03Lfd {
public:
};
