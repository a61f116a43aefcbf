#include "head_model/SolidHarmonics.h"

#include <cmath>
#include <vector>

namespace megfwd::head {

SolidHarmonics::SolidHarmonics(int order)
    : maxOrder(order < 0 ? 0 : (order > kMaxHarmonicOrder ? kMaxHarmonicOrder : order)) {
    const int n = at(maxOrder, maxOrder) + 1;
    re.assign(n, 0.0);
    im.assign(n, 0.0);
    schmidt.assign(n, 1.0);
    // sqrt(2 (l + m)! (l - m)!) from factorials built as products of
    // doubles: (l + m)! reaches 60!, beyond the exact range of a double (a
    // few units of rounding) but far inside its exponent range. Not through
    // std::lgamma, which writes the global signgam and so races when scans
    // on several threads build their workspaces at once.
    std::vector<double> factorial(2 * static_cast<std::size_t>(maxOrder) + 1, 1.0);
    for (std::size_t k = 1; k < factorial.size(); ++k) factorial[k] = factorial[k - 1] * static_cast<double>(k);
    for (int l = 0; l <= maxOrder; ++l)
        for (int m = 1; m <= l; ++m)
            schmidt[at(l, m)] = std::sqrt(2.0 * factorial[static_cast<std::size_t>(l + m)] *
                                          factorial[static_cast<std::size_t>(l - m)]);
}

void SolidHarmonics::complexUpTo(const double x[3], int degree) {
    const double r2 = x[0] * x[0] + x[1] * x[1] + x[2] * x[2];
    re[0] = 1.0, im[0] = 0.0;
    for (int m = 1; m <= degree; ++m) {
        // R_m^m = R_{m-1}^{m-1} (x + i y) / (2m)
        const double a = re[at(m - 1, m - 1)], b = im[at(m - 1, m - 1)];
        re[at(m, m)] = (a * x[0] - b * x[1]) / (2.0 * m);
        im[at(m, m)] = (a * x[1] + b * x[0]) / (2.0 * m);
    }
    for (int m = 0; m < degree; ++m) {
        re[at(m + 1, m)] = x[2] * re[at(m, m)];
        im[at(m + 1, m)] = x[2] * im[at(m, m)];
        for (int l = m + 2; l <= degree; ++l) {
            const double d = 1.0 / ((l - m) * static_cast<double>(l + m));
            re[at(l, m)] = ((2 * l - 1) * x[2] * re[at(l - 1, m)] - r2 * re[at(l - 2, m)]) * d;
            im[at(l, m)] = ((2 * l - 1) * x[2] * im[at(l - 1, m)] - r2 * im[at(l - 2, m)]) * d;
        }
    }
}

void SolidHarmonics::values(const double x[3], double* out) {
    complexUpTo(x, maxOrder);
    int j = 0;
    for (int l = 1; l <= maxOrder; ++l) {
        out[j++] = re[at(l, 0)];
        for (int m = 1; m <= l; ++m) {
            const double s = schmidt[at(l, m)];
            out[j++] = s * re[at(l, m)];
            out[j++] = s * im[at(l, m)];
        }
    }
}

void SolidHarmonics::gradients(const double x[3], double* grad) {
    // Degree l's gradients are degree l - 1 harmonics; those above l - 1 in
    // m are zero.
    complexUpTo(x, maxOrder > 0 ? maxOrder - 1 : 0);
    auto C = [&](int l, int m) { return m <= l ? re[at(l, m)] : 0.0; };
    auto S = [&](int l, int m) { return m <= l ? im[at(l, m)] : 0.0; };
    double* g = grad;
    for (int l = 1; l <= maxOrder; ++l) {
        const int k = l - 1;
        // m = 0: d/dx R_l^0 = -C_k^1, d/dy R_l^0 = -S_k^1, d/dz R_l^0 = R_k^0.
        g[0] = -C(k, 1), g[1] = -S(k, 1), g[2] = C(k, 0);
        g += 3;
        for (int m = 1; m <= l; ++m) {
            const double s = schmidt[at(l, m)];
            // From (d/dx -+ i d/dy) R_l^m; S_k^0 is 0.
            const double cLo = C(k, m - 1), sLo = m - 1 == 0 ? 0.0 : S(k, m - 1);
            const double cHi = C(k, m + 1), sHi = S(k, m + 1);
            g[0] = s * 0.5 * (cLo - cHi);
            g[1] = -s * 0.5 * (sHi + sLo);
            g[2] = s * C(k, m);
            g[3] = s * 0.5 * (sLo - sHi);
            g[4] = s * 0.5 * (cHi + cLo);
            g[5] = s * S(k, m);
            g += 6;
        }
    }
}

std::complex<double> SolidHarmonics::harmonic(int l, int m) const {
    if (l < 0 || m > l) return 0.0;
    if (m < 0) return l < 1 ? 0.0 : -std::conj(std::complex<double>(re[at(l, 1)], im[at(l, 1)]));
    return {re[at(l, m)], im[at(l, m)]};
}

// With A = R_{l-1}^{m-1} and B = R_{l-1}^{m+1}: d/dz R_l^m = R_{l-1}^m,
// d/dx = (A - B)/2 and d/dy = i (A + B)/2, from (d/dx - i d/dy) R_l^m = A
// and (d/dx + i d/dy) R_l^m = -B.
std::complex<double> SolidHarmonics::derivative(int l, int m, int axis) const {
    if (axis == 2) return harmonic(l - 1, m);
    const std::complex<double> A = harmonic(l - 1, m - 1), B = harmonic(l - 1, m + 1);
    return axis == 0 ? 0.5 * (A - B) : std::complex<double>(0.0, 0.5) * (A + B);
}

// The same rule applied to the first derivative's terms; the term of order
// -1 is -conj(R^1), whose derivative is -conj of R^1's (the operators are
// real).
std::complex<double> SolidHarmonics::secondDerivative(int l, int m, int axis, int second) const {
    auto d = [&](int k, int mm) {
        if (mm < 0) return -std::conj(derivative(k, 1, second));
        return mm > k ? std::complex<double>(0.0) : derivative(k, mm, second);
    };
    if (axis == 2) return d(l - 1, m);
    const std::complex<double> A = d(l - 1, m - 1), B = d(l - 1, m + 1);
    return axis == 0 ? 0.5 * (A - B) : std::complex<double>(0.0, 0.5) * (A + B);
}

void SolidHarmonics::hessians(const double x[3], double* hess) {
    complexUpTo(x, maxOrder > 1 ? maxOrder - 2 : 0);
    static constexpr int kPairs[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
    double* h = hess;
    for (int l = 1; l <= maxOrder; ++l)
        for (int m = 0; m <= l; ++m) {
            const double s = m == 0 ? 1.0 : schmidt[at(l, m)];
            for (int p = 0; p < 6; ++p) {
                const std::complex<double> v = l < 2 ? 0.0 : secondDerivative(l, m, kPairs[p][0], kPairs[p][1]);
                h[p] = s * v.real();
                if (m > 0) h[6 + p] = s * v.imag();
            }
            h += m == 0 ? 6 : 12;
        }
}

}  // namespace megfwd::head
