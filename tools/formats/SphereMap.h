// A picture of local spheres as a standalone SVG: the head points, the
// sensors and each sensor's sphere centre, seen from the front, the left
// and above, so that a centre in the wrong place stands out.
//
// Host axes: x to the left ear, y up, z to the nose; millimetres.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "host_interfaces/Sphere.h"

namespace megfwd::io {

struct SphereMap {
    std::vector<std::array<double, 3>> headPoints;  // may be empty
    std::vector<std::array<double, 3>> sensors;     // one per sphere: the sensor's first coil
    std::vector<std::array<double, 3>> centres;     // one per sensor
    std::vector<bool> fallback;                     // one per sensor: took the global sphere
    std::vector<std::string> names;                 // one per sensor
    Sphere globalSphere;  // drawn as a dashed outline
    std::string title;
    std::string subtitle;
};

std::string sphereMapSvg(const SphereMap& map);

}  // namespace megfwd::io
