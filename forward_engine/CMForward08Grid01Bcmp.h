#pragma once

#include "forward_engine/CMForward06Dewar06MeaRefSns.h"

class CMForward08Grid01Bcmp : public CMForward06Dewar06MeaRefSns {
public:
};
