// Local spheres in a computation: the table becomes every sensor's sphere
// through the manager's preparation, both routes use it alike, and a table
// that does not fit the sensors is refused or reported.
#include <cmath>

#include <gtest/gtest.h>

#include "forward_api/Compute.h"
#include "base/Errors.h"
#include "forward_api/LocalSpheresFile.h"
#include "forward_fast/FastTestSupport.h"
#include "head_model/ShellSurfaces.h"
#include "host_interfaces/DefaultSystem.h"
#include "support/DemoInputs.h"
#include "support/MessageRecorder.h"

using namespace megfwd;

namespace {

// Points on the ellipsoid with semi-axes (a, b, c) about `centre`.
head::Surface ellipsoidSurface(const head::Point3& centre, double a, double b, double c, int n) {
    return head::Surface::fromPoints(shelltest::spiralPoints(centre, {a, b, c}, n), "test surface");
}

struct Demo : test::DemoInputs {
    std::shared_ptr<head::LocalSpheres> fit(const head::Surface& s, head::LocalSphereMethod m) {
        head::LocalSphereOptions o;
        o.method = m;
        return std::make_shared<head::LocalSpheres>(head::fitLocalSpheres(s, sensorSites(*sys.trial, true), o));
    }
};

double maxAbs(const std::vector<double>& v) {
    double m = 0.0;
    for (double x : v) m = std::max(m, std::abs(x));
    return m;
}

}  // namespace

TEST(LocalSphereScan, OnASphericalHeadEqualsTheSingleSphere) {
    Demo d;
    const head::Surface ball = ellipsoidSurface({2, 8, -3}, 80, 80, 80, 4000);
    for (head::LocalSphereMethod m : {head::LocalSphereMethod::Nearby, head::LocalSphereMethod::Weighted}) {
        SCOPED_TRACE(head::methodName(m));
        LeadfieldRequest local, single;
        local.settings.localSpheres = d.fit(ball, m);
        ASSERT_EQ(local.settings.localSpheres->numFallback(), 0);
        single.settings.sphereModel = 1;
        single.settings.userSphere = Sphere{{2, 8, -3}, 80};
        for (bool refs : {false, true}) {
            local.settings.isUseRefSns = single.settings.isUseRefSns = refs ? 1 : 0;
            const ForwardResult a = computeLeadfield(d.sys, d.src, local), b = computeLeadfield(d.sys, d.src, single);
            ASSERT_EQ(a.shape, b.shape);
            EXPECT_EQ(a.inScan, b.inScan);
            // The fitted spheres are the head sphere to rounding, so the
            // leadfields agree to rounding of the largest value.
            const double scale = maxAbs(b.values);
            ASSERT_GT(scale, 0.0);
            double worst = 0.0;
            for (std::size_t i = 0; i < a.values.size(); ++i)
                worst = std::max(worst, std::abs(a.values[i] - b.values[i]));
            EXPECT_LE(worst, 1e-12 * scale) << "refs " << refs;
        }
    }
}

TEST(LocalSphereScan, RecordRouteEqualsFastRouteAndSaysWhichSpheres) {
    Demo d;
    LeadfieldRequest req;
    req.settings.localSpheres = d.fit(ellipsoidSurface({0, 10, 0}, 72, 82, 70, 3000), head::LocalSphereMethod::Nearby);
    req.settings.orderCoilIntg = 3;
    const ForwardResult fast = test::expectFastEqualsRecord(d.sys, d.src, req);

    // The spheres differ from sensor to sensor, so this is no single sphere
    // in disguise; the metadata lists them in sensor order.
    const nlohmann::json& facts = fast.meta["spheres"]["local_spheres"];
    ASSERT_EQ(facts["radii_mm"].size(), fast.sensorNames.size());
    double lo = 1e9, hi = 0;
    for (const auto& r : facts["radii_mm"]) lo = std::min(lo, r.get<double>()), hi = std::max(hi, r.get<double>());
    EXPECT_GT(hi - lo, 5.0);
    EXPECT_EQ(facts["reference_sensors"], "the global sphere");
    const head::LocalSphere* first = req.settings.localSpheres->find(fast.sensorNames[0]);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(facts["radii_mm"][0].get<double>(), first->sphere.radius);
}

TEST(LocalSphereScan, GradiometersAndReferencesGetTheirSpheres) {
    CMEGDatakw rec = demo::makeDefaultRecording(1);
    CMDTrialkw& trial = *rec.getTrial(0);
    // A table with a distinct sphere for each measurement sensor.
    head::LocalSpheres table;
    table.globalSphere = {{1, 2, 3}, 77};
    for (const head::SensorSite& s : sensorSites(trial, true))
        if (!s.reference) {
            const double k = static_cast<double>(table.spheres.size());
            table.spheres.push_back({s.name, {{k, -k, 0.5 * k}, 60 + k}, head::Fallback::None, "", 0, 0.0});
        }
    CMDataForwardkw data;
    data.isCentralizedLf = 0;  // keep the spheres where the table put them
    data.sphereModel = 2;
    data.pLocalSpheres = &table;
    ASSERT_EQ(data.initFwdChn(&rec, &trial, 0, 1, 1), 1);
    const double c[3] = {0, 0, 0};
    CVirtSnsPOXlistkw list = demo::makeSphereSourceList(c, 40.0, 40.0);
    ASSERT_EQ(data.initFwdPosVsp(&list), 1);
    ASSERT_EQ(data.prepare4VoxSnsLfdScan(3), 1);
    int measured = 0, references = 0;
    for (std::int64_t e = 0; e < data.pFwdChnl->numChnl; ++e) {
        const CForwardC0SnsCoilskw& entry = data.pFwdChnl->pSnsCoils[e];
        if (!entry.pMEGSns) continue;
        const std::string name = trial.getChannel(static_cast<int>(entry.chnlID))->chnlName;
        const double* got = entry.pMEGSns->localSphere;
        const std::array<double, 4> want =
            (entry.isMEGMeasureSns() ? table.find(name)->sphere : table.globalSphere).toArray();
        SCOPED_TRACE(name);
        for (int a = 0; a < 4; ++a) EXPECT_EQ(got[a], want[static_cast<std::size_t>(a)]);
        (entry.isMEGMeasureSns() ? measured : references) += 1;
    }
    EXPECT_EQ(measured, 275);
    EXPECT_GT(references, 0);
    // The scan sphere is the mean of the measurement sensors' spheres.
    double mean = 0.0;
    for (const auto& s : table.spheres) mean += s.sphere.centre[0];
    EXPECT_NEAR(data.singleSphere.center[0], mean / 275.0, 1e-12);
}

TEST(LocalSphereScan, ATableThatDoesNotFitTheSensorsIsRefusedOrReported) {
    Demo d;
    auto table = d.fit(ellipsoidSurface({0, 10, 0}, 75, 80, 72, 2000), head::LocalSphereMethod::Nearby);
    const std::string dropped = table->spheres[17].name;
    table->spheres.erase(table->spheres.begin() + 17);
    table->spheres.push_back({"NOT-A-SENSOR", {{0, 0, 0}, 80}, head::Fallback::None, "", 0, 0.0});
    LeadfieldRequest req;
    req.settings.localSpheres = table;
    for (bool record : {false, true}) {
        req.recordScan = record;
        try {
            computeLeadfield(d.sys, d.src, req);
            ADD_FAILURE() << "a table without sensor " << dropped << " was accepted";
        } catch (const InputError& e) {
            EXPECT_NE(std::string(e.what()).find("no local sphere for measurement sensor '" + dropped + "'"),
                      std::string::npos) << e.what();
        }
    }
    // The manager refuses it too, naming the sensor.
    {
        test::MessageRecorder messages;
        CMDataForwardkw data;
        data.sphereModel = 2;
        data.pLocalSpheres = table.get();
        ASSERT_EQ(data.initFwdChn(&d.recording, d.sys.trial, 0, 1, 1), 1);
        EXPECT_EQ(data._04setTable2LocalSpheres(), 0);
        EXPECT_EQ(messages.count("No local sphere for sensor '" + dropped + "'"), 1);
    }
    // With the sensor back, the unknown entry is only reported.
    table->spheres.push_back({dropped, table->globalSphere, head::Fallback::None, "", 0, 0.0});
    const ForwardResult r = computeLeadfield(d.sys, d.src, req);
    EXPECT_EQ(r.meta["spheres"]["local_spheres"]["unmatched_entries"], nlohmann::json::array({"NOT-A-SENSOR"}));
    ASSERT_EQ(r.notes.size(), 1u);
    EXPECT_NE(r.notes[0].find("NOT-A-SENSOR"), std::string::npos);
    // Another sphere model or two components cannot go with local spheres.
    req.settings.sphereModel = 1;
    EXPECT_THROW(computeLeadfield(d.sys, d.src, req), InputError);
    req.settings.sphereModel.reset();
    req.settings.isTangLfd = 1;
    EXPECT_THROW(computeLeadfield(d.sys, d.src, req), InputError);
}

TEST(LocalSphereFile, RoundTripsAndRefusesBadEntries) {
    head::LocalSpheres t;
    t.method = "nearby";
    t.label = "head.surf";
    t.globalSphere = {{0.5, 40.25, -1}, 81.125};
    t.spheres.push_back({"A1", {{1.0 / 3, 2, 3}, 70}, head::Fallback::None, "", 120, 0.75});
    t.spheres.push_back({"A2", t.globalSphere, head::Fallback::TooFewPoints, "3 surface points", 3, 0.0});
    const head::LocalSpheres back = localSpheresFromJson(localSpheresToJson(t), "x.json");
    ASSERT_EQ(back.spheres.size(), 2u);
    EXPECT_EQ(back.spheres[0].sphere, t.spheres[0].sphere);  // exact
    EXPECT_EQ(back.globalSphere, t.globalSphere);
    EXPECT_EQ(back.spheres[1].reason, "3 surface points");
    EXPECT_NE(back.spheres[1].fallback, head::Fallback::None);

    nlohmann::json m = localSpheresToJson(t);
    m["unit"] = "m";
    m["global_sphere"] = {{"center", {0.0, 0.04, 0.0}}, {"radius", 0.08}};
    m["sensors"][0]["radius"] = 0.07;
    m["sensors"].erase(1);
    EXPECT_DOUBLE_EQ(localSpheresFromJson(m, "x.json").spheres[0].sphere.radius, 70.0);

    struct Bad { const char* what; std::function<void(nlohmann::json&)> edit; };
    const Bad bad[] = {
        {"'format' must be", [](nlohmann::json& j) { j["format"] = "megfwd-sensor-array"; }},
        {"'version' must be 1", [](nlohmann::json& j) { j["version"] = 2; }},
        {"sensors[1] 'A1': the name is given twice", [](nlohmann::json& j) { j["sensors"][1]["name"] = "A1"; }},
        {"sensors[0] 'A1': 'radius' must be positive", [](nlohmann::json& j) { j["sensors"][0]["radius"] = 0; }},
        {"'center' must be three", [](nlohmann::json& j) { j["sensors"][0]["center"] = {1, 2}; }},
        {"'global_sphere' is missing", [](nlohmann::json& j) { j.erase("global_sphere"); }},
        // 40.25 m from the origin: beyond any head, and in metres the
        // scaled numbers could leave the range of a double.
        {"'center' must be three numbers within 10000 mm", [](nlohmann::json& j) { j["unit"] = "m"; }},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.what);
        nlohmann::json j = localSpheresToJson(t);
        b.edit(j);
        try {
            localSpheresFromJson(j, "x.json");
            ADD_FAILURE() << "accepted";
        } catch (const InputError& e) {
            EXPECT_NE(std::string(e.what()).find(b.what), std::string::npos) << e.what();
        }
    }
}
