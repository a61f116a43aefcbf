#include "forward_fast/FastPointKernels.h"

#include <cfloat>
#include <cmath>

// This file is compiled with -fno-math-errno -fno-trapping-math and the
// dynamic vectorisation cost model (see CMakeLists.txt): the square roots and
// the selects below then become vector instructions. Each loop is built twice,
// for plain x86-64 (SSE2) and for AVX2, and the processor picks one at load.
// Under ThreadSanitizer the loader would run the choosing function before the
// sanitizer's runtime is set up, so that build keeps the plain loop only.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define MEGFWD_POINT_LOOP __attribute__((target_clones("avx2", "default")))
#else
#define MEGFWD_POINT_LOOP
#endif

namespace megfwd::fast::loops {

// Every loop reads the arrays through restrict-qualified locals and computes
// without branches: a degenerate point runs on harmless substitutes (1 for
// the vanishing length) and its weight is taken as 0, so its values are 0;
// the degenerate points are counted. (Selecting the final values instead
// would let the compiler move the loads of the normal behind a branch, which
// it then cannot turn into vector code.)

// Sarvas: d = r - r0, a = |d|, rn = |r|, F = a (rn a + rn^2 - r0 . r),
// grad F = (a^2/rn + (d . r)/a + 2a + 2rn) r - (a + 2rn + (d . r)/a) r0,
// value_j = k/F^2 (F (r0 x n)_j - (grad F . n) (r0 x r)_j).
MEGFWD_POINT_LOOP
std::int64_t sarvas(const PointArrays& P, std::int64_t b, std::int64_t e, double s0, double s1, double s2, double k,
                    double* __restrict vx, double* __restrict vy, double* __restrict vz) {
    const double* __restrict px = P.px;
    const double* __restrict py = P.py;
    const double* __restrict pz = P.pz;
    const double* __restrict nx = P.nx;
    const double* __restrict ny = P.ny;
    const double* __restrict nz = P.nz;
    const double* __restrict ox = P.ox;
    const double* __restrict oy = P.oy;
    const double* __restrict oz = P.oz;
    const double* __restrict w = P.w;
    std::int64_t bad = 0;
    for (std::int64_t i = b; i < e; ++i) {
        const double x = px[i], y = py[i], z = pz[i];
        const double q0 = s0 - ox[i], q1 = s1 - oy[i], q2 = s2 - oz[i];
        const double d0 = x - q0, d1 = y - q1, d2 = z - q2;
        const double a0 = std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
        const double rn0 = std::sqrt(x * x + y * y + z * z);
        const double F0 = a0 * (rn0 * a0 + rn0 * rn0 - (q0 * x + q1 * y + q2 * z));
        const bool none = (F0 == 0.0) | !(std::fabs(F0) <= DBL_MAX);
        const double a = none ? 1.0 : a0, rn = none ? 1.0 : rn0, F = none ? 1.0 : F0;
        const double dr = (d0 * x + d1 * y + d2 * z) / a;
        const double cr = a * a / rn + dr + 2.0 * a + 2.0 * rn;
        const double c0 = a + 2.0 * rn + dr;
        const double g0 = cr * x - c0 * q0, g1 = cr * y - c0 * q1, g2 = cr * z - c0 * q2;
        const double n0 = nx[i], n1 = ny[i], n2 = nz[i];
        const double gn = g0 * n0 + g1 * n1 + g2 * n2;
        const double cn0 = q1 * n2 - q2 * n1, cn1 = q2 * n0 - q0 * n2, cn2 = q0 * n1 - q1 * n0;
        const double cp0 = q1 * z - q2 * y, cp1 = q2 * x - q0 * z, cp2 = q0 * y - q1 * x;
        const double f = k / (F * F);
        const double wt = none ? 0.0 : w[i];
        vx[i - b] = wt * (f * (F * cn0 - gn * cp0));
        vy[i - b] = wt * (f * (F * cn1 - gn * cp1));
        vz[i - b] = wt * (f * (F * cn2 - gn * cp2));
        bad += none ? 1 : 0;
    }
    return bad;
}

// Cuffin (FieldTrip form): alpha = -1/(a (r . d + a rn)),
// g = (1/a - 2 alpha |r0|^2 - 1/rn) r + 2 alpha (r0 . r) r0 - (r0 . d)/a^3 d,
// t7 = |r x r0|^2, beta = (g . n)/t7 (0 when t7 is below the threshold),
// values = (k (alpha n + beta r)) x r0.
MEGFWD_POINT_LOOP
std::int64_t cuffin(const PointArrays& P, std::int64_t b, std::int64_t e, double s0, double s1, double s2, double k,
                    double* __restrict vx, double* __restrict vy, double* __restrict vz) {
    constexpr double kParallel = 2.220446049250313e-16;
    const double* __restrict px = P.px;
    const double* __restrict py = P.py;
    const double* __restrict pz = P.pz;
    const double* __restrict nx = P.nx;
    const double* __restrict ny = P.ny;
    const double* __restrict nz = P.nz;
    const double* __restrict ox = P.ox;
    const double* __restrict oy = P.oy;
    const double* __restrict oz = P.oz;
    const double* __restrict w = P.w;
    std::int64_t bad = 0;
    for (std::int64_t i = b; i < e; ++i) {
        const double x = px[i], y = py[i], z = pz[i];
        const double q0 = s0 - ox[i], q1 = s1 - oy[i], q2 = s2 - oz[i];
        const double d0 = x - q0, d1 = y - q1, d2 = z - q2;
        const double a0 = std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
        const double rn0 = std::sqrt(x * x + y * y + z * z);
        const double den0 = -a0 * ((x * d0 + y * d1 + z * d2) + a0 * rn0);
        const bool none = (a0 == 0.0) | (rn0 == 0.0) | (den0 == 0.0) | !(std::fabs(den0) <= DBL_MAX);
        const double a = none ? 1.0 : a0, rn = none ? 1.0 : rn0, den = none ? 1.0 : den0;
        const double alpha = 1.0 / den;
        const double A = 1.0 / a - 2.0 * alpha * (q0 * q0 + q1 * q1 + q2 * q2) - 1.0 / rn;
        const double Bc = 2.0 * alpha * (q0 * x + q1 * y + q2 * z);
        const double Cd = -(q0 * d0 + q1 * d1 + q2 * d2) / (a * a * a);
        const double g0 = A * x + Bc * q0 + Cd * d0;
        const double g1 = A * y + Bc * q1 + Cd * d1;
        const double g2 = A * z + Bc * q2 + Cd * d2;
        const double rx0 = y * q2 - z * q1, rx1 = z * q0 - x * q2, rx2 = x * q1 - y * q0;
        const double t70 = rx0 * rx0 + rx1 * rx1 + rx2 * rx2;
        const bool parallel = t70 < kParallel;
        const double t7 = parallel ? 1.0 : t70;
        const double n0 = nx[i], n1 = ny[i], n2 = nz[i];
        const double beta0 = (g0 * n0 + g1 * n1 + g2 * n2) / t7;
        const double beta = parallel ? 0.0 : beta0;
        const double u0 = k * (alpha * n0 + beta * x);
        const double u1 = k * (alpha * n1 + beta * y);
        const double u2 = k * (alpha * n2 + beta * z);
        const double wt = none ? 0.0 : w[i];
        vx[i - b] = wt * (u1 * q2 - u2 * q1);
        vy[i - b] = wt * (u2 * q0 - u0 * q2);
        vz[i - b] = wt * (u0 * q1 - u1 * q0);
        bad += none ? 1 : 0;
    }
    return bad;
}

// Biot-Savart of a current dipole, and the primary-current field of a
// magnetic source: values = (d x n) k/a^3.
MEGFWD_POINT_LOOP
std::int64_t biotSavart(const PointArrays& P, std::int64_t b, std::int64_t e, double s0, double s1, double s2,
                        double k, double* __restrict vx, double* __restrict vy, double* __restrict vz) {
    const double* __restrict px = P.px;
    const double* __restrict py = P.py;
    const double* __restrict pz = P.pz;
    const double* __restrict nx = P.nx;
    const double* __restrict ny = P.ny;
    const double* __restrict nz = P.nz;
    const double* __restrict ox = P.ox;
    const double* __restrict oy = P.oy;
    const double* __restrict oz = P.oz;
    const double* __restrict w = P.w;
    std::int64_t bad = 0;
    for (std::int64_t i = b; i < e; ++i) {
        const double q0 = s0 - ox[i], q1 = s1 - oy[i], q2 = s2 - oz[i];
        const double d0 = px[i] - q0, d1 = py[i] - q1, d2 = pz[i] - q2;
        const double a = std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
        const double a30 = a * a * a;
        const bool none = (a30 == 0.0) | (a30 != a30);
        const double a3 = none ? 1.0 : a30;
        const double n0 = nx[i], n1 = ny[i], n2 = nz[i];
        const double f = k / a3;
        const double wt = none ? 0.0 : w[i];
        vx[i - b] = wt * ((d1 * n2 - d2 * n1) * f);
        vy[i - b] = wt * ((d2 * n0 - d0 * n2) * f);
        vz[i - b] = wt * ((d0 * n1 - d1 * n0) * f);
        bad += none ? 1 : 0;
    }
    return bad;
}

// Magnetic dipole: u = d/a, values_j = k/a^3 (3 (u . n) u_j - n_j).
MEGFWD_POINT_LOOP
std::int64_t magneticDipole(const PointArrays& P, std::int64_t b, std::int64_t e, double s0, double s1, double s2,
                            double k, double* __restrict vx, double* __restrict vy, double* __restrict vz) {
    const double* __restrict px = P.px;
    const double* __restrict py = P.py;
    const double* __restrict pz = P.pz;
    const double* __restrict nx = P.nx;
    const double* __restrict ny = P.ny;
    const double* __restrict nz = P.nz;
    const double* __restrict ox = P.ox;
    const double* __restrict oy = P.oy;
    const double* __restrict oz = P.oz;
    const double* __restrict w = P.w;
    std::int64_t bad = 0;
    for (std::int64_t i = b; i < e; ++i) {
        const double q0 = s0 - ox[i], q1 = s1 - oy[i], q2 = s2 - oz[i];
        const double d0 = px[i] - q0, d1 = py[i] - q1, d2 = pz[i] - q2;
        const double a0 = std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
        const double a30 = a0 * a0 * a0;
        const bool none = (a30 == 0.0) | (a30 != a30);
        const double a = none ? 1.0 : a0, a3 = none ? 1.0 : a30;
        const double u0 = d0 / a, u1 = d1 / a, u2 = d2 / a;
        const double n0 = nx[i], n1 = ny[i], n2 = nz[i];
        const double un = 3.0 * (u0 * n0 + u1 * n1 + u2 * n2);
        const double wt = none ? 0.0 : w[i];
        vx[i - b] = wt * (k / a3 * (un * u0 - n0));
        vy[i - b] = wt * (k / a3 * (un * u1 - n1));
        vz[i - b] = wt * (k / a3 * (un * u2 - n2));
        bad += none ? 1 : 0;
    }
    return bad;
}

// Magnetic dipole, tensor form: values_j = k/a^5 (d_j 3 (d . n) - a^2 n_j).
MEGFWD_POINT_LOOP
std::int64_t magneticTensor(const PointArrays& P, std::int64_t b, std::int64_t e, double s0, double s1, double s2,
                            double k, double* __restrict vx, double* __restrict vy, double* __restrict vz) {
    const double* __restrict px = P.px;
    const double* __restrict py = P.py;
    const double* __restrict pz = P.pz;
    const double* __restrict nx = P.nx;
    const double* __restrict ny = P.ny;
    const double* __restrict nz = P.nz;
    const double* __restrict ox = P.ox;
    const double* __restrict oy = P.oy;
    const double* __restrict oz = P.oz;
    const double* __restrict w = P.w;
    std::int64_t bad = 0;
    for (std::int64_t i = b; i < e; ++i) {
        const double q0 = s0 - ox[i], q1 = s1 - oy[i], q2 = s2 - oz[i];
        const double d0 = px[i] - q0, d1 = py[i] - q1, d2 = pz[i] - q2;
        const double a2 = d0 * d0 + d1 * d1 + d2 * d2;
        const double a50 = a2 * a2 * std::sqrt(a2);
        const bool none = (a50 == 0.0) | (a50 != a50);
        const double a5 = none ? 1.0 : a50;
        const double c5 = k / a5;
        const double n0 = nx[i], n1 = ny[i], n2 = nz[i];
        const double dn = 3.0 * (d0 * n0 + d1 * n1 + d2 * n2);
        const double wt = none ? 0.0 : w[i];
        vx[i - b] = wt * (c5 * (d0 * dn - a2 * n0));
        vy[i - b] = wt * (c5 * (d1 * dn - a2 * n1));
        vz[i - b] = wt * (c5 * (d2 * dn - a2 * n2));
        bad += none ? 1 : 0;
    }
    return bad;
}

}  // namespace megfwd::fast::loops

namespace megfwd::fast {

std::int64_t runPointKernel(PointFamily family, double k, const PointArrays& pts, std::int64_t begin,
                            std::int64_t end, const double* src, double* vx, double* vy, double* vz) {
    if (begin >= end) return 0;
    const double s0 = src[0], s1 = src[1], s2 = src[2];
    switch (family) {
        case PointFamily::Cuffin: return loops::cuffin(pts, begin, end, s0, s1, s2, k, vx, vy, vz);
        case PointFamily::BiotSavart: return loops::biotSavart(pts, begin, end, s0, s1, s2, k, vx, vy, vz);
        case PointFamily::MagneticDipole: return loops::magneticDipole(pts, begin, end, s0, s1, s2, k, vx, vy, vz);
        case PointFamily::MagneticTensor: return loops::magneticTensor(pts, begin, end, s0, s1, s2, k, vx, vy, vz);
        case PointFamily::Sarvas:
        default: return loops::sarvas(pts, begin, end, s0, s1, s2, k, vx, vy, vz);
    }
}

}  // namespace megfwd::fast
