#include "head_model/Surface.h"

#include <cmath>
#include <utility>

#include "base/Errors.h"
#include "base/FileText.h"

namespace megfwd::head {

std::vector<Point3> Surface::points() const {
    std::vector<Point3> out(static_cast<std::size_t>(numVertices()));
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = {vertices[3 * i], vertices[3 * i + 1], vertices[3 * i + 2]};
    return out;
}

Surface Surface::fromPoints(const std::vector<Point3>& points, std::string label) {
    Surface s;
    s.label = std::move(label);
    s.vertices.reserve(3 * points.size());
    for (const Point3& p : points) s.vertices.insert(s.vertices.end(), p.begin(), p.end());
    return s;
}

std::int32_t vertexIndex(double value, std::int64_t triangle, std::int64_t numVertices, const std::string& label,
                         int firstIndex) {
    const std::string where = label + ": triangle " + std::to_string(triangle + firstIndex);
    if (!(value == std::floor(value)))
        throw InputError(where + " holds " + exactNumber(value) + ", not a vertex index");
    const double index = value - firstIndex;
    if (!(index >= 0.0 && index < static_cast<double>(numVertices)))
        throw InputError(where + " names vertex " + exactNumber(value) + "; the vertices are numbered " +
                         std::to_string(firstIndex) + " to " + std::to_string(numVertices - 1 + firstIndex));
    return static_cast<std::int32_t>(index);
}

void checkSurface(const Surface& s, int firstIndex) {
    if (s.vertices.size() % 3 != 0 || s.triangles.size() % 3 != 0)
        throw InputError(s.label + ": vertices and triangles must have 3 entries each");
    const std::int64_t nv = s.numVertices();
    for (std::int64_t i = 0; i < nv; ++i)
        for (int a = 0; a < 3; ++a)
            if (!std::isfinite(s.vertex(i)[a]))
                throw InputError(s.label + ": point " + std::to_string(i + firstIndex) + " has coordinate " + "xyz"[a] +
                                 " = " + exactNumber(s.vertex(i)[a]) + ", not a finite number");
    for (std::size_t k = 0; k < s.triangles.size(); ++k)
        vertexIndex(static_cast<double>(s.triangles[k]) + firstIndex, static_cast<std::int64_t>(k / 3), nv, s.label, firstIndex);
}

}  // namespace megfwd::head
