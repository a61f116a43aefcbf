// Post-processing on flat arrays against the manager's own operations, and
// the scan in blocks against the scan of all sources at once, and the flat
// preparation of sources against the records of a prepared manager.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "FastTestSupport.h"
#include "forward_fast/CFastBlockScan.h"
#include "forward_fast/FlatSources.h"
#include "forward_fast/FlatPostProcess.h"
#include "support/MessageRecorder.h"

namespace {

using megfwd::test::FastCase;
using megfwd::test::PreparedScan;

// Two sensors without a positive gain, so the signs matter.
void setGains(CMEGDatakw& recording) {
    CMDTrialkw* t = recording.getTrial(0);
    int seen = 0;
    for (int i = 0; i < t->getTotalChannel() && seen < 40; ++i) {
        CMDChannelkw* ch = t->getChannel(i);
        if (!ch->isMEGMeasureChannel() || !ch->pMEGSns) continue;
        if (seen == 3) ch->pMEGSns->sensorGain = 0.0;
        if (seen == 31) ch->pMEGSns->sensorGain = -2.0;
        ++seen;
    }
}

struct PostCase {
    bool tangential, matlab, unitLf;
};

TEST(FlatPostProcess, SameNumbersAsTheManagersOperations) {
    for (const PostCase pc : {PostCase{false, true, false}, PostCase{true, true, true}, PostCase{false, false, true}}) {
        SCOPED_TRACE(std::to_string(pc.tangential) + std::to_string(pc.matlab) + std::to_string(pc.unitLf));
        FastCase c;
        c.tangential = pc.tangential, c.coordSystem = pc.matlab ? 1 : 0, c.spacing = 40.0;
        PreparedScan s(c);
        // Sensor gains are read from the channel set's copies.
        for (std::int64_t e = 0; e < s.data.pFwdChnl->numChnl; ++e)
            if (CMEGSensorkw* m = s.data.pFwdChnl->pSnsCoils[e].pMEGSns; m && e % 7 == 3) m->sensorGain = -1.0;
        s.data.isUnitLf = pc.unitLf ? 1 : 0;
        ASSERT_EQ(s.engine.gridDewarLfd(&s.data), 1);
        std::vector<double> flat = s.recordValues();
        std::vector<std::int32_t> modes;
        for (std::int64_t i = 0; i < s.data.numSrc; ++i) modes.push_back(s.data.pVoxSnsLfx[i].coordMode);

        CFlatPostProcess post;
        ASSERT_EQ(post.read(s.data), 1);
        post.applyLocal(flat.data(), s.data.numSrc, modes.data());
        const auto n = static_cast<std::int64_t>(flat.size());
        if (post.isUnitLf) {
            const double m = megfwd::fast::maxAbs(flat.data(), n);
            ASSERT_EQ(megfwd::fast::checkUnitRange(m), 1);
            megfwd::fast::divideAll(flat.data(), n, m);
        }
        megfwd::fast::RmsAccumulator rms(s.data.numSns, s.data.numLf);
        rms.add(flat.data(), 5);  // in two blocks
        rms.add(flat.data() + 5 * s.data.numSns * s.data.numLf, s.data.numSrc - 5);
        double r = 0;
        ASSERT_EQ(rms.scale(r), 1);
        megfwd::fast::divideAll(flat.data(), n, r);

        ASSERT_EQ(s.data.postScanLfProcess(), 1);
        ASSERT_EQ(s.data.normVoxSnsLfd_rootMeanSquare(), 1);
        const std::vector<double> want = s.recordValues();
        ASSERT_EQ(flat.size(), want.size());
        EXPECT_EQ(std::memcmp(flat.data(), want.data(), flat.size() * sizeof(double)), 0);
    }
}

TEST(FlatPostProcess, ZeroLeadfieldsGiveTheManagersMessages) {
    megfwd::test::MessageRecorder messages;
    EXPECT_EQ(megfwd::fast::checkUnitRange(0.0), 0);
    megfwd::fast::RmsAccumulator rms(2, 3);
    const double zeros[6] = {};
    rms.add(zeros, 1);
    double r = 1;
    EXPECT_EQ(rms.scale(r), 0);
    EXPECT_EQ(messages.texts(), (std::vector<std::string>{"The range of leadfield is zero!",
                                                          "RMS value in leadfields is smaller than zero!?"}));
}

// The default system with two sensors of non-positive gain and a list of
// sources, one of them out of the scan.
struct BlockSystem {
    CMEGDatakw recording = megfwd::demo::makeDefaultRecording(1);
    CVirtSnsPOXlistkw list;
    FastCase c;
    BlockSystem() {
        setGains(recording);
        const double centre[3] = {3.0, 21.0, -2.0};
        list = megfwd::demo::makeSphereSourceList(centre, 75.0, 25.0);
        list.addPosition(0.0, 112.0, 0.0);  // out of the scan
    }
    void settings(CMForwardkw& engine, CMDataForwardkw& data) const {
        engine.isUseRefSns = c.refs ? 1 : 0;
        engine.coilFwdModel = c.code;
        data.isTangLfd = c.tangential ? 1 : 0;
        data.coordSystem = c.coordSystem;
        data.isUnit2Meter = 1;
        data.spatUnit = 0.01;
    }
    // A manager with the settings, the channel set and `sources`.
    std::unique_ptr<CMDataForwardkw> manager(CMForwardkw& engine, CVirtSnsPOXlistkw sources) {
        auto data = std::make_unique<CMDataForwardkw>();
        settings(engine, *data);
        EXPECT_EQ(data->initFwdChn(&recording, recording.getTrial(0), 0, 1, c.refs ? 1 : 0), 1);
        EXPECT_EQ(data->initFwdPosVsp(&sources), 1);
        return data;
    }
    std::vector<double> hostPositions() const {
        std::vector<double> host;
        for (std::int64_t i = 0; i < list.numEntries; ++i)
            host.insert(host.end(), list.entries[i].pos, list.entries[i].pos + 3);
        return host;
    }
};

// One array for all blocks; counts the blocks, refuses room from
// `refuseFrom` on.
struct ArraySink : CFastBlockSink {
    std::vector<double> values;
    std::int64_t perSource = 0, blocks = 0, refuseFrom = -1;
    double* blockTarget(std::int64_t first, std::int64_t) override {
        if (refuseFrom >= 0 && first >= refuseFrom) return nullptr;
        return values.data() + first * perSource;
    }
    bool blockFinished(std::int64_t, std::int64_t, const double*, const std::int32_t*) override { return true; }
    bool blockDone(std::int64_t, std::int64_t) override {
        ++blocks;
        return true;
    }
};

// Blocks of 7 sources on two threads give the bits of one block of every
// source on one thread, and the scan flags of a manager prepared with all
// sources; the values agree with that manager's record scan after the
// local post-processing.
TEST(FastBlockScan, BlocksGiveTheNumbersOfOneScanOfAllSources) {
    for (const bool tangential : {false, true}) {
        SCOPED_TRACE(tangential ? "2D" : "3D");
        BlockSystem sys;
        sys.c.tangential = tangential, sys.c.coordSystem = 1, sys.c.code = tangential ? 0 : 4;
        const std::int64_t n = sys.list.numEntries;
        const std::vector<double> host = sys.hostPositions();

        CMForwardkw wholeEngine;
        const std::unique_ptr<CMDataForwardkw> whole = sys.manager(wholeEngine, sys.list);
        ASSERT_EQ(whole->prepare4VoxSnsLfdScan(tangential ? 2 : 3), 1);
        ASSERT_EQ(wholeEngine.gridDewarLfd(whole.get()), 1);
        std::vector<std::int32_t> modes, wantIn;
        for (std::int64_t i = 0; i < n; ++i) {
            modes.push_back(whole->pVoxSnsLfx[i].coordMode);
            wantIn.push_back(whole->pVoxSnsLfx[i].isVoxIn);
        }
        CFlatPostProcess post;
        ASSERT_EQ(post.read(*whole), 1);

        CMForwardkw engine;
        CVirtSnsPOXlistkw one;
        one.addPosition(host[0], host[1], host[2]);
        CFastScanPlan plan;
        ASSERT_EQ(plan.prepare(engine, sys.manager(engine, one)), 1);
        std::vector<std::vector<double>> got;
        for (const auto& [block, threads] : {std::pair<std::int64_t, int>{7, 2}, {n, 1}}) {
            ArraySink sink;
            sink.perSource = plan.numSensors() * plan.numComponents();
            sink.values.assign(static_cast<std::size_t>(n * sink.perSource), -1.0);
            std::vector<std::int32_t> in(static_cast<std::size_t>(n), -1);
            CFastBlockScan scan;
            scan.blockSize = block, scan.numThreads = threads;
            ASSERT_EQ(scan.run(plan, host.data(), n, sink, in.data()), 1);
            EXPECT_EQ(sink.blocks, (n + block - 1) / block);
            EXPECT_EQ(in, wantIn);
            got.push_back(sink.values);
        }
        EXPECT_EQ(std::memcmp(got[0].data(), got[1].data(), got[0].size() * sizeof(double)), 0);

        std::vector<double> want;
        for (std::int64_t i = 0; i < n; ++i)
            for (std::int64_t j = 0; j < whole->numSns; ++j)
                for (std::int64_t k = 0; k < whole->numLf; ++k) want.push_back(whole->pVoxSnsLfx[i].pSnsLf[j].pLf[k]);
        post.applyLocal(want.data(), n, modes.data());
        EXPECT_TRUE(megfwd::test::agreesBySource(got[0], want, whole->numSns * whole->numLf, 1e-12));
    }
}

TEST(FastBlockScan, StopsAtARefusedBlockAndWhenAskedTo) {
    BlockSystem sys;
    const std::vector<double> host = sys.hostPositions();
    const std::int64_t n = sys.list.numEntries;
    CMForwardkw engine;
    CVirtSnsPOXlistkw one;
    one.addPosition(host[0], host[1], host[2]);
    CFastScanPlan plan;
    ASSERT_EQ(plan.prepare(engine, sys.manager(engine, one)), 1);
    std::vector<std::int32_t> in(static_cast<std::size_t>(n));
    ArraySink sink;
    sink.perSource = plan.numSensors() * plan.numComponents();
    sink.values.resize(static_cast<std::size_t>(n * sink.perSource));

    CFastBlockScan scan;
    scan.blockSize = 4;
    sink.refuseFrom = 8;
    EXPECT_EQ(scan.run(plan, host.data(), n, sink, in.data()), 0);
    EXPECT_EQ(scan.failure, CFastBlockScan::Failure::Target);
    EXPECT_EQ(scan.failedSource, 8);

    sink.refuseFrom = -1;
    std::int64_t reports = 0;
    EXPECT_EQ(scan.run(plan, host.data(), n, sink, in.data(), [&](std::int64_t done, std::int64_t total) {
        EXPECT_EQ(total, n);
        ++reports;
        return done < 12;
    }), 0);
    EXPECT_EQ(scan.failure, CFastBlockScan::Failure::Cancelled);
    EXPECT_EQ(reports, 3);
}

}  // namespace

namespace {

// The flat preparation against the records prepare4VoxSnsLfdScan fills, for
// settings that move sources in or out of the scan or change their frame:
// the same flags, coordinate modes and positions (bit for bit), and the same
// message for a source on a coil.
TEST(FlatSources, FlagsModesAndPositionsEqualThePreparedRecords) {
    BlockSystem sys;
    CVirtSnsPOXlistkw list = sys.list;
    {
        // A source on the first coil of the tenth measurement sensor.
        CMDataForwardkw d;
        ASSERT_EQ(d.initFwdChn(&sys.recording, sys.recording.getTrial(0), 0, 1, 1), 1);
        int seen = 0;
        for (std::int64_t e = 0; e < d.pFwdChnl->numChnl; ++e) {
            const CForwardC0SnsCoilskw& entry = d.pFwdChnl->pSnsCoils[e];
            if (!entry.isMEGMeasureSns() || !entry.pMEGSns || ++seen != 10) continue;
            const double* c = entry.pMEGSns->getCoil(0)->coilPos;
            list.addPosition(c[0], c[1], c[2]);
        }
        ASSERT_GE(seen, 10);
    }
    const std::int64_t n = list.numEntries;
    std::vector<double> host;
    for (std::int64_t i = 0; i < n; ++i) host.insert(host.end(), list.entries[i].pos, list.entries[i].pos + 3);

    struct Setting {
        const char* name;
        std::function<void(CMDataForwardkw&)> apply;
    };
    const std::vector<Setting> settings = {
        {"defaults", [](CMDataForwardkw&) {}},
        {"no depth below the coils", [](CMDataForwardkw& d) { d.minCoilSrcDist = 0.0; }},
        {"40 mm below the coils", [](CMDataForwardkw& d) { d.minCoilSrcDist = 40.0; }},
        {"30 mm from the sphere centre", [](CMDataForwardkw& d) { d.minSrcSphDist = 30.0; }},
        {"no stencil", [](CMDataForwardkw& d) { d.isSpatConstrained = 0; }},
        {"user sphere, not centred",
         [](CMDataForwardkw& d) {
             d.sphereModel = 1, d.isCentralizedLf = 0, d.minSrcSphDist = 25.0;
             d.userSphere.setSphere(5.0, 30.0, -3.0, 80.0);
         }},
        {"local spheres, Matlab axes, metres",
         [](CMDataForwardkw& d) {
             d.sphereModel = 2, d.coordSystem = 1, d.isUnit2Meter = 1, d.spatUnit = 1e-3, d.minSrcSphDist = 20.0;
         }},
        {"boundary-element spheres", [](CMDataForwardkw& d) { d.sphereModel = 3, d.minSrcSphDist = 10.0; }},
    };
    const std::string onCoil = "Distance between coil and src almost zero";
    for (const Setting& s : settings) {
        SCOPED_TRACE(s.name);
        megfwd::test::MessageRecorder managerMessages;
        CMDataForwardkw whole;
        s.apply(whole);
        ASSERT_EQ(whole.initFwdChn(&sys.recording, sys.recording.getTrial(0), 0, 1, 1) && whole.initFwdPosVsp(&list) &&
                      whole.prepare4VoxSnsLfdScan(3),
                  1);
        const int managerOnCoil = managerMessages.count(onCoil);
        managerMessages.clear();

        // The flat route's geometry: one manager of one source, prepared.
        CFlatSources flat;
        CVirtSnsPOXlistkw one;
        one.addPosition(host[0], host[1], host[2]);
        CMDataForwardkw geometry;
        s.apply(geometry);
        ASSERT_EQ(geometry.initFwdChn(&sys.recording, sys.recording.getTrial(0), 0, 1, 1) &&
                      geometry.initFwdPosVsp(&one) && megfwd::fast::prepareFlatGeometry(geometry, flat),
                  1);
        EXPECT_EQ(managerMessages.count(onCoil), 0);  // the stencil is left to the flat preparation
        std::vector<double> pos(static_cast<std::size_t>(3 * n));
        std::vector<std::int32_t> in(static_cast<std::size_t>(n), -1), modes(static_cast<std::size_t>(n), -1);
        megfwd::test::MessageRecorder flatMessages;
        flat.prepare(host.data(), n, pos.data(), in.data(), modes.data());

        std::vector<double> wantPos;
        std::vector<std::int32_t> wantIn, wantModes;
        for (std::int64_t i = 0; i < n; ++i) {
            const CFISrcSnsLf& rec = whole.pVoxSnsLfx[i];
            wantPos.insert(wantPos.end(), rec.srcField.pos, rec.srcField.pos + 3);
            wantIn.push_back(rec.isVoxIn);
            wantModes.push_back(rec.coordMode);
        }
        EXPECT_EQ(in, wantIn);
        EXPECT_EQ(modes, wantModes);
        EXPECT_EQ(std::memcmp(pos.data(), wantPos.data(), pos.size() * sizeof(double)), 0);
        EXPECT_EQ(flatMessages.count(onCoil), managerOnCoil);
        // The settings do what they are chosen for: with the stencil some
        // sources are out (the one on a coil with its message), without it
        // none is.
        const auto numIn = std::count(in.begin(), in.end(), 1);
        if (whole.isSpatConstrained) {
            EXPECT_EQ(managerOnCoil, 1);
            EXPECT_GT(numIn, 0);
            EXPECT_LT(numIn, n);
        } else {
            EXPECT_EQ(numIn, n);
        }
    }
}

}  // namespace
