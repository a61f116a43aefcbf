// A topographic map of values over the sensor helmet as a standalone SVG.
//
// The sensors (first-coil positions, host axes: y vertical, z towards the
// nose, x to the left ear) are projected onto the plane by an azimuthal
// equidistant projection about the centre of the sphere that fits them best,
// seen from above with the nose at the top; an array that no sphere fits
// (a flat one) is drawn from above without distortion. Each sensor is one
// disk (class "sensor", with its name and value as a tooltip); the area
// between them is shaded by inverse-distance interpolation; a colour bar with
// the unit labels the diverging colour scale, which is symmetric about 0.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace megfwd::io {

struct TopoMap {
    std::vector<std::array<double, 3>> positions;  // one per sensor
    std::vector<double> values;                    // one per sensor
    std::vector<std::string> names;                // one per sensor (may be empty)
    std::string title;
    std::string subtitle;
    std::string unit;                              // label of the colour bar
};

std::string topoMapSvg(const TopoMap& map);

// Text with &, <, >, " and ' escaped for XML.
std::string xmlEscape(const std::string& text);

}  // namespace megfwd::io
