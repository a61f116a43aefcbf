// An API header that uses a head model below it: the layer check accepts it.
#pragma once
#include "head_model/Upward.h"
