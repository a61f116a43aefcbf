// The point loops for x86-64-v4 (AVX-512 F, CD, BW, DQ, VL): compiled with
// -march=x86-64-v4 and 512-bit vectors (CMakeLists.txt), and run only where
// the processor has it.
#if defined(__x86_64__)
#if !defined(__AVX512F__) || !defined(__AVX512DQ__) || !defined(__AVX512VL__)
#error "PointLoopsAvx512.cpp must be compiled with -march=x86-64-v4"
#endif
#define MEGFWD_LOOP_ENTRY runAvx512
#include "forward_fast/PointLoops.inc"
#endif
