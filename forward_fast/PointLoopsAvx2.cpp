// The point loops for x86-64-v3 (AVX2, FMA): compiled with -march=x86-64-v3
// (CMakeLists.txt), and run only where the processor has it.
#if defined(__x86_64__)
#if !defined(__AVX2__) || !defined(__FMA__)
#error "PointLoopsAvx2.cpp must be compiled with -march=x86-64-v3"
#endif
#define MEGFWD_LOOP_ENTRY runAvx2
// The refined arithmetic: AVX2 has reciprocal and reciprocal square-root
// estimates in single precision only (relative error below 1.5 x 2^-12), so
// the doubles go through floats (whose normal range bounds the arguments
// taken) and three Newton steps.
#define MEGFWD_REFINED_WIDTH 4
#define MEGFWD_RSQRT_ESTIMATE(x) ((V)_mm256_cvtps_pd(_mm_rsqrt_ps(_mm256_cvtpd_ps((__m256d)(x)))))
#define MEGFWD_RECIP_ESTIMATE(x) ((V)_mm256_cvtps_pd(_mm_rcp_ps(_mm256_cvtpd_ps((__m256d)(x)))))
#define MEGFWD_NEWTON_STEPS 3
#define MEGFWD_REFINED_MIN 0x1p-120
#define MEGFWD_REFINED_MAX 0x1p120
#define MEGFWD_ANY_LANE(m) (!_mm256_testz_si256((__m256i)(m), (__m256i)(m)))
#include "forward_fast/PointLoops.inc"
#endif
