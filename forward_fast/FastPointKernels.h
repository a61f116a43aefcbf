// The point loops of the fast leadfield path: one tight loop over the
// integration points of every coil of every sensor, laid out as a structure
// of arrays, for one source.
//
// For each point i the loop forms the source position relative to the
// point's origin, r0 = src - o_i, evaluates the coil-level three-component
// leadfield of the chosen formula family at the point p_i with coil normal
// n_i (the component of the field along n_i for unit moments along x, y and
// z at r0), and stores it multiplied by the point's folded weight wk_i (its
// weight times the formula's factor) into vx[i - begin], vy[i - begin],
// vz[i - begin]. Everything about a point that does not depend on the source
// (|p|, 1/|p|, p . n, the folded weight) comes precomputed, so that each
// point-source pair costs one square root and one division. The loops are
// written without branches so that the compiler vectorises them; where a
// formula has no finite value (the members' zero-output cases) the point's
// values are 0 and the point is counted.
//
// The loops are built three times: for plain x86-64, for x86-64-v3 (AVX2,
// FMA) and for x86-64-v4 (AVX-512). The first call picks the best build the
// processor supports, or the one named by the environment variable
// MEGFWD_KERNEL_BUILD (x86-64, avx2 or avx512) when the processor supports
// it; setKernelBuild changes it later. The builds agree to rounding (the
// vector builds contract products and sums into FMA instructions); each one
// gives the same bits whatever the number of threads.
#pragma once

#include <cstdint>
#include <string>

namespace megfwd::fast {

// Integration points, one entry per point, grouped by sensor.
struct PointArrays {
    const double* px = nullptr;  // point p, relative to the sensor's origin
    const double* py = nullptr;
    const double* pz = nullptr;
    const double* nx = nullptr;  // coil normal n
    const double* ny = nullptr;
    const double* nz = nullptr;
    const double* ox = nullptr;  // origin of the source position for this point
    const double* oy = nullptr;
    const double* oz = nullptr;
    const double* rn = nullptr;    // |p|
    const double* rinv = nullptr;  // 1/|p|, 0 for a point at the origin
    const double* pn = nullptr;    // p . n
    const double* wk = nullptr;    // weight of the point in its sensor's sum, times the formula's factor
    // Every point has the same origin (one sphere): the loops then take the
    // source relative to it once, not per point. Same values either way.
    bool oneOrigin = false;
};

// The source-independent values of one point, as PointArrays holds them.
struct PointConstants {
    double rn, rinv, pn;
};
PointConstants pointConstants(const double* p, const double* n);

// Formula families with a vectorised loop.
enum class PointFamily : int {
    Sarvas = 0,          // scalar/vector/Nut Sarvas forms (all one arithmetic)
    Cuffin = 1,          // Cuffin, FieldTrip form
    BiotSavart = 2,      // Biot-Savart of a current dipole, primary current of a magnetic source
    MagneticDipole = 3,  // magnetic dipole
    MagneticTensor = 4,  // magnetic dipole, tensor form (the same loop: both are k/a^5 (3 (d . n) d - a^2 n))
};

// Runs the loop of `family` over points [begin, end) for the source src (3
// doubles, scan frame) with the build in force, and returns the number of
// points without a finite value (F = 0 for Sarvas and Cuffin; a = 0 for the
// free-space and magnetic forms; a non-finite denominator for every family).
std::int64_t runPointKernel(PointFamily family, const PointArrays& pts, std::int64_t begin, std::int64_t end,
                            const double* src, double* vx, double* vy, double* vz);

// Builds of the loops.
enum class KernelBuild : int {
    X86_64 = 0,  // SSE2, every x86-64 processor (on other processors: plain C++)
    Avx2 = 1,    // x86-64-v3
    Avx512 = 2,  // x86-64-v4
};
constexpr KernelBuild kAllKernelBuilds[] = {KernelBuild::X86_64, KernelBuild::Avx2, KernelBuild::Avx512};

// "x86-64", "avx2", "avx512" (on processors other than x86-64, "generic" for
// X86_64).
const char* kernelBuildName(KernelBuild build);
// The build of a name as kernelBuildName gives it; false for any other name.
bool kernelBuildByName(const char* name, KernelBuild* build);
// Whether this processor (and its operating system) can run the build.
bool isKernelBuildSupported(KernelBuild build);
// The build in force, and its name.
KernelBuild kernelBuild();
const char* kernelBuildName();
// Puts the build in force for every later loop in the process; false, with
// no change, when the processor cannot run it. Safe to call while other
// threads compute: each loop runs wholly with one build.
bool setKernelBuild(KernelBuild build);

// How the loops take their square roots and reciprocals. Exact: the
// processor's square root and division. Refined: reciprocal square-root
// estimates refined by Newton steps to double precision (the AVX2 and
// AVX-512 builds; the x86-64 build runs the exact loops either way); it
// agrees with the exact loops to a few units in the last place. The first
// loop uses the one named by MEGFWD_POINT_ARITHMETIC (exact or refined), or
// else the default.
enum class PointArithmetic : int { Exact = 0, Refined = 1 };
const char* pointArithmeticName(PointArithmetic a);
bool pointArithmeticByName(const char* name, PointArithmetic* a);
PointArithmetic pointArithmetic();
// Puts the arithmetic in force for every later loop in the process; safe to
// call while other threads compute, as setKernelBuild.
void setPointArithmetic(PointArithmetic a);
// The loops' build and arithmetic as the metadata names them ("avx2",
// "avx512, refined").
std::string pointLoopName();

}  // namespace megfwd::fast
