// Source spaces: a box grid with a spacing, a list of virtual-sensor
// positions, and the source-position set that the forward manager keeps.
#pragma once

#include <cstdint>
#include <vector>

// A box of source points. The points are
//   x = minCorner[0] + i * spacing, i = 0, 1, ... while x <= maxCorner[0] (+ a
// tolerance of 1e-9 spacing against rounding), and the same for y and z;
// the order is x slowest, z fastest. numPoints is their count
// (updateNumPoints); a box with spacing <= 0 or min > max on an axis holds no
// points.
class CGrid3D {
public:
    double minCorner[3] = {0.0, 0.0, 0.0};
    double maxCorner[3] = {0.0, 0.0, 0.0};
    std::int64_t numPoints = 0;
    double spacing = 0.0;

    CGrid3D() = default;
    CGrid3D(const double minC[3], const double maxC[3], double step);

    // Empties the box: both corners 0, spacing 0, no points.
    int reset();
    // Points per axis (0 when the axis holds none).
    std::int64_t pointsOnAxis(int axis) const;
    // Recomputes numPoints from the corners and the spacing and returns it.
    std::int64_t updateNumPoints();
    // Position of point index (x slowest, z fastest) into out[3].
    int getPoint(std::int64_t index, double out[3]) const;
    // A radius of the box: half of its smallest (0), mean (1) or largest (2)
    // edge length. Any other selector gives the mean.
    double getRadiusMin0Mean1Max2(int which) const;
};

// Virtual-sensor list: positions (and, optionally, orientations).
class CVirtSnsPOXlistkw {
public:
    struct Entry {
        double pos[3] = {0.0, 0.0, 0.0};
        double orient[3] = {0.0, 0.0, 0.0};
    };
    std::int64_t numEntries = 0;
    std::vector<Entry> entries;

    int addPosition(double x, double y, double z);
    int clear();
};

class CForwardSrc {
public:
    std::int64_t numPos = 0;       // number of positions
    // numPos pointers to positions. Every position has room for three
    // coordinates (unused ones are 0), whatever numCoord says.
    double** ppPos = nullptr;
    std::int64_t numCoord = 3;     // coordinates per position

    CForwardSrc() = default;
    CForwardSrc(const CForwardSrc& other);
    CForwardSrc& operator=(const CForwardSrc& other);
    ~CForwardSrc() = default;

    // Positions of all grid points; 0 when the grid is null, holds no point
    // or allocation fails (the previous positions are then kept).
    int setGrid(CGrid3D* grid);
    // Positions of the list's entries, numCoord = dims (1 to 3 coordinates
    // used); 0 for a null or empty list or dims outside 1..3.
    int setVirtSnsPos(CVirtSnsPOXlistkw* list, int dims);
    // The grid of the last setGrid, null when positions came from a list.
    CGrid3D* getGrid3D() { return hasGrid ? &grid : nullptr; }

private:
    int adopt(std::vector<double>&& coords, std::int64_t count, std::int64_t dims);
    std::vector<double> coords;
    std::vector<double*> pointers;
    CGrid3D grid;
    bool hasGrid = false;
};

class CForwardSrckw : public CForwardSrc {};
