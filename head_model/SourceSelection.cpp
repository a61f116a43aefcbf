#include "head_model/SourceSelection.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace megfwd::head {

namespace {

// Cells a grid axis gets at most, so that a surface with one far-out vertex
// cannot ask for an enormous grid.
constexpr int kMaxCellsPerAxis = 1024;

// The cell of coordinate x on an axis starting at lo with cells of size h,
// clamped to the grid. The same monotone formula for points and for the
// triangles' extents, so a point whose coordinate lies in a triangle's
// extent always falls in one of the triangle's cells.
int cellOf(double x, double lo, double h, int count) {
    const double c = std::floor((x - lo) / h);
    if (!(c > 0.0)) return 0;  // also NaN
    return c >= count - 1 ? count - 1 : static_cast<int>(c);
}

int sign(double x) { return (x > 0.0) - (x < 0.0); }

// Compressed rows: start[c] .. start[c + 1] index items of cell c, from
// (cell, item) pairs listed by `each`.
template <typename Each>
void buildRows(std::size_t numCells, Each each, std::vector<std::int32_t>& start, std::vector<std::int32_t>& items) {
    start.assign(numCells + 1, 0);
    each([&](std::size_t cell, std::int32_t) { ++start[cell + 1]; });
    for (std::size_t c = 0; c < numCells; ++c) start[c + 1] += start[c];
    items.assign(static_cast<std::size_t>(start[numCells]), 0);
    std::vector<std::int32_t> next(start.begin(), start.end() - 1);
    each([&](std::size_t cell, std::int32_t item) { items[static_cast<std::size_t>(next[cell]++)] = item; });
}

}  // namespace

SurfaceQueries::SurfaceQueries(const Surface& surface)
    : vertices_(surface.vertices), triangles_(surface.triangles) {
    const std::int64_t nv = surface.numVertices(), nt = surface.numTriangles();
    double lo[3], hi[3];
    for (int k = 0; k < 3; ++k) {
        lo[k] = std::numeric_limits<double>::infinity();
        hi[k] = -lo[k];
    }
    for (std::int64_t i = 0; i < nv; ++i)
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], vertices_[3 * i + k]);
            hi[k] = std::max(hi[k], vertices_[3 * i + k]);
        }
    const double span[3] = {std::max(hi[0] - lo[0], 1e-300), std::max(hi[1] - lo[1], 1e-300),
                            std::max(hi[2] - lo[2], 1e-300)};

    // The xy grid: about four triangles per cell, each triangle in a few
    // cells, so a ray meets a dozen or so candidates.
    const double xyCell = std::sqrt(span[0] * span[1] * 4.0 / static_cast<double>(std::max<std::int64_t>(nt, 1)));
    for (int k = 0; k < 2; ++k) {
        xyMin_[k] = lo[k];
        xyCount_[k] = std::clamp(static_cast<int>(std::ceil(span[k] / xyCell)), 1, kMaxCellsPerAxis);
        xyCell_[k] = span[k] / xyCount_[k];
    }
    buildRows(static_cast<std::size_t>(xyCount_[0]) * xyCount_[1], [&](auto&& add) {
        for (std::int64_t t = 0; t < nt; ++t) {
            const std::int32_t* tri = triangles_.data() + 3 * t;
            int c0[2], c1[2];
            for (int k = 0; k < 2; ++k) {
                const double a = vertices_[3 * tri[0] + k], b = vertices_[3 * tri[1] + k], c = vertices_[3 * tri[2] + k];
                c0[k] = cellOf(std::min({a, b, c}), xyMin_[k], xyCell_[k], xyCount_[k]);
                c1[k] = cellOf(std::max({a, b, c}), xyMin_[k], xyCell_[k], xyCount_[k]);
            }
            for (int i = c0[0]; i <= c1[0]; ++i)
                for (int j = c0[1]; j <= c1[1]; ++j)
                    add(static_cast<std::size_t>(i) * xyCount_[1] + j, static_cast<std::int32_t>(t));
        }
    }, xyStart_, xyTriangles_);

    // The vertex grid: cubes of the mean spacing of the vertices over the
    // box, so that a cell holds a few vertices where the surface runs.
    boxCell_ = std::cbrt(span[0] * span[1] * span[2] / static_cast<double>(std::max<std::int64_t>(nv, 1)));
    for (int k = 0; k < 3; ++k) {
        boxMin_[k] = lo[k];
        boxCount_[k] = std::clamp(static_cast<int>(std::ceil(span[k] / boxCell_)), 1, kMaxCellsPerAxis);
    }
    boxCell_ = std::max({boxCell_, span[0] / boxCount_[0], span[1] / boxCount_[1], span[2] / boxCount_[2]});
    buildRows(static_cast<std::size_t>(boxCount_[0]) * boxCount_[1] * boxCount_[2], [&](auto&& add) {
        for (std::int64_t i = 0; i < nv; ++i) {
            int c[3];
            for (int k = 0; k < 3; ++k) c[k] = cellOf(vertices_[3 * i + k], boxMin_[k], boxCell_, boxCount_[k]);
            add((static_cast<std::size_t>(c[0]) * boxCount_[1] + c[1]) * boxCount_[2] + c[2],
                static_cast<std::int32_t>(i));
        }
    }, boxStart_, boxVertices_);

    for (std::int64_t i = 0; i < nv; ++i)
        for (int k = 0; k < 3; ++k) centre_[k] += vertices_[3 * i + k];
    for (double& c : centre_) c /= static_cast<double>(std::max<std::int64_t>(nv, 1));
    spheres_ = inside(centre_);
    innerRadius_ = std::numeric_limits<double>::infinity();
    for (std::int64_t i = 0; i < nv; ++i) {
        const double r = centreDistance(vertices_.data() + 3 * i);
        innerRadius_ = std::min(innerRadius_, r);
        outerRadius_ = std::max(outerRadius_, r);
    }
}

double SurfaceQueries::centreDistance(const double p[3]) const {
    const double d[3] = {p[0] - centre_[0], p[1] - centre_[1], p[2] - centre_[2]};
    return std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
}

int SurfaceQueries::side(std::int32_t a, std::int32_t b, const double p[3]) const {
    // Always from the lower-numbered vertex, so both triangles of the edge
    // get the same number with opposite signs.
    const int flip = a < b ? 1 : -1;
    const double* A = vertices_.data() + 3 * std::min(a, b);
    const double* B = vertices_.data() + 3 * std::max(a, b);
    const double e = (B[0] - A[0]) * (p[1] - A[1]) - (B[1] - A[1]) * (p[0] - A[0]);
    if (e != 0.0) return flip * sign(e);
    // On the edge's line: move p by (eps, eps^2), so e becomes
    // -(B_y - A_y) eps + (B_x - A_x) eps^2 (Edelsbrunner and Muecke's
    // simulation of simplicity). One step for every edge, so the triangles
    // around a vertex or an edge the ray passes through see one point.
    if (B[1] != A[1]) return flip * sign(A[1] - B[1]);
    return flip * sign(B[0] - A[0]);
}

int SurfaceQueries::crossing(std::int64_t t, const double p[3]) const {
    const std::int32_t* tri = triangles_.data() + 3 * t;
    const int s01 = side(tri[0], tri[1], p), s12 = side(tri[1], tri[2], p), s20 = side(tri[2], tri[0], p);
    if (s01 == 0 || s01 != s12 || s12 != s20) return 0;
    // Where the ray meets the triangle's plane, against p: the barycentric
    // weight of each vertex is the edge function of the edge opposite it.
    const double *v0 = vertices_.data() + 3 * tri[0], *v1 = vertices_.data() + 3 * tri[1],
                 *v2 = vertices_.data() + 3 * tri[2];
    auto edge = [&](const double* A, const double* B) {
        return (B[0] - A[0]) * (p[1] - A[1]) - (B[1] - A[1]) * (p[0] - A[0]);
    };
    const double height = edge(v0, v1) * (v2[2] - p[2]) + edge(v1, v2) * (v0[2] - p[2]) + edge(v2, v0) * (v1[2] - p[2]);
    // Wound counter-clockwise seen from +z (s = +1), the triangle faces up:
    // a ray leaving the inside upward crosses it outward.
    if (s01 > 0) return height > 0.0 ? 1 : 0;
    return height < 0.0 ? -1 : 0;
}

bool SurfaceQueries::inside(const double p[3]) const {
    for (int k = 0; k < 2; ++k)
        if (!(p[k] >= xyMin_[k] && p[k] <= xyMin_[k] + xyCell_[k] * xyCount_[k])) return false;
    const std::size_t cell = static_cast<std::size_t>(cellOf(p[0], xyMin_[0], xyCell_[0], xyCount_[0])) * xyCount_[1] +
                             cellOf(p[1], xyMin_[1], xyCell_[1], xyCount_[1]);
    int winding = 0;
    for (std::int32_t i = xyStart_[cell]; i < xyStart_[cell + 1]; ++i)
        winding += crossing(xyTriangles_[static_cast<std::size_t>(i)], p);
    return winding == 1;
}

bool SurfaceQueries::nearVertex(const double p[3], double limit) const {
    int c0[3], c1[3];
    for (int k = 0; k < 3; ++k) {
        const double lo = std::floor((p[k] - limit - boxMin_[k]) / boxCell_);
        const double hi = std::floor((p[k] + limit - boxMin_[k]) / boxCell_);
        if (hi < 0.0 || lo > boxCount_[k] - 1) return false;
        c0[k] = lo < 0.0 ? 0 : static_cast<int>(lo);
        c1[k] = hi > boxCount_[k] - 1 ? boxCount_[k] - 1 : static_cast<int>(hi);
    }
    for (int i = c0[0]; i <= c1[0]; ++i)
        for (int j = c0[1]; j <= c1[1]; ++j)
            for (int l = c0[2]; l <= c1[2]; ++l) {
                const std::size_t cell = (static_cast<std::size_t>(i) * boxCount_[1] + j) * boxCount_[2] + l;
                for (std::int32_t m = boxStart_[cell]; m < boxStart_[cell + 1]; ++m) {
                    const double* v = vertices_.data() + 3 * boxVertices_[static_cast<std::size_t>(m)];
                    const double d[3] = {p[0] - v[0], p[1] - v[1], p[2] - v[2]};
                    if (std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) < limit) return true;
                }
            }
    return false;
}

SourceSelection SurfaceQueries::select(const double* points, std::int64_t count, double minDistance) const {
    SourceSelection out;
    out.status.assign(static_cast<std::size_t>(count), SourceStatus::Kept);
    for (std::int64_t n = 0; n < count; ++n) {
        const double* p = points + 3 * n;
        // MNE's spheres about the vertex mean: inside the smaller one is
        // taken as inside, outside the larger one as outside (see the header).
        const double r = spheres_ ? centreDistance(p) : 0.0;
        const bool in = spheres_ && r < innerRadius_   ? true
                        : spheres_ && r > outerRadius_ ? false
                                                       : inside(p);
        SourceStatus& s = out.status[static_cast<std::size_t>(n)];
        if (!in) {
            s = SourceStatus::Outside;
            ++out.outside;
        } else if (minDistance > 0.0 && !(spheres_ && r < innerRadius_ - minDistance) && nearVertex(p, minDistance)) {
            // Closer than innerRadius - minDistance to the centre, every
            // vertex is farther than minDistance: MNE does not measure
            // those, and neither does this.
            s = SourceStatus::TooClose;
            ++out.tooClose;
        }
    }
    return out;
}

SourceSelection selectSources(const Surface& surface, const double* points, std::int64_t count,
                              double minDistance) {
    return SurfaceQueries(surface).select(points, count, minDistance);
}

}  // namespace megfwd::head
