#include "forward_fast/FastPointKernels.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "forward_engine/PointFormulas.h"
#include "forward_fast/PointLoops.h"

// The loops are chosen here, at run time, rather than by the loader
// (target_clones): a choice the program makes itself can be forced for a
// test or a comparison, can be named in the output's metadata, and also
// works under ThreadSanitizer, whose runtime is not yet set up when the
// loader runs its choosing functions.

namespace megfwd::fast {

namespace {

constexpr int kUnset = -1;
std::atomic<int> g_build{kUnset};
std::atomic<int> g_arithmetic{kUnset};
// The arithmetic unless MEGFWD_POINT_ARITHMETIC names one.
constexpr PointArithmetic kDefaultArithmetic = PointArithmetic::Exact;

KernelBuild bestSupported() {
    for (int b = 2; b > 0; --b)
        if (isKernelBuildSupported(static_cast<KernelBuild>(b))) return static_cast<KernelBuild>(b);
    return KernelBuild::X86_64;
}

// The build for the first loop: MEGFWD_KERNEL_BUILD when it names a build
// this processor runs, else the best one it runs.
KernelBuild initialBuild() {
    KernelBuild b;
    const char* name = std::getenv("MEGFWD_KERNEL_BUILD");
    if (name && kernelBuildByName(name, &b) && isKernelBuildSupported(b)) return b;
    return bestSupported();
}

loops::LoopEntry entryOf(KernelBuild b) {
#if defined(__x86_64__)
    if (b == KernelBuild::Avx512) return loops::runAvx512;
    if (b == KernelBuild::Avx2) return loops::runAvx2;
#endif
    (void)b;
    return loops::runX86_64;
}

}  // namespace

static_assert(phys::kCuffinParallelEps == 2.220446049250313e-16, "PointLoops.inc repeats the Cuffin threshold");

PointConstants pointConstants(const double* p, const double* n) {
    const double rn = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    return {rn, rn > 0.0 ? 1.0 / rn : 0.0, p[0] * n[0] + p[1] * n[1] + p[2] * n[2]};
}

const char* kernelBuildName(KernelBuild build) {
    switch (build) {
        case KernelBuild::Avx512: return "avx512";
        case KernelBuild::Avx2: return "avx2";
        case KernelBuild::X86_64:
        default:
#if defined(__x86_64__)
            return "x86-64";
#else
            return "generic";
#endif
    }
}

bool kernelBuildByName(const char* name, KernelBuild* build) {
    if (!name) return false;
    for (KernelBuild b : kAllKernelBuilds)
        if (std::strcmp(name, kernelBuildName(b)) == 0) {
            if (build) *build = b;
            return true;
        }
    return false;
}

bool isKernelBuildSupported(KernelBuild build) {
    switch (build) {
        case KernelBuild::X86_64: return true;
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
        // (clang 14, used for the fuzzing build, does not know the level
        // names; there the plain loops run.)
        // The levels' whole feature lists, with the operating system's
        // saving of the wider registers (libgcc reads XCR0 for them).
        case KernelBuild::Avx2: __builtin_cpu_init(); return __builtin_cpu_supports("x86-64-v3");
        case KernelBuild::Avx512: __builtin_cpu_init(); return __builtin_cpu_supports("x86-64-v4");
#endif
        default: return false;
    }
}

KernelBuild kernelBuild() {
    int b = g_build.load(std::memory_order_relaxed);
    if (b == kUnset) {
        // Threads that race here all compute the same choice.
        int want = static_cast<int>(initialBuild());
        if (g_build.compare_exchange_strong(b, want, std::memory_order_relaxed)) b = want;
    }
    return static_cast<KernelBuild>(b);
}

const char* kernelBuildName() { return kernelBuildName(kernelBuild()); }

bool setKernelBuild(KernelBuild build) {
    if (!isKernelBuildSupported(build)) return false;
    g_build.store(static_cast<int>(build), std::memory_order_relaxed);
    return true;
}

const char* pointArithmeticName(PointArithmetic a) { return a == PointArithmetic::Refined ? "refined" : "exact"; }

bool pointArithmeticByName(const char* name, PointArithmetic* a) {
    if (!name) return false;
    for (PointArithmetic x : {PointArithmetic::Exact, PointArithmetic::Refined})
        if (std::strcmp(name, pointArithmeticName(x)) == 0) {
            if (a) *a = x;
            return true;
        }
    return false;
}

PointArithmetic pointArithmetic() {
    int a = g_arithmetic.load(std::memory_order_relaxed);
    if (a == kUnset) {
        PointArithmetic want = kDefaultArithmetic;
        pointArithmeticByName(std::getenv("MEGFWD_POINT_ARITHMETIC"), &want);
        if (g_arithmetic.compare_exchange_strong(a, static_cast<int>(want), std::memory_order_relaxed))
            a = static_cast<int>(want);
    }
    return static_cast<PointArithmetic>(a);
}

void setPointArithmetic(PointArithmetic a) { g_arithmetic.store(static_cast<int>(a), std::memory_order_relaxed); }

std::string pointLoopName() {
    const KernelBuild b = kernelBuild();
    const bool refined = pointArithmetic() == PointArithmetic::Refined && b != KernelBuild::X86_64;
    return std::string(kernelBuildName(b)) + (refined ? ", refined" : "");
}

std::int64_t runPointKernel(PointFamily family, const PointArrays& pts, std::int64_t begin, std::int64_t end,
                            const double* src, double* vx, double* vy, double* vz) {
    if (begin >= end) return 0;
    return entryOf(kernelBuild())(family, pts, begin, end, src, vx, vy, vz,
                                  pointArithmetic() == PointArithmetic::Refined);
}

}  // namespace megfwd::fast
