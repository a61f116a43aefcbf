// Fitting one current dipole per time point, on a SourceForward.
//
// Per time point the measured field b (sensors) is whitened, B = W b, and
// for a position r the whitened leadfield G(r) = W L(r) (k x 3) gives the
// moment in closed form: with the truncated singular value decomposition
// G = U S V^T, keeping the third direction only when s3 > 0.2 s1 (in a
// sphere the radial direction is silent),
//   Q(r) = V S^-1 U^T B,   residual e(r) = B - U U^T B,
// and the goodness of fit is |U^T B|^2 / |B|^2, MNE-Python's definition
// (mne.dipole._dipole_gof). The position minimises |e(r)|^2, the
// variable-projection objective (Golub & Pereyra 1973, SIAM J. Numer.
// Anal. 10:413), by Levenberg-Marquardt with its Jacobian
//   de/dr_m = -(I - U U^T) dG_m Q - U S^-1 V^T dG_m^T e,
// dG_m = W dL/dr_m from the analytic leadfield gradient. It starts from
// the best node of a guess grid whose whitened leadfields and their
// decompositions are made once for all time points.
//
// Positions stay in the region: inside a sphere of radius R - min_dist, or
// inside a closed surface and at least min_dist from its nearest vertex
// (MNE-Python's two constraints). A step that would leave the region is cut
// back to its boundary.
//
// The confidence limits are MNE-Python's (mne.dipole._fit_confidence): the
// Jacobian of the whitened field in the position and the moment along the
// dipole's own axes (x along the moment, z towards the sphere's centre
// line), C = (J^T J)^+, 1.96 sqrt(diag C), and the 95 % volume
// 4 pi/3 sqrt(7.81^3 l1 l2 l3) from the eigenvalues of C's position block;
// here with the analytic position derivatives instead of differences.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "dipole_fit/SourceForward.h"
#include "head_model/SingleShell.h"

namespace megfwd::dipole {

// Where a dipole may be (host frame, mm).
struct FitRegion {
    // A sphere (centre, radius), or with `surface` a closed surface wound
    // outward (whose centre is then only the origin of the confidence axes).
    std::array<double, 3> centre{0, 0, 0};
    double radius = 0;
    const head::Surface* surface = nullptr;
    double minDist = 5.0;

    // Signed room left: >= 0 for an allowed position.
    double margin(const double p[3]) const;
};

struct FitOptions {
    // The guess grid (mm): spacing, the least distance from the region's
    // boundary, and the radius about the centre that is left out.
    double guessGrid = 20.0;
    double guessMinDist = 5.0;
    double guessExclude = 20.0;
    // The fit stops when a step is shorter than this (mm) or the objective
    // changes by less than a relative 1e-10. Gauss-Newton converges
    // quadratically near the optimum, so the position is then known far
    // more closely than the last step.
    double stepTolerance = 1e-3;
    int maxIterations = 200;
    // Degrees of freedom of the whitened data (the whitener's rank); 0 takes
    // its number of rows.
    int rank = 0;
    int threads = 1;
    // Called after each finished time point (from the worker threads, one
    // call at a time); false stops the fit, which then throws Cancelled.
    std::function<bool(std::int64_t done, std::int64_t total)> progress;
};

struct DipoleFitResult {
    std::array<double, 3> position{};  // mm, host frame
    std::array<double, 3> moment{};    // A m (with SI settings)
    double gof = 0;                    // 0 .. 1
    double khi2 = 0;                   // |e|^2
    int nfree = 0;                     // rank - number of moment components fitted
    // vol (m^3), depth, long, trans (m), qlong, qtrans (A m): MNE's order.
    std::array<double, 6> confidence{};
    int iterations = 0;
    int guess = -1;                    // the guess grid's node it started from
};

// The whitener of a noise covariance (n x n, symmetric, row-major):
// W = diag(1/sqrt(lambda)) U^T over the eigenvalues above rtol times the
// largest, so that W C W^T is the identity. Returns W (rank x n, row-major)
// and sets *rank. Throws InputError for a matrix that is not symmetric and
// finite or has no positive eigenvalue.
std::vector<double> whitenerFromCovariance(const std::vector<double>& cov, std::int64_t n, std::int64_t* rank,
                                           double rtol = 1e-10);

// The nodes of the guess grid of `region`: a cubic grid of spacing
// options.guessGrid through the region's centre, every node at least
// guessMinDist inside and guessExclude away from the centre.
std::vector<double> guessGrid(const FitRegion& region, const FitOptions& options);

// Fits every time point of `data` (numChannels x numTimes, row-major, the
// forward's sensors in order) whitened by `whitener` (numWhite x
// numChannels, row-major) from the guesses (3 per node, mm). `predicted`,
// when given, receives L(r) Q per time point (numChannels x numTimes), the
// unwhitened field of the fitted dipole. Throws InputError for a guess set
// without any node in the region, Cancelled when progress says stop.
std::vector<DipoleFitResult> fitDipoles(const SourceForward& forward, const double* whitener, std::int64_t numWhite,
                                        const double* data, std::int64_t numTimes, const std::vector<double>& guesses,
                                        const FitRegion& region, const FitOptions& options,
                                        double* predicted = nullptr);

}  // namespace megfwd::dipole
