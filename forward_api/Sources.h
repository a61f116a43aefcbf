// Source spaces: grids given as a box and a step, and the memory checks made
// before a computation allocates anything.
//
// A grid "xmin,ymin,zmin,xmax,ymax,zmax,step" (millimetres, host axes) holds
// the points xmin + i*step, ... of the box, x slowest and z fastest.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace megfwd {

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

// Memory the system can still give (MemAvailable, else physical memory), in
// bytes; 0 when unknown.
double availableMemoryBytes();
// Refuses (InputError) a request whose estimated memory exceeds what is
// available, before anything is allocated.
void checkMemory(double bytes, const std::string& what);
std::string humanBytes(double bytes);


// Splits a line of numbers at commas, semicolons, blanks and tabs.
std::vector<std::string> splitFields(const std::string& line);
// Reads a whole field as a number (strtod); false when anything is left over.
bool parseNumber(const std::string& text, double& value);

}  // namespace megfwd
