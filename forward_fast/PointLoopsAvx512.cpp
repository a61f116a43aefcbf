// The point loops for x86-64-v4 (AVX-512 F, CD, BW, DQ, VL): compiled with
// -march=x86-64-v4 and 512-bit vectors (CMakeLists.txt), and run only where
// the processor has it.
#if defined(__x86_64__)
#if !defined(__AVX512F__) || !defined(__AVX512DQ__) || !defined(__AVX512VL__)
#error "PointLoopsAvx512.cpp must be compiled with -march=x86-64-v4"
#endif
#define MEGFWD_LOOP_ENTRY runAvx512
// The refined arithmetic: AVX-512's estimates in double precision (relative
// error below 2^-14, over the whole double range) and two Newton steps.
#define MEGFWD_REFINED_WIDTH 8
// (The zero-masked forms: the plain ones start from an undefined register,
// which GCC 12 reports as maybe uninitialised.)
#define MEGFWD_RSQRT_ESTIMATE(x) ((V)_mm512_maskz_rsqrt14_pd((__mmask8)-1, (__m512d)(x)))
#define MEGFWD_RECIP_ESTIMATE(x) ((V)_mm512_maskz_rcp14_pd((__mmask8)-1, (__m512d)(x)))
#define MEGFWD_NEWTON_STEPS 2
#define MEGFWD_REFINED_MIN 0x1p-1000
#define MEGFWD_REFINED_MAX 0x1p1000
#define MEGFWD_ANY_LANE(m) (_mm512_test_epi64_mask((__m512i)(m), (__m512i)(m)) != 0)
#include "forward_fast/PointLoops.inc"
#endif
