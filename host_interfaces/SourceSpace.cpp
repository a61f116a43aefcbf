#include "host_interfaces/SourceSpace.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "host_interfaces/Afx.h"

CGrid3D::CGrid3D(const double minC[3], const double maxC[3], double step) : spacing(step) {
    for (int i = 0; i < 3; ++i) {
        minCorner[i] = minC[i];
        maxCorner[i] = maxC[i];
    }
    updateNumPoints();
}

int CGrid3D::reset() {
    for (int i = 0; i < 3; ++i) minCorner[i] = maxCorner[i] = 0.0;
    spacing = 0.0;
    numPoints = 0;
    return 1;
}

std::int64_t CGrid3D::pointsOnAxis(int axis) const {
    if (axis < 0 || axis > 2 || !(spacing > 0.0)) return 0;
    const double extent = maxCorner[axis] - minCorner[axis];
    if (!(extent >= 0.0) || !std::isfinite(extent)) return 0;
    const double n = std::floor(extent / spacing + 1e-9) + 1.0;
    if (n > 1e15) return 0;
    return static_cast<std::int64_t>(n);
}

std::int64_t CGrid3D::updateNumPoints() {
    const std::int64_t nx = pointsOnAxis(0), ny = pointsOnAxis(1), nz = pointsOnAxis(2);
    if (nx == 0 || ny == 0 || nz == 0 || ny > megfwd::alloc::kMaxElements / nx ||
        nz > megfwd::alloc::kMaxElements / (nx * ny))
        numPoints = 0;
    else
        numPoints = nx * ny * nz;
    return numPoints;
}

int CGrid3D::getPoint(std::int64_t index, double out[3]) const {
    const std::int64_t ny = pointsOnAxis(1), nz = pointsOnAxis(2);
    if (index < 0 || ny == 0 || nz == 0 || index >= pointsOnAxis(0) * ny * nz) return 0;
    const std::int64_t ix = index / (ny * nz), iy = (index / nz) % ny, iz = index % nz;
    out[0] = minCorner[0] + static_cast<double>(ix) * spacing;
    out[1] = minCorner[1] + static_cast<double>(iy) * spacing;
    out[2] = minCorner[2] + static_cast<double>(iz) * spacing;
    return 1;
}

double CGrid3D::getRadiusMin0Mean1Max2(int which) const {
    double e[3];
    for (int i = 0; i < 3; ++i) e[i] = 0.5 * std::fabs(maxCorner[i] - minCorner[i]);
    if (which == 0) return std::min({e[0], e[1], e[2]});
    if (which == 2) return std::max({e[0], e[1], e[2]});
    return (e[0] + e[1] + e[2]) / 3.0;
}

int CVirtSnsPOXlistkw::addPosition(double x, double y, double z) {
    Entry e;
    e.pos[0] = x;
    e.pos[1] = y;
    e.pos[2] = z;
    entries.push_back(e);
    numEntries = static_cast<std::int64_t>(entries.size());
    return 1;
}

int CVirtSnsPOXlistkw::clear() {
    entries.clear();
    numEntries = 0;
    return 1;
}

CForwardSrc::CForwardSrc(const CForwardSrc& other) { *this = other; }

CForwardSrc& CForwardSrc::operator=(const CForwardSrc& other) {
    if (this == &other) return *this;
    grid = other.grid;
    hasGrid = other.hasGrid;
    std::vector<double> c = other.coords;
    adopt(std::move(c), other.numPos, other.numCoord);
    return *this;
}

int CForwardSrc::adopt(std::vector<double>&& c, std::int64_t count, std::int64_t dims) {
    coords = std::move(c);
    pointers.assign(static_cast<std::size_t>(count), nullptr);
    for (std::int64_t i = 0; i < count; ++i) pointers[static_cast<std::size_t>(i)] = coords.data() + i * 3;
    numPos = count;
    numCoord = dims;
    ppPos = count > 0 ? pointers.data() : nullptr;
    return 1;
}

int CForwardSrc::setGrid(CGrid3D* g) {
    if (!g) return 0;
    CGrid3D copy = *g;
    const std::int64_t n = copy.updateNumPoints();
    if (n < 1 || megfwd::alloc::shouldFail()) return 0;
    std::vector<double> c;
    try {
        c.resize(static_cast<std::size_t>(n) * 3);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    for (std::int64_t i = 0; i < n; ++i) copy.getPoint(i, c.data() + i * 3);
    grid = copy;
    hasGrid = true;
    return adopt(std::move(c), n, 3);
}

int CForwardSrc::setVirtSnsPos(CVirtSnsPOXlistkw* list, int dims) {
    if (!list || list->numEntries < 1 || dims < 1 || dims > 3) return 0;
    const std::int64_t n = std::min<std::int64_t>(list->numEntries, static_cast<std::int64_t>(list->entries.size()));
    if (n < 1 || megfwd::alloc::shouldFail()) return 0;
    std::vector<double> c(static_cast<std::size_t>(n * 3), 0.0);
    for (std::int64_t i = 0; i < n; ++i)
        for (int d = 0; d < dims; ++d) c[static_cast<std::size_t>(i * 3 + d)] = list->entries[static_cast<std::size_t>(i)].pos[d];
    hasGrid = false;
    return adopt(std::move(c), n, dims);
}
