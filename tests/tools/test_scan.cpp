// The tool's source-by-source scan against the engine's own grid scans.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "forward_data/CMDataForwardkw.h"
#include "forward_engine/CMForwardkw.h"
#include "host_interfaces/DefaultSystem.h"
#include "tools/io/Compute.h"

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
    for (const io::ScanKind kind : {io::ScanKind::Lfd, io::ScanKind::Lfx, io::ScanKind::Bcmp})
        for (const bool refs : {true, false})
            for (const bool tangential : {false, true}) {
                if (kind == io::ScanKind::Bcmp && tangential) continue;
                const bool matlab = !refs;  // the conversions once, on the cheaper runs
                SCOPED_TRACE(testing::Message() << "kind " << static_cast<int>(kind) << " refs " << refs << " tangential "
                                                << tangential);
                Prepared engineRun(refs, tangential, matlab), toolRun(refs, tangential, matlab);
                const std::int64_t n = toolRun.data.numSrc;
                ASSERT_LT(std::count_if(toolRun.data.pVoxSnsLfx, toolRun.data.pVoxSnsLfx + n,
                                        [](const CFISrcSnsLf& s) { return s.isVoxIn == 1; }), n);
                CMForwardkw& e = engineRun.engine;
                const int ok = kind == io::ScanKind::Lfd   ? e.gridDewarLfd(&engineRun.data)
                               : kind == io::ScanKind::Lfx ? e.gridDewarLfx(&engineRun.data)
                                                           : e.gridDewarBcmp(&engineRun.data);
                ASSERT_EQ(ok, 1);
                std::vector<std::int64_t> reported;
                auto progress = [&](std::int64_t done, std::int64_t total) {
                    EXPECT_EQ(total, n);
                    reported.push_back(done);
                };
                ASSERT_EQ(io::scanSources(toolRun.engine, toolRun.data, kind, progress, 4), 1);
                EXPECT_EQ(toolRun.engine.pDataFwd, &toolRun.data);
                const bool bcmp = kind == io::ScanKind::Bcmp;
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
    EXPECT_EQ(io::scanSources(engine, data, io::ScanKind::Lfd), engine.gridDewarLfd(&data));
    ASSERT_EQ(data.initFwdChn(&rec, rec.getTrial(0), 0, 1, 1), 1);
    CGrid3D grid(std::array<double, 3>{0, 0, 0}.data(), std::array<double, 3>{10, 10, 10}.data(), 10);
    ASSERT_EQ(data.initFwdPosGrd(&grid), 1);
    // Positions but no records yet: both refuse.
    EXPECT_EQ(io::scanSources(engine, data, io::ScanKind::Lfd), 0);
    EXPECT_EQ(engine.gridDewarLfd(&data), 0);
}

}  // namespace
