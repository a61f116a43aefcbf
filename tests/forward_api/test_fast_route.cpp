// The fast route of computeLeadfield against its record-by-record route for
// every formula, sensor model, integration order, sphere model, axis setting
// and tangent rule, with every build of the point loops; and the same
// refusals on both routes.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "forward_api/Compute.h"
#include "base/Errors.h"
#include "forward_fast/FastPointKernels.h"
#include "forward_api/PointSensors.h"
#include "forward_fast/FastTestSupport.h"
#include "support/DemoInputs.h"
#include "support/MessageRecorder.h"

namespace {

using namespace megfwd;
using megfwd::fast::KernelBuild;
using megfwd::test::FastCase;

void expectSameAsRecordRoute(const FastCase& c) {
    SCOPED_TRACE(testing::Message() << "mag " << c.isMagSrc << " code " << c.code << " model " << c.snsModel
                                    << (c.tangential ? " 2D" : " 3D") << (c.refs ? " refs" : "") << " order " << c.order
                                    << " rule " << c.tangRule << " sphere " << c.sphereModel << " coord " << c.coordSystem);
    test::DemoInputs in;
    const CVirtSnsPOXlistkw list = test::sourceListOf(c);
    in.src = SourceSpec{{}, {}, "sources"};
    for (std::int64_t i = 0; i < list.numEntries; ++i)
        in.src.positions.insert(in.src.positions.end(), list.entries[i].pos, list.entries[i].pos + 3);
    LeadfieldRequest req;
    req.settings = test::settingsOf(c);
    const ForwardResult fast = test::expectFastEqualsRecord(in.sys, in.src, req);
    // The last source, right under a coil, is out of the scan: all zeros.
    ASSERT_EQ(fast.inScan.back(), 0);
    const std::int64_t per = fast.shape[1] * fast.shape[2];
    for (std::size_t k = fast.values.size() - static_cast<std::size_t>(per); k < fast.values.size(); ++k)
        ASSERT_EQ(fast.values[k], 0.0);
}

// Each build of the point loops the processor runs, in force for one test.
class EachKernelBuild : public testing::TestWithParam<KernelBuild> {
protected:
    void SetUp() override {
        if (!megfwd::fast::setKernelBuild(GetParam()))
            GTEST_SKIP() << "this processor cannot run the " << megfwd::fast::kernelBuildName(GetParam()) << " build";
    }
    void TearDown() override { megfwd::fast::setKernelBuild(before); }
    const KernelBuild before = megfwd::fast::kernelBuild();
};

// Every row of both formula tables, both sensor models, two and three
// components, with and without references.
TEST_P(EachKernelBuild, EqualsRecordRouteForEveryFormulaAndSensorModel) {
    test::forEachFormulaCase(expectSameAsRecordRoute);
}

INSTANTIATE_TEST_SUITE_P(FastRoute, EachKernelBuild, testing::ValuesIn(megfwd::fast::kAllKernelBuilds),
                         [](const testing::TestParamInfo<KernelBuild>& info) {
                             std::string name = megfwd::fast::kernelBuildName(info.param);
                             std::erase(name, '-');
                             return name;
                         });

TEST(FastRoute, EqualsRecordRouteForOrdersSpheresAxesAndTangentRules) {
    for (int order : {1, 3, 4, 5, 7}) expectSameAsRecordRoute({.order = order, .spacing = 40.0});
    for (int rule : {1, 2, 3})  // tangential directions, unnormalised with the Nut rule
        for (int model : {1, 0}) expectSameAsRecordRoute({.snsModel = model, .tangential = true, .tangRule = rule});
    for (int sphere : {1, 2, 3})  // one sphere per sensor with models 2 and 3
        for (int model : {1, 0}) expectSameAsRecordRoute({.code = 4, .snsModel = model, .sphereModel = sphere});
    expectSameAsRecordRoute({.code = 6, .tangential = true, .tangRule = 1, .coordSystem = 1});
}

// The fast route sums eight sensors side by side where eight consecutive
// ones have the same number of points, and one at a time elsewhere: sensors
// of 1 to 4 points, in runs that start and break such groups anywhere, give
// the record route's values.
TEST(FastRoute, SensorsOfDifferentPointCountsEqualTheRecordRoute) {
    const std::vector<int> runs = {11, 2, 1, 1, 9, 2, 1, 3, 8, 2, 8, 1, 1, 4, 16, 2, 3, 2};  // (count, points) pairs
    const std::vector<std::vector<double>> weights = {{}, {1.0}, {1.0, -1.0}, {0.5, 0.25, 0.25}, {1.0, -1.0, 1.0, -1.0}};
    std::vector<PointSensor> sensors;
    for (std::size_t r = 0; r < runs.size(); r += 2)
        for (int i = 0; i < runs[r]; ++i) {
            const double a = 0.29 * static_cast<double>(sensors.size()), up = 0.3 + 0.02 * static_cast<double>(i);
            const double n[3] = {std::cos(a) * std::cos(up), std::sin(up), std::sin(a) * std::cos(up)};
            PointSensor s;
            s.name = "S" + std::to_string(sensors.size());
            s.weights = weights[static_cast<std::size_t>(runs[r + 1])];
            for (std::size_t k = 0; k < s.weights.size(); ++k)
                for (int c = 0; c < 3; ++c) {
                    s.positions.push_back((110.0 + 15.0 * static_cast<double>(k)) * n[c]);
                    s.normals.push_back(n[c]);
                }
            sensors.push_back(std::move(s));
        }
    const auto array = pointSensorArray(sensors, "points", "mm");
    const SystemRef system{&array->recording, array->trial(), array->path};
    SourceSpec src;
    src.label = "sources";
    src.positions = {0, 40, 10, 20, 30, -10, -25, 55, 5, 35, 20, 30};
    LeadfieldRequest req;
    req.settings.snsFwdModel = 0;  // the standard model: a sensor's points at their weights
    req.settings.isUseRefSns = 0;
    req.settings.sphereModel = 1;
    req.settings.userSphere = Sphere{{0, 0, 0}, 90};
    const ForwardResult fast = test::expectFastEqualsRecord(system, src, req);
    EXPECT_EQ(fast.shape, (std::vector<std::int64_t>{4, static_cast<std::int64_t>(sensors.size()), 3}));
}

TEST(FastRoute, RefusesWhereTheRecordRouteRefuses) {
    // A source exactly at a coil centre (no stencil, no centre shift): the
    // Nut form has no value there and fails the computation; the scalar
    // form gives zeros and goes on.
    test::DemoInputs in;
    const CMDTrialkw& trial = *in.sys.trial;
    const double* coil = nullptr;
    for (int i = trial.getTotalChannel() - 1; i >= 0 && !coil; --i)
        if (const CMDChannelkw* ch = const_cast<CMDTrialkw&>(trial).getChannel(i);
            ch->isMEGMeasureChannel() && ch->pMEGSns)
            coil = ch->pMEGSns->getCoil(0)->coilPos;
    ASSERT_NE(coil, nullptr);
    in.src = SourceSpec{{}, {0.0, 0.0, 0.0, coil[0], coil[1], coil[2]}, "sources"};
    for (int code : {3, 0})
        for (bool record : {true, false}) {
            SCOPED_TRACE(testing::Message() << "code " << code << (record ? " record" : " fast"));
            LeadfieldRequest req;
            req.settings = test::settingsOf({.code = code, .snsModel = 0, .refs = false});
            req.settings.isSpatConstrained = 0, req.settings.isCentralizedLf = 0;
            req.recordScan = record;
            if (code == 3) {
                EXPECT_THROW(computeLeadfield(in.sys, in.src, req), ComputeError);
            } else {
                const ForwardResult r = computeLeadfield(in.sys, in.src, req);
                EXPECT_EQ(r.inScan, (std::vector<int>{1, 1}));
            }
        }
    // A bad integration order: the scans' message, once, and a refusal.
    for (bool record : {true, false}) {
        SCOPED_TRACE(record ? "record" : "fast");
        test::DemoInputs grid;
        LeadfieldRequest req;
        req.settings.orderCoilIntg = 6;
        req.recordScan = record;
        megfwd::test::MessageRecorder messages;
        EXPECT_THROW(computeLeadfield(grid.sys, grid.src, req), ComputeError);
        EXPECT_EQ(messages.messages().size(), 1u);
    }
}

}  // namespace
