#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "head_model/ShellSurfaces.h"
#include "head_model/SourceSelection.h"

using megfwd::head::selectSources;
using megfwd::head::SourceStatus;
using megfwd::head::Surface;

namespace {

// MNE-Python's selection, written the slow way: the winding number from
// the triangles' solid angles, the spheres about the vertex mean, and the
// nearest vertex by looking at every vertex. (inside, nearest-vertex
// distance) of p.
std::pair<bool, double> reference(const Surface& s, const double p[3]) {
    const std::int64_t nv = s.numVertices();
    double c[3] = {0, 0, 0};
    for (std::int64_t i = 0; i < nv; ++i)
        for (int k = 0; k < 3; ++k) c[k] += s.vertices[3 * i + k] / static_cast<double>(nv);
    auto dist = [](const double* a, const double* b) { return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]); };
    double inner = std::numeric_limits<double>::infinity(), outer = 0, nearest = inner;
    for (std::int64_t i = 0; i < nv; ++i) {
        inner = std::min(inner, dist(&s.vertices[3 * i], c));
        outer = std::max(outer, dist(&s.vertices[3 * i], c));
        nearest = std::min(nearest, dist(&s.vertices[3 * i], p));
    }
    const double r = dist(p, c);
    return {r < inner || (r <= outer && std::abs(megfwd::head::windingNumber(s, p) - 1.0) <= 1e-5), nearest};
}

// A dented, bumpy head-sized surface: not convex, so rays cross it up to
// four times.
Surface bumpyHead() {
    Surface s = shelltest::icosphere(3);
    for (std::size_t i = 0; i < s.vertices.size(); i += 3) {
        double* v = &s.vertices[i];
        const double theta = std::acos(v[2]), phi = std::atan2(v[1], v[0]);
        const double r = 1.0 + 0.18 * std::sin(3 * theta) * std::cos(2 * phi) - 0.3 * std::exp(-8 * (1 - v[2]));
        for (int k = 0; k < 3; ++k) v[k] *= 0.07 * r * (k == 1 ? 1.15 : 1.0);
    }
    return s;
}

// Every point of a 3-D grid over the surface and beyond, and points whose
// rays along +z run through vertices, against the slow selection: outside,
// too close and kept all occur, and no point differs.
TEST(SourceSelection, EqualsTheSolidAngleSelectionOnABumpySurface) {
    const Surface head = bumpyHead();
    std::vector<double> points;
    for (double x = -0.095; x <= 0.095; x += 0.0087)
        for (double y = -0.105; y <= 0.105; y += 0.0093)
            for (double z = -0.09; z <= 0.09; z += 0.0081) points.insert(points.end(), {x, y, z});
    for (std::int64_t i = 0; i < head.numVertices(); i += 7)
        for (double dz : {-0.03, -0.004, 0.004, 0.03})
            points.insert(points.end(), {head.vertices[3 * i], head.vertices[3 * i + 1], head.vertices[3 * i + 2] + dz});
    const std::int64_t n = static_cast<std::int64_t>(points.size() / 3);
    std::vector<std::pair<bool, double>> ref;
    for (std::int64_t i = 0; i < n; ++i) ref.push_back(reference(head, &points[3 * i]));
    for (double minDistance : {0.0, 0.006}) {
        SCOPED_TRACE(minDistance);
        const auto got = selectSources(head, points.data(), n, minDistance);
        std::int64_t counts[3] = {0, 0, 0};
        for (std::int64_t i = 0; i < n; ++i) {
            const auto [in, nearest] = ref[static_cast<std::size_t>(i)];
            const SourceStatus want = !in                    ? SourceStatus::Outside
                                      : nearest < minDistance ? SourceStatus::TooClose
                                                              : SourceStatus::Kept;
            ASSERT_EQ(got.status[i], want) << "point " << i << " (" << points[3 * i] << ", " << points[3 * i + 1]
                                           << ", " << points[3 * i + 2] << ")";
            ++counts[static_cast<int>(want)];
        }
        EXPECT_EQ(got.outside, counts[1]);
        EXPECT_EQ(got.tooClose, counts[2]);
        EXPECT_GT(counts[0], 1500);
        EXPECT_GT(counts[1], 3000);
        EXPECT_EQ(counts[2] > 300, minDistance > 0);
    }
}

// A cube has faces parallel to the rays and edges and vertices straight
// above and below points: a ray running through an edge, a corner or
// along a face must count one crossing, not two or none. (The interior
// test itself: the spheres about the vertex mean would decide every point
// of a cube.)
TEST(SourceSelection, RaysThroughEdgesVerticesAndAlongFacesCountOnce) {
    Surface cube;
    cube.vertices = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 0, 0, 1, 1, 0, 1, 1, 1, 1, 0, 1, 1};
    cube.triangles = {0, 2, 1, 0, 3, 2, 4, 5, 6, 4, 6, 7, 0, 1, 5, 0, 5, 4,
                      1, 2, 6, 1, 6, 5, 2, 3, 7, 2, 7, 6, 3, 0, 4, 3, 4, 7};
    cube.label = "cube";
    cube = megfwd::head::checkClosedSurface(cube);
    std::vector<double> points;
    std::vector<bool> want;
    for (double x : {0.0, 0.5, 1.0, 0.25, -0.5})
        for (double y : {0.0, 0.5, 1.0, 0.75, 1.5})
            for (double z : {-1.0, 0.5, 2.0}) {
                const bool onFace = z == 0.5 && (x == 0.0 || x == 1.0 || y == 0.0 || y == 1.0) && x >= 0 && x <= 1 &&
                                    y >= 0 && y <= 1;
                if (onFace) continue;  // on the surface: either answer is right
                points.insert(points.end(), {x, y, z});
                want.push_back(z == 0.5 && x > 0 && x < 1 && y > 0 && y < 1);
            }
    const megfwd::head::SurfaceQueries queries(cube);
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(queries.inside(&points[3 * i]), want[i]) << "(" << points[3 * i] << ", " << points[3 * i + 1] << ", "
                                          << points[3 * i + 2] << ")";
}

}  // namespace
