// The leadfield command's fast route: in memory, out of core and record by
// record give the same array; the number of threads changes no bit.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include "FastTestSupport.h"
#include "host_interfaces/DefaultSystem.h"
#include "tools/io/Commands.h"
#include "tools/io/FileText.h"
#include "tools/io/Npy.h"
#include "tools/io/SensorArrayFile.h"

namespace {

namespace fs = std::filesystem;
using namespace megfwd;

struct Scratch {
    fs::path dir = fs::temp_directory_path() / ("megfwd-fast-" + std::to_string(::getpid()));
    Scratch() {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string operator/(const std::string& name) const { return (dir / name).string(); }
};

// Runs `megfwd leadfield` on the default system with a sensor whose gain is
// negative, unit leadfield and RMS normalisation (every flat step).
io::NpyArray leadfield(const Scratch& s, const std::string& name, bool outOfCore, bool recordScan, int threads,
                       nlohmann::json* meta = nullptr) {
    io::LeadfieldArgs a;
    a.sensors = s / "system.json";
    a.grid = "-60,-30,-60,60,90,60,15";
    a.out = s / (name + ".npy");
    a.outOfCore = outOfCore;
    a.request.recordScan = recordScan;
    a.request.threads = threads;
    a.request.quiet = true;
    a.request.rmsNormalise = true;
    a.request.settings.isUnitLf = 1;
    a.request.settings.orderCoilIntg = 3;
    a.request.settings.coordSystem = 1;
    std::ostringstream out;
    EXPECT_EQ(io::runLeadfield(a, out), 0);
    if (meta) *meta = io::readJsonFile(s / (name + ".json"));
    return io::readNpy(a.out);
}

TEST(LeadfieldCommand, OutOfCoreInMemoryAndRecordScanGiveTheSameArray) {
    Scratch s;
    CMDTrialkw trial = demo::makeDefaultTrial();
    for (int i = 0, seen = 0; i < trial.getTotalChannel(); ++i)
        if (CMDChannelkw* ch = trial.getChannel(i); ch->isMEGMeasureChannel() && ch->pMEGSns && ++seen == 5)
            ch->pMEGSns->sensorGain = -1.0;
    io::writeSensorArray(trial, s / "system.json");

    nlohmann::json memMeta, coreMeta, recMeta;
    const io::NpyArray mem = leadfield(s, "memory", false, false, 2, &memMeta);
    const io::NpyArray core = leadfield(s, "core", true, false, 2, &coreMeta);
    const io::NpyArray one = leadfield(s, "one", false, false, 1);
    const io::NpyArray rec = leadfield(s, "record", false, true, 1, &recMeta);
    ASSERT_EQ(mem.shape, core.shape);
    ASSERT_EQ(mem.shape, rec.shape);
    ASSERT_EQ(mem.shape.size(), 3u);
    EXPECT_EQ(mem.data, core.data);  // bit for bit
    EXPECT_EQ(mem.data, one.data);
    EXPECT_LE(test::maxRelativeError(mem.data, rec.data, mem.shape[2]), 1e-12);

    EXPECT_EQ(memMeta["scan"]["path"], "fast");
    EXPECT_EQ(memMeta["scan"]["threads"], 2);
    EXPECT_EQ(coreMeta["scan"]["memory"]["output"], "written in place through a memory-mapped file, block by block");
    EXPECT_EQ(recMeta["scan"]["path"], "record-by-record");
    EXPECT_EQ(memMeta["sources"]["in_scan"], recMeta["sources"]["in_scan"]);
    EXPECT_EQ(memMeta["values"]["divided_by"], coreMeta["values"]["divided_by"]);
    // Only the output files are left (no temporary files).
    int files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(s.dir)) ++files;
    EXPECT_EQ(files, 1 + 4 * 2);
}

TEST(LeadfieldCommand, TheUnitMomentScanFallsBackToTheRecordScan) {
    Scratch s;
    CMDTrialkw trial = demo::makeDefaultTrial();
    io::writeSensorArray(trial, s / "system.json");
    io::LeadfieldArgs a;
    a.sensors = s / "system.json";
    a.grid = "-30,0,-30,30,60,30,30";
    a.out = s / "lfx.npy";
    a.request.unitMomentScan = true;
    a.request.quiet = true;
    std::ostringstream out;
    ASSERT_EQ(io::runLeadfield(a, out), 0);
    const nlohmann::json meta = io::readJsonFile(s / "lfx.json");
    EXPECT_EQ(meta["scan"]["path"], "record-by-record");
    EXPECT_EQ(meta["scan"]["why"], "the unit-moment scan (gridDewarLfx) has no fast form");
}

}  // namespace
