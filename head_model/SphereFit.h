// One sphere fitted to points: the algebraic fit used for the global head
// sphere and for every sensor's local sphere, and the weighted geometric
// fit that refines a local sphere.
//
// Positions are millimetres in whatever frame the caller uses; a fit does
// not depend on the frame (translating or rotating the points moves the
// sphere with them).
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "host_interfaces/Sphere.h"

namespace megfwd::head {

using megfwd::Point3;

// A fitted sphere: the sphere, and how well it fits.
struct SphereFit : Sphere {
    // Root mean square of the points' distances from the sphere,
    // |p - centre| - radius (weighted by the weights of a weighted fit).
    double rms = 0.0;
};

// Taubin's algebraic fit: the sphere A|p|^2 + B.p + C = 0 that minimises the
// sum of the squared algebraic distances divided by the mean squared length
// of their gradient (G. Taubin 1991, IEEE PAMI 13:1115; for circles
// N. Chernov, "Circular and linear regression", 2010, ch. 5). Unlike the
// plain algebraic (Kasa) fit it does not shrink spheres fitted to a small
// cap, and it needs no starting point.
//
// Throws InputError with a message saying what is wrong: fewer than 4
// points, a coordinate that is not finite (naming the point), all points at
// one place, on one line or on one plane.
SphereFit fitSphere(const std::vector<Point3>& points);
SphereFit fitSphere(const Point3* points, std::size_t count);

// The sphere minimising sum w_i (|p_i - c| - r)^2, by Gauss-Newton steps
// started from `start`. Points with weight 0 do not
// count. Returns false, leaving `out` alone, when the iteration does not
// settle within `maxIterations` steps or the weights or distances leave the
// normal equations singular.
bool fitSphereWeighted(const Point3* points, const double* weights, std::size_t count, const Sphere& start,
                       SphereFit& out, int maxIterations = 50);

// The eigenvalues (ascending) and unit eigenvectors (columns of `vectors`,
// in the same order) of a symmetric n x n matrix (row-major, n <= 4), by
// cyclic Jacobi rotations.
void symmetricEigen(const double* matrix, int n, double* values, double* vectors);

}  // namespace megfwd::head
