// The leadfield command's fast route: written block by block, through a
// mapping, out of core and record by record give the same array; the number
// of threads changes no bit.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>

#include "FastTestSupport.h"
#include "host_interfaces/DefaultSystem.h"
#include "tools/ToolTestSupport.h"
#include "tools/commands/Commands.h"
#include "base/FileText.h"
#include "tools/formats/Npy.h"
#include "forward_api/SensorArrayFile.h"

namespace {

using namespace megfwd;

TEST(LeadfieldCommand, OutOfCoreInMemoryAndRecordScanGiveTheSameArray) {
    test::ScratchDir s;
    CMDTrialkw trial = demo::makeDefaultTrial();
    for (int i = 0, seen = 0; i < trial.getTotalChannel(); ++i)
        if (CMDChannelkw* ch = trial.getChannel(i); ch->isMEGMeasureChannel() && ch->pMEGSns && ++seen == 5)
            ch->pMEGSns->sensorGain = -1.0;
    megfwd::writeSensorArray(trial, s / "system.json");
    // `megfwd leadfield` with a negative gain, unit leadfield and RMS
    // normalisation: every flat step.
    auto run = [&](const std::string& name, bool outOfCore, bool recordScan, int threads, bool lfx = false,
                   bool divide = true) {
        io::LeadfieldArgs a;
        a.sensors = s / "system.json";
        a.grid = "-60,-30,-60,60,90,60,15";
        a.out = s / (name + ".npy");
        a.outOfCore = outOfCore;
        a.request.recordScan = recordScan;
        a.request.unitMomentScan = lfx;
        a.request.threads = threads;
        a.quiet = true;
        a.request.rmsNormalise = divide;
        a.request.settings.isUnitLf = divide ? 1 : 0;
        a.request.settings.orderCoilIntg = 3;
        a.request.settings.coordSystem = 1;
        std::ostringstream out;
        EXPECT_EQ(io::runLeadfield(a, out), 0);
        return std::pair{io::readNpy(a.out), megfwd::readJsonFile(s / (name + ".json"))};
    };
    // Without the divisions the values are written with pwrite as blocks
    // finish.
    const auto [streamed, streamedMeta] = run("streamed", false, false, 2, false, false);
    const auto [streamedOne, streamedOneMeta] = run("streamed1", false, false, 1, false, false);
    const auto [streamedRec, streamedRecMeta] = run("streamedrec", false, true, 1, false, false);
    EXPECT_EQ(streamed.data, streamedOne.data);
    EXPECT_TRUE(test::agreesBySource(streamed.data, streamedRec.data, streamed.shape[1] * streamed.shape[2], 1e-12));
    EXPECT_EQ(streamedMeta["scan"]["memory"]["output"],
              "written into the output file block by block, each block as it is finished");
    EXPECT_EQ(streamedMeta["sources"]["in_scan"], streamedRecMeta["sources"]["in_scan"]);

    const auto [mem, memMeta] = run("memory", false, false, 2);
    const auto [core, coreMeta] = run("core", true, false, 2);
    const auto [one, oneMeta] = run("one", false, false, 1);
    const auto [rec, recMeta] = run("record", false, true, 1);
    ASSERT_EQ(mem.shape, core.shape);
    ASSERT_EQ(mem.shape, rec.shape);
    ASSERT_EQ(mem.shape.size(), 3u);
    EXPECT_EQ(mem.data, core.data);  // bit for bit
    EXPECT_EQ(mem.data, one.data);
    EXPECT_TRUE(test::agreesBySource(mem.data, rec.data, mem.shape[1] * mem.shape[2], 1e-12));

    EXPECT_EQ(memMeta["scan"]["path"], "fast");
    EXPECT_EQ(memMeta["scan"]["threads"], 2);
    EXPECT_EQ(coreMeta["scan"]["memory"]["output"], "written in place through a memory-mapped file, block by block");
    EXPECT_EQ(recMeta["scan"]["path"], "record-by-record");
    EXPECT_EQ(memMeta["sources"]["in_scan"], recMeta["sources"]["in_scan"]);
    EXPECT_EQ(memMeta["values"]["divided_by"], coreMeta["values"]["divided_by"]);
    // The unit-moment scan falls back to the record scan.
    const nlohmann::json lfxMeta = run("lfx", false, false, 2, true).second;
    EXPECT_EQ(lfxMeta["scan"]["path"], "record-by-record");
    EXPECT_EQ(lfxMeta["scan"]["why"], "the unit-moment scan (gridDewarLfx) has no fast form");
    EXPECT_EQ(s.countFiles(), 1 + 8 * 2);  // only the output files, no temporary ones
}

}  // namespace
