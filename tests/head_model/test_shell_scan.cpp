// The single-shell model inside whole computations: both routes, the
// sensor model's combinations, units and field values.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "forward_api/Compute.h"
#include "base/Errors.h"
#include "forward_api/SensorArrayFile.h"
#include "head_model/ShellSurfaces.h"
#include "head_model/SingleShell.h"
#include "host_interfaces/DefaultSystem.h"
#include "support/DemoInputs.h"

using namespace megfwd;

namespace {

std::shared_ptr<const head::SingleShell> skull(int order, double scale = 1.0) {
    head::ShellOptions o;
    o.order = order;
    // Host axes, mm: y up, z to the nose; an egg a little off the origin.
    auto s = shelltest::icosphere(3, {68 * scale, 78 * scale, 84 * scale}, {2, 12, -3});
    s.label = "skull.surf";
    return std::make_shared<head::SingleShell>(head::SingleShell::make(std::move(s), o));
}

double relDiff(const std::vector<double>& a, const std::vector<double>& b) {
    double num = 0, den = 0;
    for (std::size_t i = 0; i < a.size(); ++i) num += (a[i] - b[i]) * (a[i] - b[i]), den += b[i] * b[i];
    return std::sqrt(num / den);
}

// The demo system on a grid that stays inside the egg.
struct Demo : test::DemoInputs {
    Demo() { src.grid = GridSpec{{-40, -10, -40}, {40, 60, 40}, 20}; }
};

// The fast route (correction inside the threads' loops) and the record
// route (correction on the records) agree; order 0 is the sphere bit for
// bit; the correction is no rounding-size change on this egg.
TEST(ShellScan, RoutesAgreeAndOrderZeroIsTheSphere) {
    Demo in;
    LeadfieldRequest req;
    req.threads = 2;
    req.settings.sphereModel = 1;  // the sphere a shell corrects when none is given
    req.settings.userSphere = skull(0)->fittedSphere();
    const ForwardResult sphere = computeLeadfield(in.sys, in.src, req);
    req.settings = {};
    req.singleShell = skull(0);
    EXPECT_EQ(computeLeadfield(in.sys, in.src, req).values, sphere.values);
    req.singleShell = skull(8);
    const ForwardResult fast = computeLeadfield(in.sys, in.src, req);
    req.recordScan = true;
    const ForwardResult record = computeLeadfield(in.sys, in.src, req);
    ASSERT_EQ(fast.meta["scan"]["path"], "fast");
    EXPECT_LT(relDiff(record.values, fast.values), 1e-12);
    EXPECT_GT(relDiff(fast.values, sphere.values), 0.02);
    const auto& m = fast.meta["single_shell"];
    EXPECT_EQ(m["order"], 8);
    EXPECT_EQ(m["fit"], "galerkin");
    EXPECT_EQ(m["surface_triangles"], 1280);
    EXPECT_GT(m["condition_number"].get<double>(), 1.0);
    EXPECT_EQ(record.meta["single_shell"]["surface"], "skull.surf");
}

// Coils, gradiometers and reference weights combine the corrected values
// as they combine the sphere's: a gradiometer is its two coils'
// magnetometers, a referenced channel is the plain one less the weight
// times the reference's value.
TEST(ShellScan, GradiometersAndReferencesCombineMagnetometerValues) {
    const std::string text = R"({"format": "megfwd-sensor-array", "version": 1, "unit": "mm", "channels": [
      {"name": "G", "kind": 101, "coils": [{"position": [20, 118, 30], "normal": [0.1, 1, 0.2], "radius": 9},
                                          {"position": [25, 168, 40], "normal": [0.1, 1, 0.2], "radius": 9, "turns": -1}]},
      {"name": "M1", "kind": 100, "coils": [{"position": [20, 118, 30], "normal": [0.1, 1, 0.2], "radius": 9}]},
      {"name": "M2", "kind": 100, "coils": [{"position": [25, 168, 40], "normal": [0.1, 1, 0.2], "radius": 9}]},
      {"name": "A", "kind": 100, "coils": [{"position": [-90, 60, 40], "normal": [-1, 0.3, 0], "radius": 9}],
       "references": [{"channel": "R", "weight": 0.3}]},
      {"name": "A0", "kind": 100, "coils": [{"position": [-90, 60, 40], "normal": [-1, 0.3, 0], "radius": 9}]},
      {"name": "Rm", "kind": 100, "coils": [{"position": [10, 230, -20], "normal": [0, 1, 0.1], "radius": 9}]},
      {"name": "R", "kind": 10, "coils": [{"position": [10, 230, -20], "normal": [0, 1, 0.1], "radius": 9}]}]})";
    auto array = parseSensorArray(text, "combination.json");
    SystemRef sys{&array->recording, array->trial(), "combination.json"};
    SourceSpec src;
    src.positions = {0, 40, 0, 30, 50, -20, -25, 30, 35, 10, 70, 10};
    src.label = "four sources";
    LeadfieldRequest req;
    req.singleShell = skull(10);
    req.settings.isSpatConstrained = 0;
    const ForwardResult r = computeLeadfield(sys, src, req);
    ASSERT_EQ(r.sensorNames, (std::vector<std::string>{"G", "M1", "M2", "A", "A0", "Rm"}));
    for (std::int64_t i = 0; i < 4; ++i)
        for (int k = 0; k < 3; ++k) {
            auto v = [&](int sensor) { return r.values[static_cast<std::size_t>((i * 6 + sensor) * 3 + k)]; };
            const double scale = std::abs(v(1)) + std::abs(v(3));
            EXPECT_NEAR(v(0), v(1) - v(2), 1e-12 * scale) << "source " << i << " component " << k;
            EXPECT_NEAR(v(3), v(4) - 0.3 * v(5), 1e-12 * scale) << "source " << i << " component " << k;
        }
}

// Scanning in metres (SI values) gives the millimetre scan's values in SI;
// field values of given dipoles are the corrected leadfields times their
// moments.
TEST(ShellScan, MetresEqualMillimetresAndFieldValuesAreLeadfieldsTimesMoments) {
    Demo in;
    LeadfieldRequest req;
    req.singleShell = skull(10);
    req.settings.coilFwdModel = 0;
    const ForwardResult mm = computeLeadfield(in.sys, in.src, req);
    req.settings.si = true;
    const ForwardResult m = computeLeadfield(in.sys, in.src, req);
    std::vector<double> a = mm.values, b = m.values;
    for (double& x : a) x *= mm.unit.toSI;
    for (double& x : b) x *= m.unit.toSI;
    EXPECT_LT(relDiff(a, b), 1e-12);

    req.settings.si = false;
    std::vector<double> dipoles;
    const std::int64_t nSns = mm.shape[1];
    std::vector<double> expected;
    const double q[3] = {0.3, -1.2, 0.7};
    for (std::int64_t i = 0; i < 6; ++i) {
        const auto& p = mm.sourcePositions[static_cast<std::size_t>(i * 7)];
        dipoles.insert(dipoles.end(), {p[0], p[1], p[2], q[0], q[1], q[2]});
        for (std::int64_t s = 0; s < nSns; ++s) {
            const double* l = mm.values.data() + (i * 7 * nSns + s) * 3;
            expected.push_back(l[0] * q[0] + l[1] * q[1] + l[2] * q[2]);
        }
    }
    const ForwardResult field = computeField(in.sys, dipoles, "dipoles", req);
    EXPECT_LT(relDiff(field.values, expected), 1e-12);
    EXPECT_TRUE(field.meta.contains("single_shell"));
}

TEST(ShellScan, RefusesSensorsInsideAndTangentialComponentsByName) {
    Demo in;
    LeadfieldRequest req;
    req.singleShell = skull(6, 1.6);  // reaches past the lowest coils
    try {
        computeLeadfield(in.sys, in.src, req);
        ADD_FAILURE() << "a helmet inside the surface was accepted";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("channel '"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("lies inside or on the inner-skull surface (skull.surf)"), std::string::npos)
            << e.what();
    }
    req.singleShell = skull(6);
    req.settings.isTangLfd = 1;
    for (bool record : {false, true}) {
        req.recordScan = record;
        try {
            computeLeadfield(in.sys, in.src, req);
            ADD_FAILURE() << "two tangential components were accepted";
        } catch (const InputError& e) {
            EXPECT_NE(std::string(e.what()).find("(isTangLfd)"), std::string::npos) << e.what();
        }
    }
}

}  // namespace
