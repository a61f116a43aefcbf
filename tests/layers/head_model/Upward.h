// A head-model header that reaches up into the whole-computation API: the
// layer check must refuse it.
#pragma once
#include "forward_api/Compute.h"
