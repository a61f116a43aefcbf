// The point loops of the fast leadfield path: one tight loop over the
// integration points of every coil of every sensor, laid out as a structure
// of arrays, for one source.
//
// For each point i the loop forms the source position relative to the
// point's origin, r0 = src - o_i, evaluates the coil-level three-component
// leadfield of the chosen formula family at the point p_i with coil normal
// n_i (the component of the field along n_i for unit moments along x, y and
// z at r0), and stores it multiplied by the point's weight w_i into
// vx[i - begin], vy[i - begin], vz[i - begin]. The arithmetic of each family is that of the engine's
// coil members (same operations in the same order), written without branches
// so that the compiler vectorises the loop; where a formula has no finite
// value (the members' zero-output cases) the point's values are 0 and the
// point is counted.
//
// The loops are built for plain x86-64 and, chosen at run time, for AVX2.
#pragma once

#include <cstdint>

namespace megfwd::fast {

// Integration points, one entry per point, grouped by sensor.
struct PointArrays {
    const double* px = nullptr;  // point, relative to the sensor's origin
    const double* py = nullptr;
    const double* pz = nullptr;
    const double* nx = nullptr;  // coil normal
    const double* ny = nullptr;
    const double* nz = nullptr;
    const double* ox = nullptr;  // origin of the source position for this point
    const double* oy = nullptr;
    const double* oz = nullptr;
    const double* w = nullptr;   // weight of the point in its sensor's sum
};

// Formula families with a vectorised loop.
enum class PointFamily : int {
    Sarvas = 0,          // scalar/vector/Nut Sarvas forms (all one arithmetic)
    Cuffin = 1,          // Cuffin, FieldTrip form
    BiotSavart = 2,      // Biot-Savart of a current dipole, primary current of a magnetic source
    MagneticDipole = 3,  // magnetic dipole
    MagneticTensor = 4,  // magnetic dipole, tensor form
};

// Runs the loop of `family` with factor k over points [begin, end) for the
// source src (3 doubles, scan frame) and returns the number of points without
// a finite value (F = 0 or not finite for Sarvas; a = 0, rn = 0 or a zero
// denominator for Cuffin; a = 0 for the free-space and magnetic forms).
std::int64_t runPointKernel(PointFamily family, double k, const PointArrays& pts, std::int64_t begin,
                            std::int64_t end, const double* src, double* vx, double* vy, double* vz);

}  // namespace megfwd::fast
