// Source spaces and dipoles from the command line and from files.
//
// --grid "xmin,ymin,zmin,xmax,ymax,zmax,step" (millimetres, host axes): the
// points xmin + i*step, ... of the box, x slowest and z fastest.
//
// A positions file (--sources) and a dipole file (--dipoles) are either
//   - text: one row per source, numbers separated by commas and/or blanks;
//     lines that are empty or start with '#' are skipped, and a first row
//     that does not start with a number is taken as a column header; or
//   - NumPy .npy (recognised by its content): a float64 (or float32/int)
//     array of shape (n, columns).
// Positions have 3 columns x, y, z in millimetres (host axes); dipoles 6:
// x, y, z in millimetres and the moment qx, qy, qz.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace megfwd::io {

struct GridSpec {
    double minCorner[3] = {0, 0, 0};
    double maxCorner[3] = {0, 0, 0};
    double step = 0;
};

// Parses and checks the --grid value (7 finite numbers, step > 0, min <= max
// on every axis); an InputError names the problem.
GridSpec parseGridSpec(const std::string& text);
// Number of grid points, as a double so that absurd boxes do not overflow.
double gridPointCount(const GridSpec& g);

// Rows of `columns` numbers from a text or .npy file, row after row.
std::vector<double> readRows(const std::string& path, int columns);

// Memory the system can still give (MemAvailable, else physical memory), in
// bytes; 0 when unknown.
double availableMemoryBytes();
// Refuses (InputError) a request whose estimated memory exceeds what is
// available, before anything is allocated.
void checkMemory(double bytes, const std::string& what);
std::string humanBytes(double bytes);

}  // namespace megfwd::io
