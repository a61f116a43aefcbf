// Test surfaces: closed icospheres scaled into ellipsoids, and points on
// spheres, ellipsoids and caps of them.
#pragma once

#include <array>
#include <cmath>
#include <map>
#include <utility>
#include <vector>

#include "head_model/SingleShell.h"
#include "head_model/SphereFit.h"

namespace shelltest {

constexpr double kPi = 3.14159265358979323846;

// n points on the ellipsoid with semi-axes `axes` about `centre`, with polar
// angle at most `cap` (radians, pi for the whole surface) about +y, spread
// evenly by a golden-angle spiral.
inline std::vector<megfwd::head::Point3> spiralPoints(const megfwd::head::Point3& centre,
                                                      const std::array<double, 3>& axes, int n, double cap = kPi) {
    std::vector<megfwd::head::Point3> out;
    const double golden = kPi * (3.0 - std::sqrt(5.0));
    for (int i = 0; i < n; ++i) {
        const double cosT = 1.0 - (1.0 - std::cos(cap)) * (i + 0.5) / n;
        const double sinT = std::sqrt(1.0 - cosT * cosT);
        out.push_back({centre[0] + axes[0] * sinT * std::cos(golden * i), centre[1] + axes[1] * cosT,
                       centre[2] + axes[2] * sinT * std::sin(golden * i)});
    }
    return out;
}

// An icosahedron subdivided `levels` times, projected on the unit sphere,
// then scaled by semi-axes (a, b, c) and moved to `centre`; triangles wound
// outward. 20 * 4^levels triangles.
inline megfwd::head::Surface icosphere(int levels, std::array<double, 3> axes = {1, 1, 1},
                                          std::array<double, 3> centre = {0, 0, 0}) {
    const double t = (1.0 + std::sqrt(5.0)) / 2.0;
    std::vector<double> v = {-1, t, 0, 1, t, 0, -1, -t, 0, 1, -t, 0, 0, -1, t, 0, 1, t,
                             0, -1, -t, 0, 1, -t, t, 0, -1, t, 0, 1, -t, 0, -1, -t, 0, 1};
    std::vector<std::int32_t> f = {0, 11, 5, 0, 5, 1, 0, 1, 7, 0, 7, 10, 0, 10, 11, 1, 5, 9, 5, 11, 4,
                                   11, 10, 2, 10, 7, 6, 7, 1, 8, 3, 9, 4, 3, 4, 2, 3, 2, 6, 3, 6, 8,
                                   3, 8, 9, 4, 9, 5, 2, 4, 11, 6, 2, 10, 8, 6, 7, 9, 8, 1};
    auto unit = [&](std::size_t i) {
        const double n = std::sqrt(v[3 * i] * v[3 * i] + v[3 * i + 1] * v[3 * i + 1] + v[3 * i + 2] * v[3 * i + 2]);
        for (int k = 0; k < 3; ++k) v[3 * i + k] /= n;
    };
    for (std::size_t i = 0; i < v.size() / 3; ++i) unit(i);
    for (int l = 0; l < levels; ++l) {
        std::map<std::pair<std::int32_t, std::int32_t>, std::int32_t> mid;
        auto middle = [&](std::int32_t a, std::int32_t b) {
            const auto key = std::minmax(a, b);
            auto it = mid.find(key);
            if (it != mid.end()) return it->second;
            for (int k = 0; k < 3; ++k) v.push_back(0.5 * (v[3 * a + k] + v[3 * b + k]));
            const auto idx = static_cast<std::int32_t>(v.size() / 3 - 1);
            unit(static_cast<std::size_t>(idx));
            mid.emplace(key, idx);
            return idx;
        };
        std::vector<std::int32_t> g;
        for (std::size_t i = 0; i < f.size(); i += 3) {
            const std::int32_t a = f[i], b = f[i + 1], c = f[i + 2];
            const std::int32_t ab = middle(a, b), bc = middle(b, c), ca = middle(c, a);
            g.insert(g.end(), {a, ab, ca, b, bc, ab, c, ca, bc, ab, bc, ca});
        }
        f.swap(g);
    }
    megfwd::head::Surface s;
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = v[i] * axes[i % 3] + centre[i % 3];
    s.vertices = std::move(v);
    s.triangles = std::move(f);
    s.label = "test surface";
    return s;
}

}  // namespace shelltest
