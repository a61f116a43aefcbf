#include "forward_api/PointSensors.h"

#include "base/Errors.h"

namespace megfwd {
namespace {

// The columns a sensor array is built from, with storage of their own.
struct Columns {
    std::vector<std::string> names;
    std::vector<int> kinds;
    std::vector<std::uint8_t> good;
    std::vector<double> gains;
    std::vector<std::int64_t> coilCounts;
    std::vector<double> positions, normals, radii, weights;
    std::vector<int> turns;
    std::vector<std::int64_t> referenceCounts, referenceChannels;
    std::vector<double> referenceWeights;

    void addPoint(const double* position, const double* normal, double sign, double weight) {
        for (int a = 0; a < 3; ++a) positions.push_back(position[a]), normals.push_back(sign * normal[a]);
        radii.push_back(0.0);
        turns.push_back(1);
        weights.push_back(weight);
    }
};

int kindOf(const PointSensor& s, const std::string& where) {
    if (s.kind == 0) return s.reference ? kind::kRefMagnetometer : kind::kMagnetometer;
    if (kind::isReference(s.kind) != s.reference)
        throw InputError(where + ": kind " + std::to_string(s.kind) + " does not agree with the reference flag (" +
                         (s.reference ? "a reference sensor" : "a measurement sensor") + ")");
    return s.kind;
}

void addSensor(Columns& c, const PointSensor& s, const std::string& where) {
    const std::size_t n = s.weights.size();
    if (s.positions.size() != 3 * n || s.normals.size() != 3 * n)
        throw InputError(where + ": " + std::to_string(n) + " weights but " + std::to_string(s.positions.size()) +
                         " position and " + std::to_string(s.normals.size()) + " normal coordinates (3 per point)");
    if (n == 0) throw InputError(where + ": no points");
    c.names.push_back(s.name);
    c.kinds.push_back(kindOf(s, where));
    c.good.push_back(s.good ? 1 : 0);
    c.gains.push_back(1.0);
    // Summed in the order the standard model sums them, so that a sum of 0
    // or 1 is found exactly.
    double total = 0.0;
    for (double w : s.weights) total += w;
    const bool balance = total != 0.0 && total != 1.0;
    if (balance) {
        const double half = (1.0 - total) / 2.0;
        c.addPoint(s.positions.data(), s.normals.data(), 1.0, half);
        c.addPoint(s.positions.data(), s.normals.data(), -1.0, half);
    }
    for (std::size_t p = 0; p < n; ++p) c.addPoint(&s.positions[3 * p], &s.normals[3 * p], 1.0, s.weights[p]);
    c.coilCounts.push_back(static_cast<std::int64_t>(n + (balance ? 2 : 0)));
    c.referenceCounts.push_back(static_cast<std::int64_t>(s.references.size()));
    for (const auto& [channel, weight] : s.references) {
        c.referenceChannels.push_back(channel);
        c.referenceWeights.push_back(weight);
    }
}

}  // namespace

std::unique_ptr<SensorArray> pointSensorArray(const std::vector<PointSensor>& sensors, const std::string& name,
                                              const std::string& unit) {
    Columns c;
    for (std::size_t i = 0; i < sensors.size(); ++i)
        addSensor(c, sensors[i], name + ": sensor '" + sensors[i].name + "' (#" + std::to_string(i + 1) + ")");
    SensorArrayColumns in;
    in.names = c.names;
    in.kinds = c.kinds;
    in.good = c.good;
    in.gains = c.gains;
    in.coilCounts = c.coilCounts;
    in.positions = c.positions;
    in.normals = c.normals;
    in.radii = c.radii;
    in.turns = c.turns;
    in.weights = c.weights;
    in.referenceCounts = c.referenceCounts;
    in.referenceChannels = c.referenceChannels;
    in.referenceWeights = c.referenceWeights;
    in.unit = unit;
    return sensorArrayFromColumns(in, name);
}

}  // namespace megfwd
