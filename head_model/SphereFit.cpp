#include "head_model/SphereFit.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "base/Errors.h"
#include "base/FileText.h"
#include "head_model/DenseAlgebra.h"

namespace megfwd::head {
namespace {

// Points whose spread across their thinnest direction is below this share
// of the spread along their widest one count as lying on a plane (or, for
// the middle direction, on a line): rounding alone leaves a few 1e-16 of
// the size, and no head surface or cap of one comes near this.
constexpr double kFlatRatio = 1e-9;

// Solves the n x n system a x = b (row-major, n <= 4) by Gaussian
// elimination with partial pivoting; false when a pivot is 0 or the result
// is not finite.
bool solve(double* a, double* b, int n) {
    for (int c = 0; c < n; ++c) {
        int piv = c;
        for (int r = c + 1; r < n; ++r)
            if (std::abs(a[r * n + c]) > std::abs(a[piv * n + c])) piv = r;
        if (!(a[piv * n + c] != 0.0)) return false;
        if (piv != c) {
            for (int k = 0; k < n; ++k) std::swap(a[c * n + k], a[piv * n + k]);
            std::swap(b[c], b[piv]);
        }
        for (int r = c + 1; r < n; ++r) {
            const double f = a[r * n + c] / a[c * n + c];
            for (int k = c; k < n; ++k) a[r * n + k] -= f * a[c * n + k];
            b[r] -= f * b[c];
        }
    }
    for (int r = n - 1; r >= 0; --r) {
        double s = b[r];
        for (int k = r + 1; k < n; ++k) s -= a[r * n + k] * b[k];
        b[r] = s / a[r * n + r];
        if (!std::isfinite(b[r])) return false;
    }
    return true;
}

double distance(const Point3& p, const Point3& c) {
    const double d[3] = {p[0] - c[0], p[1] - c[1], p[2] - c[2]};
    return std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
}

}  // namespace

void symmetricEigen(const double* matrix, int n, double* values, double* vectors) {
    double a[16], v[16];
    for (int i = 0; i < n * n; ++i) a[i] = matrix[i];
    jacobiDiagonalise(n, a, v, 1e-32);
    int order[4] = {0, 1, 2, 3};
    for (int i = 1; i < n; ++i)  // insertion sort by eigenvalue
        for (int j = i; j > 0 && a[order[j] * n + order[j]] < a[order[j - 1] * n + order[j - 1]]; --j)
            std::swap(order[j], order[j - 1]);
    for (int j = 0; j < n; ++j) {
        values[j] = a[order[j] * n + order[j]];
        for (int k = 0; k < n; ++k) vectors[k * n + j] = v[k * n + order[j]];
    }
}

SphereFit fitSphere(const std::vector<Point3>& points) { return fitSphere(points.data(), points.size()); }

SphereFit fitSphere(const Point3* points, std::size_t count) {
    if (count < 4)
        throw InputError("a sphere needs at least 4 points, got " + std::to_string(count));
    for (std::size_t i = 0; i < count; ++i)
        for (int a = 0; a < 3; ++a)
            if (!std::isfinite(points[i][a]))
                throw InputError("point " + std::to_string(i) + " has coordinate " + "xyz"[a] + " = " +
                                 exactNumber(points[i][a]) + ", not a finite number");
    const double n = static_cast<double>(count);

    // Centred and scaled to a mean squared length of 1, so that the moments
    // are of order 1 whatever the unit and the place of the points.
    Point3 mean{0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < count; ++i)
        for (int a = 0; a < 3; ++a) mean[a] += points[i][a];
    for (int a = 0; a < 3; ++a) mean[a] /= n;
    double cov[9] = {0};
    for (std::size_t i = 0; i < count; ++i) {
        const double q[3] = {points[i][0] - mean[0], points[i][1] - mean[1], points[i][2] - mean[2]};
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) cov[r * 3 + c] += q[r] * q[c] / n;
    }
    const double spread2 = cov[0] + cov[4] + cov[8];
    if (!(spread2 > 0.0)) throw InputError("all " + std::to_string(count) + " points are at one place");
    const double scale = std::sqrt(spread2);

    double lambda[3], axes[9];
    symmetricEigen(cov, 3, lambda, axes);
    const double widest = std::sqrt(std::max(lambda[2], 0.0));
    if (std::sqrt(std::max(lambda[1], 0.0)) <= kFlatRatio * widest)
        throw InputError("the " + std::to_string(count) + " points lie on one line");
    if (std::sqrt(std::max(lambda[0], 0.0)) <= kFlatRatio * widest)
        throw InputError("the " + std::to_string(count) + " points lie on one plane");

    // With u the scaled points (mean |u|^2 = 1), the sphere
    // A |u|^2 + B.u + C = 0 with C = -A (which makes the mean algebraic
    // distance 0) and Taubin's constraint 4 A^2 + |B|^2 = 1 is the smallest
    // eigenvector of the moments of v = ((|u|^2 - 1) / 2, u), as
    // v.(2A, B) = A (|u|^2 - 1) + B.u.
    double m[16] = {0};
    for (std::size_t i = 0; i < count; ++i) {
        const double u[3] = {(points[i][0] - mean[0]) / scale, (points[i][1] - mean[1]) / scale,
                             (points[i][2] - mean[2]) / scale};
        const double v[4] = {0.5 * (u[0] * u[0] + u[1] * u[1] + u[2] * u[2] - 1.0), u[0], u[1], u[2]};
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) m[r * 4 + c] += v[r] * v[c] / n;
    }
    double eta[4], vec[16];
    symmetricEigen(m, 4, eta, vec);
    const double a = 0.5 * vec[0];
    const double b[3] = {vec[4], vec[8], vec[12]};
    if (!(a != 0.0)) throw InputError("the " + std::to_string(count) + " points lie on one plane");

    SphereFit fit;
    const double b2 = b[0] * b[0] + b[1] * b[1] + b[2] * b[2];
    for (int k = 0; k < 3; ++k) fit.centre[k] = mean[k] - scale * b[k] / (2.0 * a);
    fit.radius = scale * std::sqrt(b2 / (4.0 * a * a) + 1.0);
    if (!std::isfinite(fit.radius) || !std::isfinite(fit.centre[0] + fit.centre[1] + fit.centre[2]))
        throw InputError("the " + std::to_string(count) + " points lie on one plane");
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double e = distance(points[i], fit.centre) - fit.radius;
        sum += e * e;
    }
    fit.rms = std::sqrt(sum / n);
    return fit;
}

bool fitSphereWeighted(const Point3* points, const double* weights, std::size_t count, const Sphere& start,
                       SphereFit& out, int maxIterations) {
    Point3 c = start.centre;
    double r = start.radius;
    auto cost = [&](const Point3& cc, double rr) {
        double s = 0.0;
        for (std::size_t i = 0; i < count; ++i) {
            if (!(weights[i] > 0.0)) continue;
            const double e = distance(points[i], cc) - rr;
            s += weights[i] * e * e;
        }
        return s;
    };
    double now = cost(c, r);
    for (int it = 0; it < maxIterations; ++it) {
        // Normal equations J'WJ d = -J'We of the residuals e_i = |p_i - c| - r,
        // whose gradient is (-(p_i - c) / |p_i - c|, -1).
        double jtj[16] = {0}, jte[4] = {0};
        for (std::size_t i = 0; i < count; ++i) {
            const double w = weights[i];
            if (!(w > 0.0)) continue;
            const double d[3] = {points[i][0] - c[0], points[i][1] - c[1], points[i][2] - c[2]};
            const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            if (!(len > 0.0)) continue;  // a point at the centre has no direction
            const double g[4] = {-d[0] / len, -d[1] / len, -d[2] / len, -1.0};
            const double e = len - r;
            for (int p = 0; p < 4; ++p) {
                jte[p] -= w * g[p] * e;
                for (int q = 0; q < 4; ++q) jtj[p * 4 + q] += w * g[p] * g[q];
            }
        }
        if (!solve(jtj, jte, 4)) return false;
        const double size = std::abs(r) > 0.0 ? std::abs(r) : 1.0;
        const double full = std::sqrt(jte[0] * jte[0] + jte[1] * jte[1] + jte[2] * jte[2] + jte[3] * jte[3]);
        // The full Gauss-Newton step is taken when it lowers the cost, or
        // when it is so small that the cost can no longer tell (near the
        // minimum the cost changes by the square of the step, below its
        // rounding once the step is below about 1e-8 of the size). A larger
        // step that raises the cost is halved until it lowers it; none
        // that does means the fit has settled.
        double step = 1.0;
        Point3 cn{c[0] + jte[0], c[1] + jte[1], c[2] + jte[2]};
        double rn = r + jte[3];
        double next = cost(cn, rn);
        if (!(next <= now) && full > 1e-6 * size) {
            for (int h = 0; h < 30 && !(next <= now); ++h) {
                step *= 0.5;
                for (int k = 0; k < 3; ++k) cn[k] = c[k] + step * jte[k];
                rn = r + step * jte[3];
                next = cost(cn, rn);
            }
            if (!(next <= now)) break;
        }
        c = cn, r = rn, now = next;
        if (step * full <= 1e-13 * size) break;
        // Steps that no longer shrink below 1e-9 of the size by the last
        // iteration mean a fit that does not settle; smaller ones are
        // rounding.
        if (it + 1 == maxIterations && step * full > 1e-9 * size) return false;
    }
    double wsum = 0.0;
    for (std::size_t i = 0; i < count; ++i) wsum += weights[i] > 0.0 ? weights[i] : 0.0;
    if (!(r > 0.0) || !std::isfinite(r) || !(wsum > 0.0)) return false;
    out.centre = c;
    out.radius = r;
    out.rms = std::sqrt(now / wsum);
    return true;
}

}  // namespace megfwd::head
