// Shared helpers of the field-formula tests: an engine exposing the protected
// formula members, random geometry and vector comparisons.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "forward_engine/CMForward02Coil08QornSph.h"

namespace phystest {

struct Probe : CMForward02Coil08QornSph {
    using CMForward01Point03Cartesian::point11MQ6Mf3D_01Magnetic;
    using CMForward01Point03Cartesian::point11MQ6Mf3D_02Magnetic;
    using CMForward01Point03Cartesian::point11MQ6Mf3D_03PrimaryCurrent;
    using CMForward01Point03Cartesian::point12Q6Mf3D_00sam03Fwd;
    using CMForward01Point03Cartesian::point12Q6Mf3D_02Sarvas01Ctf;
    using CMForward01Point03Cartesian::point12Q6Mf3D_03Sarvas02Nut;
    using CMForward01Point03Cartesian::point12Q6Mf3D_04CuffinFieldTrip;
    using CMForward01Point03Cartesian::point12Q6Mf3D_05BiotSavartCtf;
    using CMForward01Point03Cartesian::point12Q6Mf3D_06GrynszpanCtf;
    using CMForward02Coil04Array::point2LfMultiCoils02Cuffin;
    using CMForward02Coil04Array::point2LfMultiCoils03Sarvas;
    using CMForward02Coil08QornSph::_28getLocalAlpha;
    using CMForward02Coil08QornSph::_28getRefAlpha;
};
using Member = int (Probe::*)(const double*, const double*, const double*, double*) const;

struct Vec {
    double v[3] = {0.0, 0.0, 0.0};
    double& operator[](int i) { return v[i]; }
    double operator[](int i) const { return v[i]; }
    operator double*() { return v; }
    operator const double*() const { return v; }
};

inline double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline double len(const double* a) { return std::sqrt(dot(a, a)); }
inline Vec cross(const double* a, const double* b) {
    return {{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]}};
}
inline Vec scaled(const double* a, double s) { return {{s * a[0], s * a[1], s * a[2]}}; }
inline Vec sub(const double* a, const double* b) { return {{a[0] - b[0], a[1] - b[1], a[2] - b[2]}}; }

// |a - b| relative to the larger of |a|, |b| (0 when both are zero).
inline double relDiff(const double* a, const double* b, int n = 3) {
    double d = 0.0, m = 0.0;
    for (int i = 0; i < n; ++i) {
        d = std::max(d, std::fabs(a[i] - b[i]));
        m = std::max({m, std::fabs(a[i]), std::fabs(b[i])});
    }
    return m == 0.0 ? 0.0 : d / m;
}

struct Rng {
    std::mt19937_64 gen{12345};
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(gen); }
    Vec onSphere(double length) {  // a random direction of length `length`
        Vec v;
        do {
            for (int i = 0; i < 3; ++i) v[i] = uniform(-1.0, 1.0);
        } while (len(v) < 0.1 || len(v) > 1.0);
        return scaled(v, length / len(v));
    }
};

}  // namespace phystest
