// A sphere as a value: centre and radius, in millimetres unless a caller
// says otherwise. It is what crosses every boundary: settings, the
// local-sphere table and file, fits to head surfaces, the single shell's
// fitted sphere, the dipole fit, the command line, the Python module and the
// toolbox. The engine keeps its own CSphere (with the coordinate and unit
// state of a scan, HeadModel.h); CSphere::value() and CSphere::set() are
// the only conversions between the two.
#pragma once

#include <array>

namespace megfwd {

using Point3 = std::array<double, 3>;

struct Sphere {
    Point3 centre{0.0, 0.0, 0.0};
    double radius = 0.0;

    // The four numbers x, y, z, r in that order, as the Python package, the
    // toolbox and the text of a --sphere option hold them.
    static Sphere fromArray(const std::array<double, 4>& xyzr) { return {{xyzr[0], xyzr[1], xyzr[2]}, xyzr[3]}; }
    std::array<double, 4> toArray() const { return {centre[0], centre[1], centre[2], radius}; }

    bool operator==(const Sphere&) const = default;
};

}  // namespace megfwd
