// The entry points of the three builds of the point loops (PointLoops.inc),
// for the dispatch in FastPointKernels.cpp. Each runs the loop of `family`
// as runPointKernel describes; only the instruction set differs. `refined`
// asks for the refined arithmetic, which the x86-64 build does not have (it
// then runs the exact one).
#pragma once

#include <cstdint>

#include "forward_fast/FastPointKernels.h"

namespace megfwd::fast::loops {

using LoopEntry = std::int64_t (*)(PointFamily family, const PointArrays& pts, std::int64_t begin, std::int64_t end,
                                   const double* src, double* vx, double* vy, double* vz, bool refined);

std::int64_t runX86_64(PointFamily family, const PointArrays& pts, std::int64_t begin, std::int64_t end,
                       const double* src, double* vx, double* vy, double* vz, bool refined);
#if defined(__x86_64__)
std::int64_t runAvx2(PointFamily family, const PointArrays& pts, std::int64_t begin, std::int64_t end,
                     const double* src, double* vx, double* vy, double* vz, bool refined);
std::int64_t runAvx512(PointFamily family, const PointArrays& pts, std::int64_t begin, std::int64_t end,
                       const double* src, double* vx, double* vy, double* vz, bool refined);
#endif

}  // namespace megfwd::fast::loops
