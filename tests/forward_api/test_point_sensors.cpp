// Sensors made of weighted points: whatever their weights add up to, a
// sensor's value is the weighted sum of its points' fields, and what the
// library cannot take is refused naming the sensor.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "forward_api/Compute.h"
#include "base/Errors.h"
#include "forward_api/PointSensors.h"

namespace {

using namespace megfwd;

PointSensor sensor(const std::string& name, const std::vector<double>& positions, const std::vector<double>& weights) {
    PointSensor s;
    s.name = name;
    s.positions = positions;
    s.weights = weights;
    for (std::size_t p = 0; p < weights.size(); ++p) s.normals.insert(s.normals.end(), {0.0, 0.6, 0.8});
    return s;
}

TEST(PointSensors, ValueIsTheWeightedSumWhateverTheWeightsAddUpTo) {
    const std::vector<double> p{10, 100, 20}, q{-15, 110, 30};
    const std::vector<double> pp{10, 100, 20, 10, 100, 20};
    const std::vector<double> pq{10, 100, 20, -15, 110, 30};
    const std::vector<PointSensor> sensors = {
        sensor("P", p, {1.0}),              // the reference values at p
        sensor("Q", q, {1.0}),              // and at q
        sensor("P1.2", pp, {0.7, 0.5}),     // weights adding up to 1.2
        sensor("P0.6", pp, {0.25, 0.35}),   // to 0.6
        sensor("GRAD", pq, {1.0, -1.0}),    // to 0: a gradiometer
        sensor("MIX", pq, {2.0, -0.5}),     // to 1.5, at two places
    };
    const auto array = pointSensorArray(sensors, "points", "mm");
    const SystemRef system{&array->recording, array->trial(), array->path};
    SourceSpec src;
    src.label = "sources";
    src.positions = {0, 40, 10, 20, 30, -10, -25, 55, 5};
    LeadfieldRequest req;
    req.settings.snsFwdModel = 0;  // the standard model: a sensor's points at their weights
    req.settings.isUseRefSns = 0;
    req.settings.isSpatConstrained = 0;
    req.settings.sphereModel = 1;
    req.settings.userSphere = Sphere{{0, 0, 0}, 90};
    const ForwardResult r = computeLeadfield(system, src, req);
    ASSERT_EQ(r.shape, (std::vector<std::int64_t>{3, 6, 3}));
    auto value = [&](int source, int s, int k) { return r.values[static_cast<std::size_t>((source * 6 + s) * 3 + k)]; };
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) {
            SCOPED_TRACE("source " + std::to_string(i) + ", component " + std::to_string(k));
            const double at_p = value(i, 0, k), at_q = value(i, 1, k);
            const double scale = std::fabs(at_p) + std::fabs(at_q);
            // A few roundings of sums of a handful of products.
            const double tol = 1e-14 * scale;
            EXPECT_NEAR(value(i, 2, k), 1.2 * at_p, tol);
            EXPECT_NEAR(value(i, 3, k), 0.6 * at_p, tol);
            EXPECT_NEAR(value(i, 4, k), at_p - at_q, tol);
            EXPECT_NEAR(value(i, 5, k), 2.0 * at_p - 0.5 * at_q, tol);
        }
}

TEST(PointSensors, RefusesWhatItCannotTakeNamingTheSensor) {
    auto refused = [](std::vector<PointSensor> sensors, const std::string& what) {
        try {
            pointSensorArray(sensors, "points", "mm");
            ADD_FAILURE() << "accepted: " << what;
        } catch (const InputError& e) {
            EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
        }
    };
    PointSensor shortNormals = sensor("A", {0, 100, 0, 0, 110, 0}, {1, -1});
    shortNormals.normals.resize(3);
    refused({shortNormals}, "points: sensor 'A' (#1): 2 weights but 6 position and 3 normal coordinates");
    refused({sensor("A", {}, {})}, "sensor 'A' (#1): no points");
    PointSensor wrongKind = sensor("R", {0, 200, 0}, {1});
    wrongKind.reference = true;
    wrongKind.kind = 101;
    refused({wrongKind}, "sensor 'R' (#1): kind 101 does not agree with the reference flag");
    PointSensor measured = sensor("A", {0, 100, 0}, {1});
    measured.references = {{1, 0.5}};
    refused({measured, sensor("B", {0, 110, 0}, {1})}, "'B', which is not a reference sensor");
    PointSensor zero = sensor("Z", {0, 100, 0}, {1});
    zero.normals = {0, 0, 0};
    refused({zero}, "'normal' has zero length");
}

}  // namespace
