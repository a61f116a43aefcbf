// The point loops for x86-64-v3 (AVX2, FMA): compiled with -march=x86-64-v3
// (CMakeLists.txt), and run only where the processor has it.
#if defined(__x86_64__)
#if !defined(__AVX2__) || !defined(__FMA__)
#error "PointLoopsAvx2.cpp must be compiled with -march=x86-64-v3"
#endif
#define MEGFWD_LOOP_ENTRY runAvx2
#include "forward_fast/PointLoops.inc"
#endif
