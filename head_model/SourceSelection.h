// Source selection against a closed surface (the inner skull): which
// sources lie inside it, and which of those lie closer than a minimum
// distance to it, for thousands of sources in milliseconds.
//
// The rules are MNE-Python's (mne/source_space.py, _filter_source_spaces,
// and mne/surface.py, _CheckInside), so that a forward solution computed
// here keeps the sources MNE would keep:
//   - a source is inside when the surface winds once around it. MNE sums
//     the triangles' solid angles; here a ray from the source along +z
//     counts the triangles it crosses, signed by the side it leaves them
//     by. Both give the winding number, and they can differ only for a
//     source within rounding of the surface;
//   - MNE's shortcut holds as well: with c the mean of the vertices, r_in
//     and r_out the smallest and largest vertex distance from it, a source
//     closer than r_in to c is inside and one farther than r_out is
//     outside. The first can take a source just outside the surface (a
//     triangle may come closer to c than its vertices); it is kept here
//     all the same, so that the two selections agree. MNE uses the
//     shortcut when c lies inside the vertices' convex hull, here when it
//     lies inside the surface: the same for any surface whose vertex mean
//     lies inside it;
//   - the distance a source keeps from the surface is the distance to the
//     nearest vertex (not to the triangles), and only sources inside are
//     measured.
// Positions and the distance are in any one unit.
#pragma once

#include <cstdint>
#include <vector>

#include "head_model/SingleShell.h"

namespace megfwd::head {

// Where a source stands against the surface.
enum class SourceStatus : std::uint8_t {
    Kept = 0,      // inside, and at least the minimum distance from every vertex
    Outside = 1,   // outside the surface (or on it)
    TooClose = 2,  // inside, but closer than the minimum distance to a vertex
};

struct SourceSelection {
    std::vector<SourceStatus> status;  // one per point
    std::int64_t outside = 0;          // how many are Outside
    std::int64_t tooClose = 0;         // how many are TooClose
};

// Queries of one closed surface (checked and wound outward, as
// checkClosedSurface returns it; copied). Built in O(triangles); each query
// reads only the triangles or vertices near the point, over uniform grids:
// the triangles by their extent in x and y (the cells a ray along +z
// crosses are the point's own column), the vertices in 3-D. Read-only
// after construction, so many threads may query one object, and one object
// serves any number of selections.
class SurfaceQueries {
public:
    explicit SurfaceQueries(const Surface& surface);

    // The status of each of `count` points (3 coordinates each) with
    // MNE-Python's rules above. minDistance <= 0 keeps every point inside.
    SourceSelection select(const double* points, std::int64_t count, double minDistance) const;

    // Whether the surface winds once around p (a ray from p along +z leaves
    // it once more than it enters). Points on the surface may go either way.
    bool inside(const double p[3]) const;

    // Whether some vertex lies closer than `limit` (> 0) to p.
    bool nearVertex(const double p[3], double limit) const;

private:
    // +1 or -1 when the ray from p along +z crosses triangle t, by the side
    // it leaves it by (outward: +1), 0 when it misses it.
    int crossing(std::int64_t t, const double p[3]) const;
    // The side of the edge from vertex a to vertex b on which p's projection
    // on the xy plane lies: +1 left, -1 right. Computed the same way for
    // both triangles of an edge, and broken for points on the edge's line
    // by moving p an infinitesimal step, so that a ray through an edge or a
    // vertex crosses exactly one triangle there; 0 only when the edge is
    // parallel to z.
    int side(std::int32_t a, std::int32_t b, const double p[3]) const;
    double centreDistance(const double p[3]) const;

    std::vector<double> vertices_;
    std::vector<std::int32_t> triangles_;
    // MNE's spheres about the vertex mean (used when the mean lies inside).
    double centre_[3] = {0, 0, 0};
    double innerRadius_ = 0.0, outerRadius_ = 0.0;
    bool spheres_ = false;
    // Triangles by cell of the xy grid (compressed rows).
    double xyMin_[2] = {0, 0}, xyCell_[2] = {1, 1};
    int xyCount_[2] = {1, 1};
    std::vector<std::int32_t> xyStart_, xyTriangles_;
    // Vertices by cell of the 3-D grid.
    double boxMin_[3] = {0, 0, 0};
    double boxCell_ = 1.0;
    int boxCount_[3] = {1, 1, 1};
    std::vector<std::int32_t> boxStart_, boxVertices_;
};

// SurfaceQueries(surface).select(points, count, minDistance).
SourceSelection selectSources(const Surface& surface, const double* points, std::int64_t count,
                              double minDistance);

}  // namespace megfwd::head
