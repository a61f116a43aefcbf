// Derivatives of the point formulas with respect to the source position, for
// the dipole fit's Jacobian and for leadfield gradients.
//
// Notation as in PointFormulas.h: r the field point and r0 the source, both
// relative to the sphere centre (or the point's origin), d = r - r0,
// a = |d|, rn = |r|, n the coil normal, k the factor standing for mu0/4pi.
// Each function gives the coil-level three-component leadfield
// val_j = n . B(unit moment along axis j) and its derivatives
// grad[3 j + m] = d val_j / d r0_m, and returns false where the formula has
// no finite value (then both are zero). The field point and the normal do
// not move with the source, so only r0 (and d = r - r0) is differentiated.
#pragma once

#include <cmath>

#include "forward_engine/PointFormulas.h"

namespace megfwd::phys {

// A point where the formula has no value (the source on the sensor, or a
// non-finite input): zero value and gradient, and false.
inline bool noValue(double* val, double* grad) {
    zero(val);
    for (int i = 0; i < 9; ++i) grad[i] = 0.0;
    return false;
}

// ---------------------------------------------------------------- Sarvas
//
// Sarvas (1987, Phys. Med. Biol. 32:11-22), one axis at a time
// (sarvasAxesNormal):
//   val_j = k (u_j / F - g v_j / F^2),
//   u = r0 x n, v = r0 x r, g = grad_r F . n = c_r (r . n) - c_0 (r0 . n),
//   F = a (rn a + rn^2 - r0 . r),
//   c_r = a^2/rn + t + 2a + 2rn, c_0 = a + 2rn + t, t = (d . r)/a.
// By the chain rule, with da/dr0 = -d/a and d(d . r)/dr0 = -r:
//   dF/dr0   = -(2 rn a + d . r) d/a - a r,
//   dt/dr0   = -r/a + (d . r) d/a^3,
//   dc_r/dr0 = -2 d/rn - 2 d/a + dt/dr0,
//   dc_0/dr0 = -d/a + dt/dr0,
//   dg/dr0   = (r . n) dc_r/dr0 - (r0 . n) dc_0/dr0 - c_0 n,
//   du_j/dr0_m = (e_m x n)_j, dv_j/dr0_m = (e_m x r)_j, so
//   dval_j/dr0_m = k ((e_m x n)_j / F - u_j F_m / F^2
//                     - (g_m v_j + g (e_m x r)_j) / F^2 + 2 g v_j F_m / F^3).
inline bool sarvasAxesNormalGrad(double k, const double* r, const double* r0, const double* n, double* val,
                                 double* grad) {
    double d[3];
    sub(r, r0, d);
    const double a = norm(d);
    const double rn = norm(r);
    const double dr = dot(d, r);
    const double F = a * (rn * a + dr);
    if (F == 0.0 || !std::isfinite(F)) return noValue(val, grad);
    // Three reciprocals; every other quotient is a product with them.
    const double ia = 1.0 / a, irn = 1.0 / rn, iF = 1.0 / F, iF2 = iF * iF;
    const double t = dr * ia;
    const double cr = a * a * irn + t + 2.0 * a + 2.0 * rn;
    const double c0 = a + 2.0 * rn + t;
    const double rnN = dot(r, n), r0N = dot(r0, n);
    const double g = cr * rnN - c0 * r0N;
    double u[3], v[3];
    cross(r0, n, u);
    cross(r0, r, v);
    const double fa = (2.0 * rn * a + dr) * ia, ta = dr * ia * ia * ia;
    double Fm[3], gm[3];
    for (int m = 0; m < 3; ++m) {
        Fm[m] = -fa * d[m] - a * r[m];
        const double tm = -r[m] * ia + ta * d[m];
        const double crm = -2.0 * d[m] * (irn + ia) + tm;
        const double c0m = -d[m] * ia + tm;
        gm[m] = rnN * crm - r0N * c0m - c0 * n[m];
    }
    for (int j = 0; j < 3; ++j) val[j] = k * (u[j] * iF - g * v[j] * iF2);
    for (int m = 0; m < 3; ++m) {
        double en[3], er[3];
        axisCross(m, n, en);
        axisCross(m, r, er);
        for (int j = 0; j < 3; ++j)
            grad[3 * j + m] = k * (en[j] * iF - u[j] * Fm[m] * iF2 - (gm[m] * v[j] + g * er[j]) * iF2 +
                                   2.0 * g * v[j] * Fm[m] * iF2 * iF);
    }
    return true;
}

// ---------------------------------------------------------------- free space
//
// Biot-Savart of a current dipole: val = k (d x n)/a^3, so with dd/dr0 = -I
// and d(1/a^3)/dr0 = 3 d/a^5:
//   dval_j/dr0_m = k (-(e_m x n)_j / a^3 + 3 d_m (d x n)_j / a^5).
inline bool biotSavartAxesNormalGrad(double k, const double* r, const double* r0, const double* n, double* val,
                                     double* grad) {
    double d[3];
    sub(r, r0, d);
    const double a2 = dot(d, d);
    const double a = std::sqrt(a2);
    if (a == 0.0 || !std::isfinite(a)) return noValue(val, grad);
    const double i3 = k / (a2 * a), i5 = 3.0 * i3 / a2;
    double dn[3];
    cross(d, n, dn);
    for (int j = 0; j < 3; ++j) val[j] = i3 * dn[j];
    for (int m = 0; m < 3; ++m) {
        double en[3];
        axisCross(m, n, en);
        for (int j = 0; j < 3; ++j) grad[3 * j + m] = -i3 * en[j] + i5 * d[m] * dn[j];
    }
    return true;
}

// Magnetic dipole: val_j = k (3 (d . n) d_j - a^2 n_j)/a^5, so
//   dval_j/dr0_m = k ((-3 n_m d_j - 3 (d . n) delta_jm + 2 d_m n_j)/a^5
//                     + 5 d_m (3 (d . n) d_j - a^2 n_j)/a^7).
inline bool magneticDipoleAxesNormalGrad(double k, const double* r, const double* r0, const double* n, double* val,
                                         double* grad) {
    double d[3];
    sub(r, r0, d);
    const double a2 = dot(d, d);
    const double a = std::sqrt(a2);
    if (a == 0.0 || !std::isfinite(a)) return noValue(val, grad);
    const double i5 = k / (a2 * a2 * a), i7 = 5.0 * i5 / a2;
    const double dn = dot(d, n);
    for (int j = 0; j < 3; ++j) val[j] = i5 * (3.0 * dn * d[j] - a2 * n[j]);
    for (int j = 0; j < 3; ++j)
        for (int m = 0; m < 3; ++m)
            grad[3 * j + m] = i5 * (-3.0 * n[m] * d[j] - (j == m ? 3.0 * dn : 0.0) + 2.0 * d[m] * n[j]) +
                              i7 * d[m] * (3.0 * dn * d[j] - a2 * n[j]);
    return true;
}

}  // namespace megfwd::phys
