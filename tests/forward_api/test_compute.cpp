// The whole-computation API: its source-by-source scan against the engine's
// own grid scans, the fast route against the record route, the caller's
// output storage, and cancellation.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <vector>

#include "forward_process/CMDataForwardkw.h"
#include "forward_engine/CMForwardkw.h"
#include "host_interfaces/DefaultSystem.h"
#include "forward_api/Compute.h"
#include "base/Errors.h"
#include "forward_fast/FastTestSupport.h"
#include "support/DemoInputs.h"

namespace {

using namespace megfwd;

// A prepared manager on the default system with moments set: a coarse grid,
// one source just under a coil (out of the scan) and one at the sphere centre.
struct Prepared {
    CMEGDatakw recording = demo::makeDefaultRecording(1);
    CMDataForwardkw data;
    CMForwardkw engine;
    Prepared(bool refs, bool tangential, bool matlab) {
        engine.isUseRefSns = refs ? 1 : 0;
        data.isTangLfd = tangential ? 1 : 0;
        data.coordSystem = data.isUnit2Meter = matlab ? 1 : 0;
        data.spatUnit = 0.001;
        EXPECT_EQ(data.initFwdChn(&recording, recording.getTrial(0), 0, 1, refs ? 1 : 0), 1);
        const double c[3] = {0, 0, 0};
        CVirtSnsPOXlistkw list = demo::makeSphereSourceList(c, 75.0, 30.0);
        list.addPosition(0.0, 112.0, 0.0);
        EXPECT_EQ(data.initFwdPosVsp(&list), 1);
        EXPECT_EQ(data.prepare4VoxSnsLfdScan(tangential ? 2 : 3), 1);
        for (std::int64_t i = 0; i < data.numSrc; ++i) {
            double* m = data.pVoxSnsLfx[i].srcField.mom;
            m[0] = 1.0 + 0.1 * static_cast<double>(i), m[1] = -0.5, m[2] = 0.25 * static_cast<double>(i % 3);
        }
    }
    // Every value, then each source's basis and moment sizes.
    std::vector<double> values(bool bcmp) const {
        std::vector<double> v;
        for (std::int64_t i = 0; i < data.numSrc; ++i)
            for (std::int64_t j = 0; j < data.numSns; ++j) {
                const CFISnsLf& s = data.pVoxSnsLfx[i].pSnsLf[j];
                if (bcmp) v.push_back(s.bcmp);
                else v.insert(v.end(), s.pLf, s.pLf + s.numLf);
            }
        for (std::int64_t i = 0; i < data.numSrc; ++i) {
            v.push_back(static_cast<double>(data.pVoxSnsLfx[i].srcBasis.nq));
            v.push_back(static_cast<double>(data.pVoxSnsLfx[i].srcField.momDim));
        }
        return v;
    }
};

TEST(ScanSources, IdenticalToOneGridScanForEveryKind) {
    for (const megfwd::ScanKind kind : {megfwd::ScanKind::Lfd, megfwd::ScanKind::Lfx, megfwd::ScanKind::Bcmp})
        for (const bool refs : {true, false})
            for (const bool tangential : {false, true}) {
                if (kind == megfwd::ScanKind::Bcmp && tangential) continue;
                const bool matlab = !refs;  // the conversions once, on the cheaper runs
                SCOPED_TRACE(testing::Message() << "kind " << static_cast<int>(kind) << " refs " << refs << " tangential "
                                                << tangential);
                Prepared engineRun(refs, tangential, matlab), toolRun(refs, tangential, matlab);
                const std::int64_t n = toolRun.data.numSrc;
                ASSERT_LT(std::count_if(toolRun.data.pVoxSnsLfx, toolRun.data.pVoxSnsLfx + n,
                                        [](const CFISrcSnsLf& s) { return s.isVoxIn == 1; }), n);
                CMForwardkw& e = engineRun.engine;
                const int ok = kind == megfwd::ScanKind::Lfd   ? e.gridDewarLfd(&engineRun.data)
                               : kind == megfwd::ScanKind::Lfx ? e.gridDewarLfx(&engineRun.data)
                                                           : e.gridDewarBcmp(&engineRun.data);
                ASSERT_EQ(ok, 1);
                std::vector<std::int64_t> reported;
                auto progress = [&](std::int64_t done, std::int64_t total) {
                    EXPECT_EQ(total, n);
                    reported.push_back(done);
                    return true;
                };
                ASSERT_EQ(megfwd::scanSources(toolRun.engine, toolRun.data, kind, progress, 4), 1);
                EXPECT_EQ(toolRun.engine.pDataFwd, &toolRun.data);
                const bool bcmp = kind == megfwd::ScanKind::Bcmp;
                const std::vector<double> got = toolRun.values(bcmp);
                EXPECT_EQ(got, engineRun.values(bcmp));
                EXPECT_GT(std::count_if(got.begin(), got.end() - 2 * n, [](double v) { return v != 0.0; }), 0);
                ASSERT_FALSE(reported.empty());
                EXPECT_EQ(reported.back(), n);
                EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
                EXPECT_EQ(reported.size(), static_cast<std::size_t>((n + 3) / 4));
            }
}

TEST(ScanSources, RefusesAnUnpreparedManagerLikeTheGridScan) {
    CMEGDatakw rec = demo::makeDefaultRecording(1);
    CMDataForwardkw data;
    CMForwardkw engine;
    EXPECT_EQ(megfwd::scanSources(engine, data, megfwd::ScanKind::Lfd), engine.gridDewarLfd(&data));
    ASSERT_EQ(data.initFwdChn(&rec, rec.getTrial(0), 0, 1, 1), 1);
    CGrid3D grid(std::array<double, 3>{0, 0, 0}.data(), std::array<double, 3>{10, 10, 10}.data(), 10);
    ASSERT_EQ(data.initFwdPosGrd(&grid), 1);
    // Positions but no records yet: both refuse.
    EXPECT_EQ(megfwd::scanSources(engine, data, megfwd::ScanKind::Lfd), 0);
    EXPECT_EQ(engine.gridDewarLfd(&data), 0);
}

using megfwd::test::DemoInputs;

// The fast route prepares its sources on flat arrays; with settings that
// decide which sources are in the scan and in which frame they are scanned,
// it gives the record route's flags and values, and one thread gives the
// bits of two.
TEST(ComputeLeadfield, FastRouteEqualsTheRecordRouteWhateverThePreparation) {
    DemoInputs in;
    in.src.grid = GridSpec{{-70, -40, -70}, {70, 100, 70}, 14};  // reaches past the coils
    std::vector<SettingOverrides> cases(5);
    cases[1].minCoilSrcDist = 0.0, cases[1].minSrcSphDist = 30.0;
    cases[2].sphereModel = 1, cases[2].userSphere = Sphere{{5, 30, -3}, 80}, cases[2].isCentralizedLf = 0;
    cases[3].sphereModel = 2, cases[3].coordSystem = 1, cases[3].isUnit2Meter = 1, cases[3].spatUnit = 1e-3;
    cases[4].isSpatConstrained = 0, cases[4].isTangLfd = 1, cases[4].minCoilSrcDist = 40.0;
    for (std::size_t c = 0; c < cases.size(); ++c) {
        SCOPED_TRACE(c);
        LeadfieldRequest req;
        req.settings = cases[c];
        req.settings.orderCoilIntg = 3;
        req.recordScan = true;
        const ForwardResult record = computeLeadfield(in.sys, in.src, req);
        req.recordScan = false;
        req.threads = 2;
        const ForwardResult two = computeLeadfield(in.sys, in.src, req);
        req.threads = 1;
        const ForwardResult one = computeLeadfield(in.sys, in.src, req);
        ASSERT_EQ(two.meta["scan"]["path"], "fast");
        ASSERT_EQ(two.shape, record.shape);
        EXPECT_EQ(two.inScan, record.inScan);
        const auto numIn = std::count(two.inScan.begin(), two.inScan.end(), 1);
        EXPECT_GT(numIn, 0);
        if (c != 4) {
            EXPECT_LT(numIn, in.src.count());  // the stencil takes some out
        }
        EXPECT_EQ(two.sourcePositions, record.sourcePositions);
        EXPECT_TRUE(test::agreesBySource(two.values, record.values, two.shape[1] * two.shape[2], 1e-12));
        EXPECT_EQ(one.values, two.values);  // bit for bit
    }
}

TEST(ComputeLeadfield, CallersBufferAndVectorHoldTheSameValues) {
    DemoInputs in;
    for (bool record : {false, true}) {
        SCOPED_TRACE(record ? "record route" : "fast route");
        LeadfieldRequest req;
        req.recordScan = record;
        req.threads = 2;
        const ForwardResult own = computeLeadfield(in.sys, in.src, req);
        ASSERT_EQ(leadfieldShape(in.sys, in.src, req), own.shape);
        if (record) continue;  // the record route fills its own vector
        std::vector<double> buffer(own.values.size(), -1.0);
        std::int64_t released = 0;
        bool finished = false;
        req.output = OutputSink::buffer(buffer.data(), buffer.size());
        req.output.release = [&](std::int64_t, std::int64_t count) { released += count; };
        req.output.finish = [&] { finished = true; };
        const ForwardResult r = computeLeadfield(in.sys, in.src, req);
        EXPECT_TRUE(r.valuesInSink);
        EXPECT_TRUE(r.values.empty());
        EXPECT_EQ(buffer, own.values);
        EXPECT_EQ(released, static_cast<std::int64_t>(buffer.size()));  // each block once, no division passes
        EXPECT_TRUE(finished);
        std::vector<double> small(buffer.size() - 1);
        req.output = OutputSink::buffer(small.data(), small.size());
        EXPECT_THROW(computeLeadfield(in.sys, in.src, req), ComputeError);

        // Storage that takes the values by copy: block by block, each value
        // once; with a division over all values, once at the end, divided.
        SourceSpec blocks = in.src;  // several blocks of sources
        blocks.grid->step = 8;
        for (const bool unitLf : {false, true}) {
            SCOPED_TRACE(unitLf ? "unit leadfield" : "as computed");
            LeadfieldRequest copyReq;
            copyReq.threads = 2;
            copyReq.settings.isUnitLf = unitLf ? 1 : 0;
            const ForwardResult want = computeLeadfield(in.sys, blocks, copyReq);
            std::vector<double> copied(want.values.size(), 0.0);
            std::vector<int> writes(copied.size(), 0);
            int begins = 0, calls = 0;
            copyReq.output.begin = [&](const std::vector<std::int64_t>& shape) {
                ++begins;
                EXPECT_EQ(shape, want.shape);
            };
            std::mutex lock;  // blocks are written from the scan's threads
            copyReq.output.write = [&](std::int64_t first, const double* v, std::int64_t count) {
                std::lock_guard<std::mutex> g(lock);
                ++calls;
                ASSERT_LE(static_cast<std::size_t>(first + count), copied.size());
                std::copy(v, v + count, copied.begin() + first);
                for (std::int64_t k = first; k < first + count; ++k) ++writes[static_cast<std::size_t>(k)];
            };
            const ForwardResult got = computeLeadfield(in.sys, blocks, copyReq);
            EXPECT_TRUE(got.valuesInSink);
            EXPECT_EQ(copied, want.values);
            EXPECT_EQ(std::count(writes.begin(), writes.end(), 1), static_cast<std::ptrdiff_t>(writes.size()));
            EXPECT_EQ(begins, 1);
            if (unitLf) {
                EXPECT_EQ(calls, 1);
            } else {
                EXPECT_GT(calls, 1);
            }
        }
    }
}

// The sensor-major layout holds the source-major values reordered, bit for
// bit, on every route and with every post-processing step that touches
// values: reference correction, two components, sensor signs, and the two
// divisions over all values (their scales are gathered in source order
// whatever the layout).
TEST(ComputeLeadfield, SensorMajorLayoutIsTheSourceMajorArrayReordered) {
    DemoInputs in;
    in.src.grid->step = 8;  // several blocks, the last one short
    std::vector<std::pair<const char*, LeadfieldRequest>> cases(7);
    cases[0].first = "as computed";
    cases[1].first = "reference correction", cases[1].second.settings.isUseRefSns = 1;
    cases[2].first = "two components", cases[2].second.settings.isTangLfd = 1;
    cases[3].first = "sensor signs", cases[3].second.settings.isApplySnsGain = 1;
    cases[4].first = "unit leadfield", cases[4].second.settings.isUnitLf = 1;
    cases[5].first = "RMS normalised", cases[5].second.rmsNormalise = true;
    cases[6].first = "record route", cases[6].second.recordScan = true, cases[6].second.settings.isTangLfd = 1;
    for (auto& [name, req] : cases) {
        SCOPED_TRACE(name);
        req.threads = 2;
        const ForwardResult want = computeLeadfield(in.sys, in.src, req);
        if (req.settings.isUseRefSns) {
            ASSERT_TRUE(want.meta["reference_correction"]["applied"].get<bool>());
        }
        const std::int64_t numSources = want.shape[0], numSensors = want.shape[1], comps = want.shape[2];
        std::vector<double> reordered(want.values.size());
        for (std::int64_t i = 0; i < numSources; ++i)
            for (std::int64_t j = 0; j < numSensors; ++j)
                for (std::int64_t c = 0; c < comps; ++c)
                    reordered[static_cast<std::size_t>((j * numSources + i) * comps + c)] =
                        want.values[static_cast<std::size_t>((i * numSensors + j) * comps + c)];

        req.layout = LeadfieldLayout::SensorMajor;
        const std::vector<std::int64_t> shape{numSensors, numSources, comps};
        EXPECT_EQ(leadfieldShape(in.sys, in.src, req), shape);
        const ForwardResult own = computeLeadfield(in.sys, in.src, req);
        EXPECT_EQ(own.shape, shape);
        EXPECT_TRUE(own.values == reordered);
        EXPECT_EQ(own.inScan, want.inScan);
        EXPECT_EQ(own.meta["array"]["axes"], nlohmann::json({"sensor", "source", "component"}));
        EXPECT_EQ(own.meta["values"]["divided_by"], want.meta["values"]["divided_by"]);
        EXPECT_EQ(valueSummary(own).rmsInScan, valueSummary(want).rmsInScan);
        if (req.recordScan) continue;  // the record route fills its own vector

        std::vector<double> buffer(reordered.size(), -1.0);
        req.output = OutputSink::buffer(buffer.data(), buffer.size());
        const ForwardResult lent = computeLeadfield(in.sys, in.src, req);
        EXPECT_TRUE(lent.valuesInSink);
        EXPECT_TRUE(buffer == reordered);

        // Storage taking copies gets the reordered array in one call.
        std::vector<double> copied;
        req.output = OutputSink{};
        req.output.begin = [&](const std::vector<std::int64_t>& s) { EXPECT_EQ(s, shape); };
        req.output.write = [&](std::int64_t first, const double* v, std::int64_t count) {
            EXPECT_EQ(first, 0);
            copied.assign(v, v + count);
        };
        computeLeadfield(in.sys, in.src, req);
        EXPECT_TRUE(copied == reordered);
    }
    LeadfieldRequest field;
    field.layout = LeadfieldLayout::SensorMajor;
    EXPECT_THROW(computeField(in.sys, {0, 0, 50, 1, 0, 0}, "dipole", field), InputError);
}

TEST(ComputeLeadfield, ProgressCanCancelEveryRoute) {
    DemoInputs in;
    const std::int64_t n = in.src.count();
    for (int route = 0; route < 3; ++route) {
        SCOPED_TRACE(route);
        LeadfieldRequest req;
        req.recordScan = route == 1;
        req.threads = 2;
        std::vector<std::int64_t> seen;
        req.progress = [&](std::int64_t done, std::int64_t total) {
            EXPECT_EQ(total, route == 2 ? 2 : n);
            seen.push_back(done);
            return done < total;  // stop at the last report
        };
        if (route == 2) {
            const std::vector<double> dipoles = {0, 10, 0, 1, 0, 0, 0, 20, 10, 0, 1, 0};
            EXPECT_THROW(computeField(in.sys, dipoles, "dipoles", req), Cancelled);
        } else {
            EXPECT_THROW(computeLeadfield(in.sys, in.src, req), Cancelled);
        }
        ASSERT_FALSE(seen.empty());
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    }
}

// Results whose values say nothing carry a warning, also in the metadata, so
// that every caller (command line, Python) can pass it on; a computation
// whose values overflow is refused, naming the source and the sensor.
TEST(ComputeLeadfield, WarnsWhenNoSourceIsInTheScanAndRefusesOverflow) {
    DemoInputs in;
    const std::vector<double> dipoles = {0, 10, 0, 1, 0, 0, 0, 20, 10, 0, 1, 0};
    for (int route = 0; route < 3; ++route) {
        SCOPED_TRACE(route);
        LeadfieldRequest req;
        req.recordScan = route == 1;
        auto run = [&] { return route == 2 ? computeField(in.sys, dipoles, "dipoles", req) : computeLeadfield(in.sys, in.src, req); };
        const ForwardResult normal = run();
        EXPECT_TRUE(normal.warnings.empty());
        EXPECT_EQ(normal.meta["warnings"], nlohmann::json::array());

        req.settings.minCoilSrcDist = 1000.0;
        const ForwardResult none = run();
        ASSERT_EQ(none.warnings.size(), 1u);
        EXPECT_NE(none.warnings[0].find("in the scan, so every value is 0"), std::string::npos) << none.warnings[0];
        EXPECT_EQ(none.meta["warnings"][0], none.warnings[0]);

        req.settings.minCoilSrcDist.reset();
        req.settings.mu4PiRatio = 1e300;
        try {
            run();
            ADD_FAILURE() << "no error";
        } catch (const ComputeError& e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind(route == 2 ? "dipole 0 at (0, 10, 0) mm, sensor '" : "source ", 0), 0u) << what;
            EXPECT_NE(what.find("too large for a physical value"), std::string::npos) << what;
        }
    }
}

// The metadata's directions of a two-component leadfield are checked against
// the physics: the leadfield is linear in the moment, so each component
// equals the three-component (host axes) leadfield applied to its direction,
// for every tangent rule, scanned in host axes or in Matlab axes and restored
// (which exchanges the components) or not restored.
TEST(ComputeLeadfield, TwoComponentDirectionsInTheMetadataReproduceTheValues) {
    DemoInputs in;
    for (int rule = 0; rule < 4; ++rule)
        for (int axes = 0; axes < 3; ++axes) {  // host; Matlab restored; Matlab kept
            SCOPED_TRACE(testing::Message() << "tangent rule " << rule << " axes " << axes);
            // The three-component reference in host axes and in the same value
            // unit. The Nut rule's vectors are unnormalised: the standard sensor
            // model's Nut formula normalises them, the CTF model does not.
            LeadfieldRequest req;
            req.threads = 1;
            req.settings.coordSystem = axes == 0 ? 0 : 1;
            req.settings.isRestoreCoord = 1;
            if (rule == 3 && axes == 1) req.settings.snsFwdModel = 0;
            const ForwardResult xyz = computeLeadfield(in.sys, in.src, req);
            const std::int64_t nSrc = xyz.shape[0], nSns = xyz.shape[1];
            req.recordScan = rule == 1;  // one rule through the record route
            req.settings.isTangLfd = 1;
            req.settings.tangVectMethod = rule;
            req.settings.isRestoreCoord = axes == 1 ? 1 : 0;
            const ForwardResult tang = computeLeadfield(in.sys, in.src, req);
            ASSERT_EQ(tang.shape, (std::vector<std::int64_t>{nSrc, nSns, 2}));
            const nlohmann::json& dirs = tang.meta["sources"]["component_directions"];
            ASSERT_EQ(dirs.size(), static_cast<std::size_t>(nSrc));
            std::int64_t checked = 0;
            for (std::int64_t i = 0; i < nSrc; ++i) {
                if (!xyz.inScan[i] || dirs[i].is_null()) continue;
                double scale = 0.0, worst = 0.0;
                for (std::int64_t k = 0; k < nSns; ++k)
                    for (int c = 0; c < 2; ++c) {
                        const double* l3 = &xyz.values[static_cast<std::size_t>((i * nSns + k) * 3)];
                        const double want = l3[0] * dirs[i][c][0].get<double>() + l3[1] * dirs[i][c][1].get<double>() +
                                            l3[2] * dirs[i][c][2].get<double>();
                        const double got = tang.values[static_cast<std::size_t>((i * nSns + k) * 2 + c)];
                        scale = std::max(scale, std::abs(want));
                        worst = std::max(worst, std::abs(got - want));
                    }
                EXPECT_LE(worst, 1e-9 * scale) << "source " << i;
                ++checked;
            }
            EXPECT_GT(checked, nSrc / 2);
        }
}

}  // namespace
