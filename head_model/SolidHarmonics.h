// Real regular solid harmonics of degrees 1..N and their gradients, the
// basis of the single-shell model's correction potential.
//
// Notation: x is a point in scaled coordinates (x = (r - c) / rho, so the
// surface lies within |x| <= 1 and every basis value stays of order 1).
// The complex harmonics
//   R_l^m(x) = |x|^l P_l^m(cos theta) e^{i m phi} / (l + m)!      (m >= 0,
// P_l^m without the Condon-Shortley phase) are polynomials that obey
//   R_m^m = R_{m-1}^{m-1} (x + i y) / (2m),
//   R_l^m = ((2l - 1) z R_{l-1}^m - |x|^2 R_{l-2}^m) / ((l - m)(l + m)),
// and whose derivatives are degree l - 1 harmonics again:
//   d/dz R_l^m = R_{l-1}^m,
//   (d/dx - i d/dy) R_l^m = R_{l-1}^{m-1},   (d/dx + i d/dy) R_l^m = -R_{l-1}^{m+1},
// with R_{l-1}^{-1} = -conj(R_{l-1}^1). (The first two follow from the
// Legendre recurrences; the derivative rules follow by induction on them,
// and the tests hold them against finite differences.) The real
// basis is C_l^0 = R_l^0 and C_l^m = Re R_l^m, S_l^m = Im R_l^m for m >= 1,
// each times the Schmidt factor sqrt(2 (l + m)! (l - m)!) (1 for m = 0),
// which makes it |x|^l times a Schmidt semi-normalised surface harmonic.
//
// Order of the basis: degree by degree, and within degree l:
//   C_l^0, C_l^1, S_l^1, ..., C_l^l, S_l^l   (2l + 1 functions),
// so degrees 1..N give N (N + 2) functions.
#pragma once

#include <complex>
#include <vector>

namespace megfwd::head {

// The largest degree the basis takes.
constexpr int kMaxHarmonicOrder = 30;

// Number of basis functions of degrees 1..order: order (order + 2).
constexpr int harmonicCount(int order) { return order * (order + 2); }

// Evaluates the basis at one point. Holds its working arrays, so one
// instance per thread evaluates without allocating.
class SolidHarmonics {
public:
    explicit SolidHarmonics(int order);

    int order() const { return maxOrder; }
    int count() const { return harmonicCount(maxOrder); }

    // values[j], j < count(): the basis at x.
    void values(const double x[3], double* values);
    // grad[3 * j + k]: d/dx_k of basis function j at x.
    void gradients(const double x[3], double* grad);
    // hess[6 * j + k]: the second derivatives of basis function j at x, in
    // the order xx, xy, xz, yy, yz, zz (the derivative rules applied twice:
    // they are degree l - 2 harmonics).
    void hessians(const double x[3], double* hess);

private:
    int maxOrder;
    std::vector<double> re, im;     // R_l^m, index l (l + 1) / 2 + m
    std::vector<double> schmidt;    // the Schmidt factor of (l, m), same index
    void complexUpTo(const double x[3], int degree);
    static int at(int l, int m) { return l * (l + 1) / 2 + m; }
    // R_l^m for -1 <= m (0 above l or below degree 0), with R_l^{-1} =
    // -conj(R_l^1), from the arrays complexUpTo filled.
    std::complex<double> harmonic(int l, int m) const;
    // d/dx_axis of R_l^m, and the second derivative along `second` then
    // `axis`, from the derivative rules.
    std::complex<double> derivative(int l, int m, int axis) const;
    std::complex<double> secondDerivative(int l, int m, int axis, int second) const;
};

}  // namespace megfwd::head
