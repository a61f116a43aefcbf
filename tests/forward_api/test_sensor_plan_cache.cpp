// Sensor plans kept between computations on one system: a computation on a
// kept plan gives the bits and the metadata of one that prepares its own,
// whatever ran in between, and a plan is only taken for equal settings
// (local-sphere tables by their entries) and the same single shell.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "forward_api/Compute.h"
#include "forward_api/LocalSpheresFile.h"
#include "forward_api/SensorPlan.h"
#include "head_model/ShellSurfaces.h"
#include "head_model/SingleShell.h"
#include "support/DemoInputs.h"

using namespace megfwd;

namespace {

std::shared_ptr<const head::SingleShell> egg(int order) {
    head::ShellOptions o;
    o.order = order;
    auto s = shelltest::icosphere(3, {68, 78, 84}, {2, 12, -3});
    s.label = "egg.surf";
    return std::make_shared<head::SingleShell>(head::SingleShell::make(std::move(s), o));
}

std::shared_ptr<const head::LocalSpheres> spheresOf(const SystemRef& sys) {
    const head::Surface ball = head::Surface::fromPoints(shelltest::spiralPoints({2, 8, -3}, {78, 84, 80}, 3000), "ball");
    return std::make_shared<head::LocalSpheres>(head::fitLocalSpheres(ball, sensorSites(*sys.trial, true), {}));
}

// The metadata without what differs from run to run: times, memory, the
// plan's origin.
nlohmann::json steadyMeta(nlohmann::json m) {
    m.erase("created_utc");
    m.erase("scan_seconds");
    m["scan"].erase("seconds");
    m["scan"].erase("sensor_plan");
    m["scan"]["memory"].erase("peak_resident_bytes_so_far");
    if (m.contains("single_shell")) m["single_shell"].erase("fit_seconds");
    return m;
}

// The demo system on a grid, with its plans kept (`kept`) or not (`sys`).
struct KeptDemo : test::DemoInputs {
    SensorPlanCache plans;
    SystemRef kept;
    explicit KeptDemo(const GridSpec& grid) : kept(sys) {
        src.grid = grid;
        kept.plans = &plans;
    }
};

}  // namespace

TEST(SensorPlanCache, KeptPlansGiveTheBitsOfFreshOnes) {
    KeptDemo in({{-40, -10, -40}, {40, 60, 40}, 20});
    SensorPlanCache& plans = in.plans;
    const SystemRef& kept = in.kept;

    std::vector<LeadfieldRequest> requests(7);
    requests[1].settings.orderCoilIntg = 5;
    requests[1].settings.isTangLfd = 1;
    requests[2].settings.snsFwdModel = 0;
    requests[2].settings.isUseRefSns = 0;
    requests[2].settings.coordSystem = 1;
    requests[3].settings.localSpheres = spheresOf(in.sys);
    requests[4].settings.localSpheres = spheresOf(in.sys);  // the same entries, another table
    requests[5].singleShell = egg(4);
    requests[6].singleShell = requests[5].singleShell;
    requests[6].threads = 1;  // the kept shell fit ran on 2
    for (std::size_t i = 0; i < 5; ++i) requests[i].threads = 2;
    requests[5].threads = 2;

    // Each request twice in a row, then back from the last: the request and
    // whether it finds a kept plan. Request 4's table equals request 3's,
    // and request 6 differs from 5 in threads only, so both find the plan
    // made before them; keeping request 5's plan drops request 0's, the
    // least recently used of four.
    const std::vector<std::pair<std::size_t, bool>> steps = {
        {0, false}, {0, true}, {1, false}, {1, true}, {2, false}, {2, true}, {3, false},
        {3, true},  {4, true}, {4, true},  {5, false}, {5, true}, {6, true},  {6, true},
        {5, true},  {4, true}, {3, true},  {2, true},  {1, true}, {0, false}};
    for (const auto& [i, findsKept] : steps) {
        SCOPED_TRACE("request " + std::to_string(i));
        const ForwardResult fresh = computeLeadfield(in.sys, in.src, requests[i]);
        const ForwardResult again = computeLeadfield(kept, in.src, requests[i]);
        EXPECT_EQ(again.values, fresh.values);
        EXPECT_EQ(again.inScan, fresh.inScan);
        EXPECT_EQ(steadyMeta(again.meta), steadyMeta(fresh.meta));
        EXPECT_EQ(fresh.meta["scan"]["sensor_plan"], "prepared for this computation");
        EXPECT_EQ(again.meta["scan"]["sensor_plan"] != "prepared for this computation", findsKept);
    }
    EXPECT_EQ(plans.size(), SensorPlanCache::kKept);
}

TEST(SensorPlanCache, TakesOnlyForEqualSettingsAndTheSameShell) {
    KeptDemo in({{-20, 0, -20}, {20, 40, 20}, 20});
    SensorPlanCache& plans = in.plans;
    LeadfieldRequest req;
    req.settings.localSpheres = spheresOf(in.sys);
    req.singleShell = egg(2);
    computeLeadfield(in.kept, in.src, req);
    ASSERT_EQ(plans.size(), 1u);

    SettingOverrides other = req.settings;
    auto moved = std::make_shared<head::LocalSpheres>(*req.settings.localSpheres);
    moved->spheres[7].sphere.radius += 1e-9;
    other.localSpheres = moved;
    EXPECT_EQ(plans.take(other, req.singleShell.get()), nullptr);
    other = req.settings;
    other.minCoilSrcDist = 15.0;
    EXPECT_EQ(plans.take(other, req.singleShell.get()), nullptr);
    EXPECT_EQ(plans.take(req.settings, egg(2).get()), nullptr);  // equal, but another shell
    EXPECT_EQ(plans.take(req.settings, nullptr), nullptr);

    const auto same = std::make_shared<head::LocalSpheres>(*req.settings.localSpheres);
    other = req.settings;
    other.localSpheres = same;
    std::unique_ptr<KeptPlan> taken = plans.take(other, req.singleShell.get());
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(plans.size(), 0u);  // in use: no other computation gets it
    EXPECT_EQ(plans.take(other, req.singleShell.get()), nullptr);
}

// Computations on one system at once (each on two threads of its own), with
// two kinds of settings taking turns: each gets the values of a fresh plan.
// Under ThreadSanitizer this also checks that no two of them share a plan.
TEST(SensorPlanCache, ComputationsAtOnceShareKeptPlansSafely) {
    KeptDemo in({{-20, 0, -20}, {20, 40, 20}, 20});
    std::vector<LeadfieldRequest> requests(2);
    requests[1].settings.orderCoilIntg = 3;
    requests[1].settings.isTangLfd = 1;
    std::vector<std::vector<double>> want;
    for (LeadfieldRequest& r : requests) {
        r.threads = 2;
        want.push_back(computeLeadfield(in.sys, in.src, r).values);
    }
    std::vector<int> same(8, 0);
    std::vector<std::thread> workers;
    for (std::size_t t = 0; t < same.size(); ++t)
        workers.emplace_back([&, t] {
            for (int k = 0; k < 3; ++k)
                same[t] += computeLeadfield(in.kept, in.src, requests[(t + k) % 2]).values == want[(t + k) % 2];
        });
    for (std::thread& w : workers) w.join();
    EXPECT_EQ(same, std::vector<int>(8, 3));
    EXPECT_GE(in.plans.size(), 2u);
}
