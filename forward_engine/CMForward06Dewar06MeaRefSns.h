#pragma once

#include "forward_engine/CMForward06Dewar01MeaSns.h"

class CMForward06Dewar06MeaRefSns : public CMForward06Dewar01MeaSns {
public:
};
