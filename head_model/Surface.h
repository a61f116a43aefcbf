// A head surface: the one type for a triangulated mesh (an inner skull, a
// scalp) and for digitised head-shape points (a surface without triangles),
// and the one check of what comes in from a file, an array or a toolbox.
//
// Millimetres, in the frame of the sensors it is used with. Vertices are
// held flat (x, y, z of each in turn), so the single shell and the source
// selection read them without a copy; points() gives them as 3-vectors for
// the sphere fits.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host_interfaces/Sphere.h"

namespace megfwd::head {

using megfwd::Point3;

struct Surface {
    std::vector<double> vertices;         // 3 per vertex
    std::vector<std::int32_t> triangles;  // 3 vertex indices (0-based) per triangle; none for head-shape points
    std::string label;                    // the file name, or what the caller calls the surface, for messages

    std::int64_t numVertices() const { return static_cast<std::int64_t>(vertices.size() / 3); }
    std::int64_t numTriangles() const { return static_cast<std::int64_t>(triangles.size() / 3); }
    const double* vertex(std::int64_t i) const { return vertices.data() + 3 * i; }
    std::vector<Point3> points() const;
    // Head-shape points: a surface without triangles.
    static Surface fromPoints(const std::vector<Point3>& points, std::string label = {});
};

// The vertex index a caller gave as a number (a .npy of floats, a MATLAB
// array, a NumPy int64) for triangle `triangle`, as a 0-based index.
// `firstIndex` is how the caller numbers vertices and triangles: 0, or 1
// for MATLAB; messages use the caller's numbering. Throws InputError naming
// the surface, the triangle and the value when it is not a whole number or
// names no vertex.
std::int32_t vertexIndex(double value, std::int64_t triangle, std::int64_t numVertices, const std::string& label,
                         int firstIndex = 0);

// Checks that every coordinate is finite and every triangle names three
// vertices of the surface; after it every function may trust the indices.
// Throws InputError naming the surface, the vertex or triangle and the value
// (numbered from `firstIndex`).
void checkSurface(const Surface& s, int firstIndex = 0);

}  // namespace megfwd::head
