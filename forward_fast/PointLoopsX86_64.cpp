// The point loops for every x86-64 processor (SSE2), or plain C++ elsewhere.
// GCC 12 keeps these loops scalar for SSE2: counting the points without a
// value needs a select of integers by a mask of doubles, which it does not
// vectorise there. Processors from about 2013 on run the AVX2 build.
#define MEGFWD_LOOP_ENTRY runX86_64
#include "forward_fast/PointLoops.inc"
