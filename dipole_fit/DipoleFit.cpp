#include "dipole_fit/DipoleFit.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <mutex>
#include <numbers>
#include <thread>

#include "base/Errors.h"
#include "head_model/DenseAlgebra.h"

namespace megfwd::dipole {

namespace {

// A third singular value below this fraction of the first is a silent
// direction: MNE-Python's rule (mne.dipole._dipole_gof).
constexpr double kThirdComponentRatio = 0.2;
// Millimetres per metre: positions are fitted in mm, MNE's confidence
// limits are in metres.
constexpr double kMmPerM = 1000.0;
// 95 % quantile of chi-squared with 3 degrees of freedom, cubed (7.81^3),
// for the confidence volume as MNE-Python computes it.
constexpr double kChi2Cubed = 476.379541;
// Relative eigenvalue below which the confidence matrix's pseudo-inverse
// drops a direction (MNE-Python's pinvh rtol).
constexpr double kPinvRtol = 1e-14;

// Eigenvalues (descending) and eigenvectors (columns of V, row-major n x n)
// of a symmetric n x n matrix A (overwritten), for the fit's 3 x 3 and 6 x 6
// matrices and a covariance of a few hundred channels.
void jacobiEigen(int n, double* A, double* values, double* V) {
    head::jacobiDiagonalise(n, A, V, 1e-34);
    std::vector<int> order(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](int x, int y) { return A[x * n + x] > A[y * n + y]; });
    const std::vector<double> W(V, V + n * n);
    for (int j = 0; j < n; ++j) {
        values[j] = A[order[j] * n + order[j]];
        for (int k = 0; k < n; ++k) V[k * n + j] = W[k * n + order[j]];
    }
}

// The same with `a` kept.
void symmetricEigen(int n, const double* a, double* values, double* V) {
    std::vector<double> A(a, a + n * n);
    jacobiEigen(n, A.data(), values, V);
}

// Four running sums, so that the products of a long dot product overlap
// (one sum would wait for each addition before the next).
double dot(const double* a, const double* b, std::int64_t n) {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    std::int64_t i = 0;
    for (; i + 3 < n; i += 4) s0 += a[i] * b[i], s1 += a[i + 1] * b[i + 1], s2 += a[i + 2] * b[i + 2], s3 += a[i + 3] * b[i + 3];
    for (; i < n; ++i) s0 += a[i] * b[i];
    return (s0 + s1) + (s2 + s3);
}

// The truncated decomposition of a whitened leadfield G (k x 3, row-major):
// U's columns (k each, column-major), singular values, V (row-major 3 x 3,
// columns the right singular vectors), and how many are kept.
struct Decomposition {
    std::vector<double> U;
    double s[3] = {0, 0, 0};
    double V[9] = {};
    int ncomp = 0;
    void make(const double* G, std::int64_t k) {
        double gram[9] = {};
        for (std::int64_t i = 0; i < k; ++i)
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) gram[3 * a + b] += G[3 * i + a] * G[3 * i + b];
        double ev[3];
        symmetricEigen(3, gram, ev, V);
        for (int c = 0; c < 3; ++c) s[c] = std::sqrt(std::max(ev[c], 0.0));
        ncomp = s[0] > 0 && s[2] / s[0] > kThirdComponentRatio ? 3 : 2;
        if (s[0] == 0) ncomp = 0;
        U.assign(static_cast<std::size_t>(3 * k), 0.0);
        for (int c = 0; c < ncomp; ++c) {
            if (s[c] == 0) continue;
            for (std::int64_t i = 0; i < k; ++i)
                U[c * k + i] = (G[3 * i] * V[c] + G[3 * i + 1] * V[3 + c] + G[3 * i + 2] * V[6 + c]) / s[c];
        }
    }
    // a_c = U_c . B; returns sum a_c^2.
    double project(const double* B, std::int64_t k, double* a) const {
        double sum = 0;
        for (int c = 0; c < ncomp; ++c) {
            a[c] = dot(U.data() + c * k, B, k);
            sum += a[c] * a[c];
        }
        return sum;
    }
};

// Solves the symmetric positive definite 3 x 3 system M x = r (Cholesky).
bool solve3(const double* M, const double* r, double* x) {
    double L[9] = {};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j <= i; ++j) {
            double s = M[3 * i + j];
            for (int k = 0; k < j; ++k) s -= L[3 * i + k] * L[3 * j + k];
            if (i == j) {
                if (!(s > 0)) return false;
                L[3 * i + i] = std::sqrt(s);
            } else {
                L[3 * i + j] = s / L[3 * j + j];
            }
        }
    double y[3];
    for (int i = 0; i < 3; ++i) {
        double s = r[i];
        for (int k = 0; k < i; ++k) s -= L[3 * i + k] * y[k];
        y[i] = s / L[3 * i + i];
    }
    for (int i = 2; i >= 0; --i) {
        double s = y[i];
        for (int k = i + 1; k < 3; ++k) s -= L[3 * k + i] * x[k];
        x[i] = s / L[3 * i + i];
    }
    return true;
}

// The whitener's non-zero entries row by row: a whitener of a diagonal or
// block-diagonal covariance (channel types apart) is mostly zeros, and its
// product with the leadfield and its derivatives is the fit's largest
// per-evaluation cost.
struct SparseRows {
    std::vector<std::int64_t> start, col;
    std::vector<double> val;
    SparseRows(const double* W, std::int64_t k, std::int64_t n) {
        start.push_back(0);
        for (std::int64_t i = 0; i < k; ++i) {
            for (std::int64_t s = 0; s < n; ++s)
                if (W[i * n + s] != 0.0) col.push_back(s), val.push_back(W[i * n + s]);
            start.push_back(static_cast<std::int64_t>(col.size()));
        }
    }
};

// One thread's working state for one whitened time point.
struct Worker {
    const SourceForward& fwd;
    const SparseRows& W;
    std::int64_t k, nch;
    SourceForward::Scratch scratch;
    std::vector<double> L, dL, GW;  // GW: k x 12 (G, then dG_m for each component j: 3 + 3 j + m)
    std::vector<double> G, dG;      // k x 3, and 3 of k x 3 (dG[m][i][j])
    std::vector<double> res, J;     // k, and k x 3 (column-major)
    Decomposition dec;
    double Q[3] = {0, 0, 0};
    double f = 0, projected = 0;

    Worker(const SourceForward& f, const SparseRows& w, std::int64_t numWhite)
        : fwd(f), W(w), k(numWhite), nch(f.numSensors()), scratch(f), L(3 * nch), dL(9 * nch), GW(12 * k),
          G(3 * k), dG(9 * k), res(k), J(3 * k) {}

    // The whitened leadfield and its derivatives at p; false out of the scan.
    bool whiten(const double* p, bool withGradient) {
        if (!fwd.evaluate(p, L.data(), withGradient ? dL.data() : nullptr, scratch)) return false;
        const int cols = withGradient ? 12 : 3;
        std::fill(GW.begin(), GW.end(), 0.0);
        for (std::int64_t i = 0; i < k; ++i) {
            double* out = GW.data() + 12 * i;
            for (std::int64_t e = W.start[i]; e < W.start[i + 1]; ++e) {
                const std::int64_t s = W.col[e];
                const double ws = W.val[e];
                const double* l = L.data() + 3 * s;
                out[0] += ws * l[0], out[1] += ws * l[1], out[2] += ws * l[2];
                if (cols == 12) {
                    const double* d = dL.data() + 9 * s;
                    for (int c = 0; c < 9; ++c) out[3 + c] += ws * d[c];
                }
            }
        }
        for (std::int64_t i = 0; i < k; ++i)
            for (int j = 0; j < 3; ++j) {
                G[3 * i + j] = GW[12 * i + j];
                if (withGradient)
                    for (int m = 0; m < 3; ++m) dG[(m * k + i) * 3 + j] = GW[12 * i + 3 + 3 * j + m];
            }
        return true;
    }

    // Objective, residual and moment at p for B; with the Jacobian when asked.
    bool evaluate(const double* p, const double* B, bool withJacobian) {
        if (!whiten(p, withJacobian)) return false;
        dec.make(G.data(), k);
        double a[3] = {0, 0, 0};
        projected = dec.project(B, k, a);
        for (std::int64_t i = 0; i < k; ++i) {
            double v = B[i];
            for (int c = 0; c < dec.ncomp; ++c) v -= dec.U[c * k + i] * a[c];
            res[i] = v;
        }
        for (int j = 0; j < 3; ++j) {
            Q[j] = 0;
            for (int c = 0; c < dec.ncomp; ++c)
                if (dec.s[c] > 0) Q[j] += dec.V[3 * j + c] * a[c] / dec.s[c];
        }
        f = dot(res.data(), res.data(), k);
        if (!withJacobian) return true;
        std::vector<double>& y = scratchY;
        y.resize(static_cast<std::size_t>(k));
        for (int m = 0; m < 3; ++m) {
            const double* D = dG.data() + m * k * 3;
            // y = dG_m Q, then (I - U U^T) y
            for (std::int64_t i = 0; i < k; ++i) y[i] = D[3 * i] * Q[0] + D[3 * i + 1] * Q[1] + D[3 * i + 2] * Q[2];
            double b[3];
            dec.project(y.data(), k, b);
            // t = dG_m^T e (3), then S^-1 V^T t
            double t[3] = {0, 0, 0};
            for (std::int64_t i = 0; i < k; ++i)
                for (int j = 0; j < 3; ++j) t[j] += D[3 * i + j] * res[i];
            double c2[3] = {0, 0, 0};
            for (int c = 0; c < dec.ncomp; ++c)
                if (dec.s[c] > 0) c2[c] = (dec.V[c] * t[0] + dec.V[3 + c] * t[1] + dec.V[6 + c] * t[2]) / dec.s[c];
            double* Jm = J.data() + m * k;
            for (std::int64_t i = 0; i < k; ++i) {
                double v = y[i];
                for (int c = 0; c < dec.ncomp; ++c) v -= dec.U[c * k + i] * (b[c] + c2[c]);
                Jm[i] = -v;
            }
        }
        return true;
    }
    std::vector<double> scratchY;
};

void confidence(Worker& w, const double* p, const FitRegion& region, DipoleFitResult& out) {
    const double amp = std::sqrt(w.Q[0] * w.Q[0] + w.Q[1] * w.Q[1] + w.Q[2] * w.Q[2]);
    if (amp == 0) return;
    double dir[3][3];
    for (int j = 0; j < 3; ++j) dir[0][j] = w.Q[j] / amp;
    double rv[3];
    for (int j = 0; j < 3; ++j) rv[j] = p[j] - region.centre[j];
    const double along = rv[0] * dir[0][0] + rv[1] * dir[0][1] + rv[2] * dir[0][2];
    double len = 0;
    for (int j = 0; j < 3; ++j) dir[2][j] = rv[j] - along * dir[0][j], len += dir[2][j] * dir[2][j];
    len = std::sqrt(len);
    if (len == 0) return;
    for (int j = 0; j < 3; ++j) dir[2][j] /= len;
    dir[1][0] = dir[2][1] * dir[0][2] - dir[2][2] * dir[0][1];
    dir[1][1] = dir[2][2] * dir[0][0] - dir[2][0] * dir[0][2];
    dir[1][2] = dir[2][0] * dir[0][1] - dir[2][1] * dir[0][0];
    const std::int64_t k = w.k;
    std::vector<double> J(static_cast<std::size_t>(6 * k));
    for (std::int64_t i = 0; i < k; ++i)
        for (int ii = 0; ii < 3; ++ii) {
            double dpos = 0, dq = 0;
            for (int m = 0; m < 3; ++m) {
                const double* D = w.dG.data() + (m * k + i) * 3;
                dpos += dir[ii][m] * (D[0] * w.Q[0] + D[1] * w.Q[1] + D[2] * w.Q[2]);
                dq += w.G[3 * i + m] * dir[ii][m];
            }
            J[ii * k + i] = dpos * kMmPerM;  // per metre
            J[(ii + 3) * k + i] = dq;
        }
    double posNorm = 0, qNorm = 0;
    for (std::int64_t i = 0; i < 3 * k; ++i) posNorm += J[i] * J[i];
    for (std::int64_t i = 3 * k; i < 5 * k; ++i) qNorm += J[i] * J[i];
    posNorm = std::sqrt(posNorm), qNorm = std::sqrt(qNorm);
    if (posNorm == 0 || qNorm == 0) return;
    const double norm[6] = {posNorm, posNorm, posNorm, qNorm, qNorm, qNorm};
    double JtJ[36];
    for (int a = 0; a < 6; ++a)
        for (int b = 0; b < 6; ++b)
            JtJ[6 * a + b] = dot(J.data() + a * k, J.data() + b * k, k) / (norm[a] * norm[b]);
    double ev[6], V[36];
    symmetricEigen(6, JtJ, ev, V);
    double C[36] = {};
    for (int c = 0; c < 6; ++c) {
        if (!(ev[c] > kPinvRtol * ev[0])) continue;
        for (int a = 0; a < 6; ++a)
            for (int b = 0; b < 6; ++b) C[6 * a + b] += V[6 * a + c] * V[6 * b + c] / ev[c];
    }
    for (int a = 0; a < 6; ++a)
        for (int b = 0; b < 6; ++b) C[6 * a + b] /= norm[a] * norm[b];
    double conf[6];
    for (int a = 0; a < 6; ++a) conf[a] = 1.96 * std::sqrt(std::max(C[7 * a], 0.0));
    double block[9], bev[3], bV[9];
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) block[3 * a + b] = C[6 * a + b];
    symmetricEigen(3, block, bev, bV);
    const double vol = 4.0 * std::numbers::pi / 3.0 * std::sqrt(std::max(kChi2Cubed * bev[0] * bev[1] * bev[2], 0.0));
    out.confidence = {vol, conf[2], conf[0], conf[1], conf[3], conf[4]};
}

}  // namespace

std::vector<double> whitenerFromCovariance(const std::vector<double>& cov, std::int64_t n, std::int64_t* rank,
                                           double rtol) {
    if (n < 1 || static_cast<std::int64_t>(cov.size()) != n * n)
        throw InputError("the noise covariance must be a square matrix of the data's " + std::to_string(n) +
                         " channels");
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t j = 0; j < n; ++j) {
            const double a = cov[i * n + j], b = cov[j * n + i];
            if (!std::isfinite(a) || std::abs(a - b) > 1e-10 * (std::abs(a) + std::abs(b)))
                throw InputError("the noise covariance must be finite and symmetric (entry " + std::to_string(i) +
                                 ", " + std::to_string(j) + ")");
        }
    std::vector<double> A(cov), V(static_cast<std::size_t>(n * n)), lambda(static_cast<std::size_t>(n));
    jacobiEigen(static_cast<int>(n), A.data(), lambda.data(), V.data());
    if (!(lambda[0] > 0)) throw InputError("the noise covariance has no positive eigenvalue");
    std::int64_t r = 0;
    while (r < n && lambda[r] > rtol * lambda[0]) ++r;
    std::vector<double> W(static_cast<std::size_t>(r * n));
    for (std::int64_t c = 0; c < r; ++c)
        for (std::int64_t s = 0; s < n; ++s) W[c * n + s] = V[s * n + c] / std::sqrt(lambda[c]);
    *rank = r;
    return W;
}

double FitRegion::margin(const double p[3]) const {
    if (!surface) {
        const double d[3] = {p[0] - centre[0], p[1] - centre[1], p[2] - centre[2]};
        return radius - minDist - std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    }
    double best = INFINITY;
    const std::vector<double>& v = surface->vertices;
    for (std::size_t i = 0; i + 2 < v.size(); i += 3) {
        const double d0 = v[i] - p[0], d1 = v[i + 1] - p[1], d2 = v[i + 2] - p[2];
        best = std::min(best, d0 * d0 + d1 * d1 + d2 * d2);
    }
    const double dist = std::sqrt(best);
    const bool inside = head::windingNumber(*surface, p) > 0.5;
    return (inside ? dist : -dist) - minDist;
}

std::vector<double> guessGrid(const FitRegion& region, const FitOptions& o) {
    double lo[3], hi[3];
    if (region.surface) {
        for (int a = 0; a < 3; ++a) lo[a] = INFINITY, hi[a] = -INFINITY;
        const std::vector<double>& v = region.surface->vertices;
        for (std::size_t i = 0; i + 2 < v.size(); i += 3)
            for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], v[i + a]), hi[a] = std::max(hi[a], v[i + a]);
    } else {
        for (int a = 0; a < 3; ++a) lo[a] = region.centre[a] - region.radius, hi[a] = region.centre[a] + region.radius;
    }
    if (!(o.guessGrid > 0)) throw InputError("the guess grid's spacing must be > 0 mm");
    FitRegion inner = region;
    inner.minDist = o.guessMinDist;
    std::vector<double> out;
    int n[3], first[3];
    for (int a = 0; a < 3; ++a) {
        first[a] = static_cast<int>(std::floor((lo[a] - region.centre[a]) / o.guessGrid));
        n[a] = static_cast<int>(std::ceil((hi[a] - region.centre[a]) / o.guessGrid)) - first[a] + 1;
    }
    for (int i = 0; i < n[0]; ++i)
        for (int j = 0; j < n[1]; ++j)
            for (int l = 0; l < n[2]; ++l) {
                const double p[3] = {region.centre[0] + (first[0] + i) * o.guessGrid,
                                     region.centre[1] + (first[1] + j) * o.guessGrid,
                                     region.centre[2] + (first[2] + l) * o.guessGrid};
                const double d = std::hypot(p[0] - region.centre[0], p[1] - region.centre[1], p[2] - region.centre[2]);
                if (d < o.guessExclude || inner.margin(p) < 0) continue;
                out.insert(out.end(), p, p + 3);
            }
    return out;
}

namespace {

// The guess grid's nodes inside the region with their decompositions, made
// once for all time points.
struct GuessSet {
    std::vector<double> pos;
    std::vector<Decomposition> dec;

    GuessSet(const SourceForward& fwd, const SparseRows& W, std::int64_t k, const std::vector<double>& guesses,
             const FitRegion& region) {
        Worker w(fwd, W, k);
        for (std::size_t g = 0; g + 2 < guesses.size(); g += 3) {
            const double* p = guesses.data() + g;
            if (region.margin(p) < 0 || !w.whiten(p, false)) continue;
            Decomposition d;
            d.make(w.G.data(), k);
            if (d.ncomp == 0) continue;
            pos.insert(pos.end(), p, p + 3);
            dec.push_back(std::move(d));
        }
        if (dec.empty())
            throw InputError("no node of the guess grid lies in the region the dipoles may take (" +
                             std::to_string(guesses.size() / 3) + " nodes given)");
    }

    // The node with the best goodness of fit to the whitened data B
    // (|B|^2 = B2).
    std::size_t best(const double* B, std::int64_t k, double B2) const {
        double bestGof = -1, a[3];
        std::size_t at = 0;
        for (std::size_t g = 0; g < dec.size(); ++g) {
            const double gof = dec[g].project(B, k, a) / B2;
            if (gof > bestGof) bestGof = gof, at = g;
        }
        return at;
    }
};

// Shortens a step from x that leaves the region to the largest fraction
// that stays inside, found by bisection.
void cutToRegion(const double x[3], double step[3], const FitRegion& region) {
    double lo = 0, hi = 1;
    for (int s = 0; s < 40; ++s) {
        const double mid = 0.5 * (lo + hi);
        const double xm[3] = {x[0] + mid * step[0], x[1] + mid * step[1], x[2] + mid * step[2]};
        (region.margin(xm) >= 0 ? lo : hi) = mid;
    }
    for (int d = 0; d < 3; ++d) step[d] *= lo;
}

// Levenberg-Marquardt from x (moved to the optimum found) on the whitened
// data B, with the analytic Jacobian the worker has just evaluated at x.
// Returns the number of iterations; the worker is left evaluated at x.
int refine(Worker& w, const double* B, double x[3], const FitRegion& region, const FitOptions& o) {
    const std::int64_t k = w.k;
    double f = w.f;
    bool atX = true;  // the worker's last evaluation was at x
    std::vector<double> J(w.J), res(w.res);
    double lambda = 1e-3;
    int it = 0;
    for (; it < o.maxIterations; ++it) {
        double A[9], g[3];
        for (int a = 0; a < 3; ++a) {
            g[a] = dot(J.data() + a * k, res.data(), k);
            for (int b = 0; b < 3; ++b) A[3 * a + b] = dot(J.data() + a * k, J.data() + b * k, k);
        }
        double M[9];
        std::copy(A, A + 9, M);
        for (int d = 0; d < 3; ++d) M[4 * d] += lambda * A[4 * d];
        const double rhs[3] = {-g[0], -g[1], -g[2]};
        double step[3];
        if (!solve3(M, rhs, step)) {
            lambda *= 10;
            if (lambda > 1e12) break;
            continue;
        }
        if (const double xs[3] = {x[0] + step[0], x[1] + step[1], x[2] + step[2]}; region.margin(xs) < 0)
            cutToRegion(x, step, region);
        const double xn[3] = {x[0] + step[0], x[1] + step[1], x[2] + step[2]};
        const double len = std::sqrt(step[0] * step[0] + step[1] * step[1] + step[2] * step[2]);
        atX = false;
        if (w.evaluate(xn, B, true) && w.f < f) {
            atX = true;
            const double drop = f - w.f;
            std::copy(xn, xn + 3, x);
            f = w.f;
            J = w.J, res = w.res;
            lambda = std::max(lambda / 10, 1e-12);
            if (len < o.stepTolerance || drop <= 1e-10 * f) break;
        } else {
            lambda *= 10;
            if (lambda > 1e12 || len < o.stepTolerance) break;
        }
    }
    if (!atX) w.evaluate(x, B, true);
    return it + 1;
}

// Everything one fit shares across its time points and threads.
struct FitContext {
    const SourceForward& fwd;
    const double* W;
    const SparseRows& sparseW;
    std::int64_t k, nch, T;
    const double* data;
    const GuessSet& guesses;
    const FitRegion& region;
    const FitOptions& o;
    int rank;
    double* predicted;
};

// Fits time point t: whitens it, starts from the best guess, refines, and
// fills r (and the predicted column when asked). b and B are scratch of nch
// and k values.
void fitTimePoint(const FitContext& c, Worker& w, std::int64_t t, std::vector<double>& b, std::vector<double>& B,
                  DipoleFitResult& r) {
    const std::int64_t nch = c.nch, k = c.k, T = c.T;
    for (std::int64_t s = 0; s < nch; ++s) b[s] = c.data[s * T + t];
    for (std::int64_t i = 0; i < k; ++i) B[i] = dot(c.W + i * nch, b.data(), nch);
    const double B2 = dot(B.data(), B.data(), k);
    if (c.predicted)
        for (std::int64_t s = 0; s < nch; ++s) c.predicted[s * T + t] = 0.0;
    if (B2 == 0) return;
    const std::size_t best = c.guesses.best(B.data(), k, B2);
    double x[3] = {c.guesses.pos[3 * best], c.guesses.pos[3 * best + 1], c.guesses.pos[3 * best + 2]};
    r.guess = static_cast<int>(best);
    if (!w.evaluate(x, B.data(), true)) return;
    r.iterations = refine(w, B.data(), x, c.region, c.o);
    // The moment, GOF and confidence at the final position.
    std::copy(x, x + 3, r.position.begin());
    std::copy(w.Q, w.Q + 3, r.moment.begin());
    r.gof = w.projected / B2;
    r.khi2 = (1 - r.gof) * B2;
    r.nfree = c.rank - w.dec.ncomp;
    confidence(w, x, c.region, r);
    if (c.predicted)
        for (std::int64_t s = 0; s < nch; ++s)
            c.predicted[s * T + t] = w.L[3 * s] * w.Q[0] + w.L[3 * s + 1] * w.Q[1] + w.L[3 * s + 2] * w.Q[2];
}

}  // namespace

std::vector<DipoleFitResult> fitDipoles(const SourceForward& fwd, const double* W, std::int64_t k, const double* data,
                                        std::int64_t T, const std::vector<double>& guesses, const FitRegion& region,
                                        const FitOptions& o, double* predicted) {
    const std::int64_t nch = fwd.numSensors();
    if (k < 3) throw InputError("the whitener has " + std::to_string(k) + " rows; at least 3 are needed");
    const SparseRows sparseW(W, k, nch);
    const GuessSet guessSet(fwd, sparseW, k, guesses, region);
    const FitContext context{fwd,  W,        sparseW, k, nch, T, data, guessSet, region, o,
                             o.rank > 0 ? o.rank : static_cast<int>(k), predicted};

    // Threads take time points in turn; progress is reported one call at a
    // time, and the first error or a refusal of progress stops them all.
    std::vector<DipoleFitResult> results(static_cast<std::size_t>(T));
    std::atomic<std::int64_t> next{0}, done{0};
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::exception_ptr error;
    auto work = [&] {
        try {
            Worker w(fwd, sparseW, k);
            std::vector<double> B(static_cast<std::size_t>(k)), b(static_cast<std::size_t>(nch));
            for (std::int64_t t; !stop.load() && (t = next.fetch_add(1)) < T;) {
                fitTimePoint(context, w, t, b, B, results[static_cast<std::size_t>(t)]);
                const std::int64_t d = done.fetch_add(1) + 1;
                if (o.progress) {
                    std::lock_guard<std::mutex> g(lock);
                    if (!stop && !o.progress(d, T)) stop = true;
                }
            }
        } catch (...) {
            std::lock_guard<std::mutex> g(lock);
            if (!error) error = std::current_exception();
            stop = true;
        }
    };
    std::vector<std::thread> helpers;
    for (int t = 1; t < o.threads && t < T; ++t) helpers.emplace_back(work);
    work();
    for (std::thread& t : helpers) t.join();
    if (error) std::rethrow_exception(error);
    if (stop) throw Cancelled();
    return results;
}

}  // namespace megfwd::dipole
