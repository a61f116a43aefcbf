// Sensors made of weighted points, the form in which other toolkits hand
// over their sensors: MNE-Python's coil definitions (integration points,
// directions and weights per coil), FieldTrip's and Brainstorm's coil
// points with a channel-by-point weight matrix. pointSensorArray is the one
// place they become the library's sensors.
//
// A sensor's value is the weighted sum of the field along each point's
// direction, sum_p w_p B(r_p) . n_p. The library's standard sensor model
// divides a sensor's weighted sum by the sum of its weights unless that sum
// is 0; the sensors are built so that the division leaves the sum as it is
// (see pointSensorArray).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "forward_api/SensorArrayFile.h"

namespace megfwd {

struct PointSensor {
    std::string name;
    bool reference = false;         // a reference sensor (kind 10..13), not a measurement sensor (100..103)
    int kind = 0;                   // the sensor-array kind; 0: a magnetometer (100, or 10 for a reference)
    bool good = true;
    std::vector<double> positions;  // 3 per point
    std::vector<double> normals;    // 3 per point: the direction the field is taken along
    std::vector<double> weights;    // 1 per point
    // A measurement sensor's reference weights: (index of a reference sensor
    // in the same list, weight).
    std::vector<std::pair<std::int64_t, double>> references;
};

// The sensors as a sensor array (one channel per sensor, one point coil of
// radius 0 and one turn per point, in `unit`, "mm" or "m"), checked as a
// sensor-array file is: an InputError names `name`, the sensor and the
// point. A sensor whose weights, summed in order, give neither 0 nor 1 gets
// two more points in front of its own, at its first point with opposite
// directions and half of what brings the sum to 1 each: their fields cancel
// exactly, so they change the divisor to 1 and not the sum of fields.
std::unique_ptr<SensorArray> pointSensorArray(const std::vector<PointSensor>& sensors, const std::string& name,
                                              const std::string& unit);

}  // namespace megfwd
