// Source spaces: grids given as a box and a step, and the memory checks made
// before a computation allocates anything.
//
// A grid "xmin,ymin,zmin,xmax,ymax,zmax,step" (millimetres, host axes) holds
// the points xmin + i*step, ... of the box, x slowest and z fastest.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace megfwd {

// Physical bounds of the inputs, checked by every reader (sensor-array
// files, source and dipole files, --grid, --sphere). A head and an MEG helmet
// fit in a few decimetres; 10 m on every axis leaves room for any frame and
// origin in use, yet refuses unit slips and typing errors (1e300 mm) whose
// squares and products in the formulas would leave the range of a double
// (distances are squared and cubed, then summed over thousands of
// integration points), so that every value computed from accepted input is
// finite. A pickup coil is a few centimetres across: 1 m is far above any.
// Moments have whatever unit the user works in (A*m with --si, nA*m or fA*m
// otherwise): 1e12 covers a strong cortical source in fA*m (1e9) with room,
// and keeps moment / distance^3 finite for any accepted distance down to
// 1e-90 mm.
constexpr double kMaxCoordinateMm = 1.0e4;   // |x|, |y|, |z| of a position or sphere centre
constexpr double kMaxRadiusMm = 1.0e4;       // a head-model sphere's radius
constexpr double kMaxCoilRadiusMm = 1.0e3;   // a pickup coil's radius
constexpr double kMaxMoment = 1.0e12;        // |qx|, |qy|, |qz| of a dipole moment

// What is wrong with a position in millimetres ("y = 1e+300 mm is outside
// -10000..10000 mm (10 m)"), or empty when it is within the bounds; the same
// for a moment.
std::string positionProblem(const double position[3]);
std::string momentProblem(const double moment[3]);

struct GridSpec {
    double minCorner[3] = {0, 0, 0};
    double maxCorner[3] = {0, 0, 0};
    double step = 0;
};

// Parses and checks the --grid value (7 finite numbers, step > 0, min <= max
// on every axis, corners within kMaxCoordinateMm); an InputError names the
// problem.
GridSpec parseGridSpec(const std::string& text);
// Number of grid points, as a double so that absurd boxes do not overflow.
double gridPointCount(const GridSpec& g);

// Memory the system can still give (MemAvailable, else physical memory), in
// bytes; 0 when unknown. A reading stands for 50 ms.
double availableMemoryBytes();
// Refuses (InputError) a request whose estimated memory exceeds what is
// available, before anything is allocated.
void checkMemory(double bytes, const std::string& what);
std::string humanBytes(double bytes);


// Splits a line of numbers at commas, semicolons, blanks and tabs; the
// fields are views of `line`. The second form fills `out` (a reader's one
// vector for all its lines).
std::vector<std::string_view> splitFields(std::string_view line);
void splitFields(std::string_view line, std::vector<std::string_view>& out);
// Reads a whole field as a decimal number: an optional sign, digits with an
// optional point and exponent, or inf/nan. False when anything else is in
// the field (blanks, a hexadecimal number, a NUL byte, trailing characters).
// The decimal point is '.' whatever the locale. Values beyond the range of a
// double read as +-inf (or 0 when too small), for the caller to refuse.
bool parseNumber(std::string_view text, double& value);

}  // namespace megfwd
