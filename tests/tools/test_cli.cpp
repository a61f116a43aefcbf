// The megfwd program run as a user runs it, on fixture files: its numbers
// against the library's own, its files against numpy and an XML parser, and
// its answers to bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "ToolTestSupport.h"
#include "forward_process/CMDataForwardkw.h"
#include "forward_engine/CMForwardkw.h"
#include "host_interfaces/DefaultSystem.h"
#include "tools/formats/Npy.h"

namespace {

using namespace megfwd;
using namespace megfwd::test;
using nlohmann::json;

const double kSources[5][3] = {{0, 40, 0}, {10, 50, -5}, {-20, 30, 10}, {0, 0, 0}, {5, 95, 0}};

struct LibraryResult {
    std::vector<double> values;
    std::vector<int> inScan;
    std::int64_t numLf = 0;
};
using Settings = std::function<void(CMForwardkw&, CMDataForwardkw&)>;

// The host's order of calls, done directly on the library.
LibraryResult libraryLeadfield(const Settings& settings, bool lfx) {
    CMEGDatakw rec = makeSmallRecording();
    CMDataForwardkw data;
    CMForwardkw engine;
    settings(engine, data);
    EXPECT_EQ(data.initFwdChn(&rec, rec.getTrial(0), 0, 1, engine.isUseRefSns ? 1 : 0), 1);
    CVirtSnsPOXlistkw list;
    for (const auto& s : kSources) list.addPosition(s[0], s[1], s[2]);
    EXPECT_EQ(data.initFwdPosVsp(&list), 1);
    EXPECT_EQ(data.prepare4VoxSnsLfdScan(data.isTangLfd ? 2 : 3), 1);
    EXPECT_EQ(lfx ? engine.gridDewarLfx(&data) : engine.gridDewarLfd(&data), 1);
    EXPECT_EQ(data.postScanLfProcess(), 1);
    LibraryResult r;
    r.numLf = data.numLf;
    for (std::int64_t i = 0; i < data.numSrc; ++i) {
        r.inScan.push_back(data.pVoxSnsLfx[i].isVoxIn);
        for (std::int64_t j = 0; j < data.numSns; ++j)
            for (std::int64_t k = 0; k < data.numLf; ++k) r.values.push_back(data.pVoxSnsLfx[i].pSnsLf[j].pLf[k]);
    }
    return r;
}

double maxAbs(const std::vector<double>& v) {
    double m = 0;
    for (double x : v) m = std::max(m, std::fabs(x));
    return m;
}

const std::string kSensors = " --sensors " + quote(dataFile("small_array.json"));

std::string smallArgs(const ScratchDir& dir, const std::string& out = "lf.npy", bool quiet = true) {
    return std::string("leadfield") + (quiet ? " --quiet" : "") + kSensors + " --sources " + quote(dataFile("grid_sources.csv")) + " --out " +
           quote(dir / out);
}

TEST(Leadfield, FromFileEqualsTheLibrarysOwnForEverySettingPath) {
    struct Case {
        std::string options;
        Settings settings;
        bool lfx = false;
    };
    // SI values unless --library-scale (or a factor or scan unit of one's own).
    auto si = [](CMForwardkw& e, CMDataForwardkw& d) { d.isUnit2Meter = 1, d.spatUnit = 0.001, e.mu4PiRatio = 1e-7; };
    const std::vector<Case> cases = {
        {"", si},
        {"--library-scale --formula cuffin --order 3 --no-ref",
         [](CMForwardkw& e, CMDataForwardkw&) { e.coilFwdModel = 4, e.orderCoilIntg = 3, e.isUseRefSns = 0; }},
        // --sync: the mapped (--unit-lf) and the streamed writes that wait for the disk.
        {"--tangential --sphere 0,40,0,80 --tangent-rule sam --formula SV_CF03 --unit-lf --sync",
         [&](CMForwardkw& e, CMDataForwardkw& d) {
             si(e, d);
             d.isTangLfd = 1, d.sphereModel = 1, e.tangVectMethod = 2, e.coilFwdModel = 2, d.isUnitLf = 1;
             d.userSphere.setSphere(0, 40, 0, 80);
         }},
        {"--si --coords matlab --sensor-model standard --min-coil-source-dist 5 --sync",
         [&](CMForwardkw& e, CMDataForwardkw& d) {
             si(e, d);
             d.coordSystem = 1, e.snsFwdModel = 0, d.minCoilSrcDist = 5;
         }},
        {"--lfx --sphere-model multiple --no-gains --no-centre --unit-lf --mu4pi 2",
         [](CMForwardkw& e, CMDataForwardkw& d) {
             d.sphereModel = 2, d.isApplySnsGain = 0, d.isCentralizedLf = 0, d.isUnitLf = 1, e.mu4PiRatio = 2;
         },
         true},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        const RunResult run = runCli(smallArgs(dir, "lf.npy", false) + " " + c.options, dir);
        ASSERT_EQ(run.code, 0) << run.err;
        if (c.options.empty()) {
            EXPECT_NE(run.out.find("(unit: T/(A·m))"), std::string::npos) << run.out;
        }
        const io::NpyArray got = io::readNpy(dir / "lf.npy");
        const LibraryResult want = libraryLeadfield(c.settings, c.lfx);
        ASSERT_EQ(got.shape, (std::vector<std::int64_t>{5, 6, want.numLf}));
        ASSERT_EQ(got.data.size(), want.values.size());
        const double scale = maxAbs(want.values);
        ASSERT_GT(scale, 0.0);
        for (std::size_t i = 0; i < got.data.size(); ++i) ASSERT_NEAR(got.data[i], want.values[i], 1e-12 * scale) << i;
        const json meta = json::parse(readFile(dir / "lf.json"));
        EXPECT_EQ(meta["sources"]["in_scan"].get<std::vector<int>>(), want.inScan);
        // The printed summary (gathered block by block, after the divisions)
        // describes the array: its range and the RMS over in-scan sources,
        // which it says.
        double lo = HUGE_VAL, hi = -HUGE_VAL, sq = 0;
        std::size_t n = 0;
        const std::size_t per = got.data.size() / want.inScan.size();
        for (std::size_t i = 0; i < got.data.size(); ++i) {
            lo = std::min(lo, got.data[i]), hi = std::max(hi, got.data[i]);
            if (want.inScan[i / per] == 1) sq += got.data[i] * got.data[i], ++n;
        }
        const auto at = run.out.find("values: ");
        ASSERT_NE(at, std::string::npos) << run.out;
        double pLo = 0, pHi = 0, pRms = 0;
        ASSERT_EQ(std::sscanf(run.out.c_str() + at, "values: %lf .. %lf, RMS %lf", &pLo, &pHi, &pRms), 3) << run.out;
        EXPECT_NE(run.out.find(" over the " + std::to_string(n / per) + " sources in the scan only"), std::string::npos);
        EXPECT_NEAR(pLo, lo, 1e-3 * scale);
        EXPECT_NEAR(pHi, hi, 1e-3 * scale);
        EXPECT_NEAR(pRms, std::sqrt(sq / static_cast<double>(n)), 1e-3 * scale);
    }
}

// The metadata says how the numbers were made, and numpy reads the array.
TEST(Leadfield, MetadataAndNumpyAgreeWithTheArray) {
    ScratchDir dir;
    const RunResult run = runCli(smallArgs(dir) + " --order 3", dir);
    ASSERT_EQ(run.code, 0) << run.err;
    const json m = json::parse(readFile(dir / "lf.json"));
    EXPECT_EQ(m["sensors"]["names"], json({"MEG1", "MEG2", "MEG3", "MEG4", "MEG5", "MEG7"}));
    EXPECT_NEAR(m["sensors"]["first_coil_positions_mm"][0][1].get<double>(), 110.0, 1e-9);
    EXPECT_EQ(m["sources"]["positions_mm"][2], json({-20.0, 30.0, 10.0}));
    EXPECT_EQ(m["sources"]["in_scan"][4], 0);  // 5 mm under the top coil
    EXPECT_EQ(m["settings"]["engine"]["orderCoilIntg"], 3);
    EXPECT_EQ(m["settings"]["engine"]["mu4PiRatio"], 1e-7);
    EXPECT_EQ(m["settings"]["manager"]["spatUnit"], 0.001);
    EXPECT_EQ(m["integration"]["order"], 3);
    EXPECT_EQ(m["integration"]["points_per_coil"], 4);
    EXPECT_EQ(m["reference_correction"]["applied"], true);
    EXPECT_EQ(m["values"]["SI_unit"], "T/(A*m)");
    EXPECT_NEAR(m["values"]["to_SI_factor"].get<double>(), 1.0, 1e-12);
    EXPECT_EQ(m["values"]["si_option"], true);
    EXPECT_EQ(m["program"]["version"], MEGFWD_VERSION);
    // The library's scale: millimetres and mu4PiRatio 1, a factor 0.1 to SI.
    const RunResult mmRun = runCli(smallArgs(dir, "mm.npy", false) + " --no-ref --library-scale", dir);
    ASSERT_EQ(mmRun.code, 0);
    EXPECT_NE(mmRun.out.find("(unit: 0.1 T/(A·m); values times 0.1 give T/(A*m))"), std::string::npos) << mmRun.out;
    const json mm = json::parse(readFile(dir / "mm.json"));
    EXPECT_NEAR(mm["values"]["to_SI_factor"].get<double>(), 0.1, 1e-15);
    EXPECT_EQ(mm["reference_correction"]["applied"], false);

    if (!pythonHasNumpy()) GTEST_SKIP() << "/usr/bin/python3 has no numpy";
    const io::NpyArray a = io::readNpy(dir / "lf.npy");
    const RunResult py = runPython(
        "import json, numpy\n"
        "a = numpy.load(" + quote(dir / "lf.npy") + ")\n"
        "m = json.load(open(" + quote(dir / "lf.json") + "))\n"
        "assert a.dtype == numpy.float64 and a.flags['C_CONTIGUOUS']\n"
        "assert list(a.shape) == m['array']['shape'] and a.shape[1] == len(m['sensors']['names'])\n"
        "print('x'.join(map(str, a.shape)), repr(float(a[2, 3, 1])), repr(float(numpy.abs(a).sum())))\n",
        dir);
    ASSERT_EQ(py.code, 0) << py.err;
    std::istringstream in(py.out);
    std::string shape, v, sum;
    in >> shape >> v >> sum;
    EXPECT_EQ(shape, "5x6x3");
    EXPECT_EQ(std::strtod(v.c_str(), nullptr), a.data[(2 * 6 + 3) * 3 + 1]);
    double total = 0;
    for (double x : a.data) total += std::fabs(x);
    EXPECT_NEAR(std::strtod(sum.c_str(), nullptr), total, 1e-12 * total);
}

TEST(Leadfield, SourcesFromNpyOrGridAsFromText) {
    ScratchDir dir;
    std::vector<double> flat;
    for (const auto& p : kSources) flat.insert(flat.end(), p, p + 3);
    writeFile(dir / "src.npy", io::npyBytes({5, 3}, flat.data()));
    ASSERT_EQ(runCli(smallArgs(dir, "csv.npy"), dir).code, 0);
    const RunResult r = runCli("leadfield -q" + kSensors + " --sources " + quote(dir / "src.npy") + " --out " +
                                   quote(dir / "npy.npy"), dir);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(io::readNpy(dir / "npy.npy").data, io::readNpy(dir / "csv.npy").data);
    // A grid: x slowest, z fastest, corners included.
    const RunResult g = runCli("leadfield -q" + kSensors + " --grid 0,30,0,10,40,10,10 --out " + quote(dir / "g.npy"), dir);
    ASSERT_EQ(g.code, 0) << g.err;
    const json m = json::parse(readFile(dir / "g.json"));
    EXPECT_EQ(m["array"]["shape"][0], 8);
    EXPECT_EQ(m["sources"]["positions_mm"][1], json({0.0, 30.0, 10.0}));
    EXPECT_EQ(m["sources"]["positions_mm"][7], json({10.0, 40.0, 10.0}));
}

TEST(Field, EqualsLeadfieldTimesMomentWithGainSigns) {
    ScratchDir dir;
    // The field command takes the scalar Sarvas form unless told otherwise and
    // is linear in the moment: that form's leadfield times the moment.
    const double mom[5][3] = {{1, 0, 0}, {0.5, -2, 1}, {0, 0, 3}, {1, 1, 1}, {-1, 0.5, 0}};
    std::string dip = "# x y z qx qy qz\n";
    for (int i = 0; i < 5; ++i)
        for (int k = 0; k < 6; ++k) dip += std::to_string(k < 3 ? kSources[i][k] : mom[i][k - 3]) + (k < 5 ? " " : "\n");
    writeFile(dir / "dip.txt", dip);
    ASSERT_EQ(runCli(smallArgs(dir) + " --formula st01", dir).code, 0);
    const RunResult f =
        runCli("field --quiet" + kSensors + " --dipoles " + quote(dir / "dip.txt") + " --out " + quote(dir / "f.npy"), dir);
    ASSERT_EQ(f.code, 0) << f.err;
    const io::NpyArray lf = io::readNpy(dir / "lf.npy"), fv = io::readNpy(dir / "f.npy");
    ASSERT_EQ(fv.shape, (std::vector<std::int64_t>{5, 6}));
    const double scale = maxAbs(fv.data);
    ASSERT_GT(scale, 0.0);
    for (std::size_t i = 0; i < 5; ++i)
        for (std::size_t j = 0; j < 6; ++j) {
            double want = 0;
            for (std::size_t k = 0; k < 3; ++k) want += lf.data[(i * 6 + j) * 3 + k] * mom[i][k];
            EXPECT_NEAR(fv.data[i * 6 + j], want, 1e-9 * scale) << i << "," << j;
        }
}

TEST(Demo, WrittenSensorsReproduceTheDemoLeadfieldAndItsMap) {
    ScratchDir dir;
    const RunResult w = runCli("demo --write-sensors " + quote(dir / "system.json"), dir);
    ASSERT_EQ(w.code, 0) << w.err;
    const RunResult d = runCli("demo --out-dir " + quote(dir / "demo"), dir);
    ASSERT_EQ(d.code, 0) << d.err;
    EXPECT_NE(d.out.find("275  kind 101  axial gradiometer (1st order)"), std::string::npos) << d.out;
    EXPECT_NE(d.out.find(" sources in the scan only (unit: "), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("forward data manager: 275 measurement sensors, 29 reference sensors"), std::string::npos);
    const RunResult r = runCli("leadfield --quiet --sensors " + quote(dir / "system.json") + " --sources " +
                                   quote(dir / "demo/sources.csv") + " --out " + quote(dir / "rt.npy"), dir);
    ASSERT_EQ(r.code, 0) << r.err;
    const io::NpyArray demo = io::readNpy(dir / "demo/leadfield.npy"), rt = io::readNpy(dir / "rt.npy");
    ASSERT_EQ(demo.shape.size(), 3u);
    EXPECT_EQ(rt.shape, (std::vector<std::int64_t>{demo.shape[0], 275, 3}));
    EXPECT_EQ(rt.data, demo.data);
    if (!pythonHasNumpy()) GTEST_SKIP() << "/usr/bin/python3 not usable";
    EXPECT_EQ(svgSensorMarks(dir / "demo/map.svg", dir), "275\n");
}

TEST(Plot, MapFromMetadataOrSensorFileHasOneMarkPerSensor) {
    ScratchDir dir;
    ASSERT_EQ(runCli(smallArgs(dir), dir).code, 0);
    const std::string plot = "plot " + quote(dir / "lf.npy");
    const RunResult a = runCli(plot + " --source 1 --component 2 --out " + quote(dir / "a.svg"), dir);
    ASSERT_EQ(a.code, 0) << a.err;
    // Without the metadata the positions come from the sensor file.
    std::filesystem::rename(dir / "lf.json", dir / "moved.json");
    const RunResult b = runCli(plot + " --source 0 --component norm" + kSensors + " --out " + quote(dir / "b.svg"), dir);
    ASSERT_EQ(b.code, 0) << b.err;
    const RunResult c = runCli(plot + " --source 0 --out " + quote(dir / "c.svg"), dir);
    EXPECT_EQ(c.code, 2);
    EXPECT_NE(c.err.find("give the sensors with --sensors FILE"), std::string::npos) << c.err;
    if (!pythonHasNumpy()) GTEST_SKIP() << "/usr/bin/python3 not usable";
    for (const char* f : {"a.svg", "b.svg"}) EXPECT_EQ(svgSensorMarks(dir / f, dir), "6\n") << f;
}

TEST(Info, ReportsContentsAndProblems) {
    ScratchDir dir;
    const RunResult r = runCli("info" + kSensors, dir);
    ASSERT_EQ(r.code, 0) << r.err;
    for (const char* line : {"measurement sensors: 7 (6 good), coils: 14",
                             "forward channel set: 6 measurement and 2 reference sensors in use", "dewar sphere: centre",
                             "problems (2):\n  - channel 'MEG4' (#7): gain -2 is not positive",
                             "\n  - channel 'MEG6' (#9): marked bad"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
}

// Every kind of bad input: one line naming the problem, exit code 2, no
// output, and an existing output of the same name untouched.
TEST(BadInput, ClearMessageExitCode2AndNothingWritten) {
    ScratchDir dir;
    const json good = json::parse(readFile(dataFile("small_array.json")));
    auto variant = [&](const std::string& name, const std::function<void(json&)>& change) {
        json j = good;
        change(j);
        writeFile(dir / name, j.dump(1));
        return dir / name;
    };
    auto named = [](json& j, const std::string& name) -> json& {
        for (auto& c : j["channels"])
            if (c["name"] == name) return c;
        throw std::runtime_error("no channel " + name);
    };
    const std::string src = " --sources " + quote(dataFile("grid_sources.csv"));
    auto sensors = [&](const std::string& path) { return "leadfield --quiet --sensors " + quote(path) + src; };
    const std::string small = "leadfield --quiet" + kSensors;
    std::vector<std::pair<std::string, std::string>> cases = {  // arguments, message
        {sensors(dir / "missing.json"), "missing.json: cannot open the file: No such file or directory"},
        {sensors(dataFile("malformed.json")), "malformed.json:4:68: malformed JSON: syntax error"},
        {sensors(variant("format.json", [](json& j) { j["format"] = "other"; })),
         "format.json: 'format' is \"other\", expected \"megfwd-sensor-array\""},
        {sensors(variant("version.json", [](json& j) { j["version"] = 2; })), "unsupported 'version' 2"},
        {sensors(variant("nokind.json", [&](json& j) { named(j, "MEG2").erase("kind"); })),
         "nokind.json: channel 'MEG2' (#5): missing 'kind'"},
        {sensors(variant("kindtype.json", [&](json& j) { named(j, "MEG2")["kind"] = "101"; })),
         "channel 'MEG2' (#5): 'kind' must be an integer, not a string"},
        {sensors(variant("noradius.json", [&](json& j) { named(j, "MEG3")["coils"][0].erase("radius"); })),
         "channel 'MEG3' (#6), coil #1: missing 'radius'"},
        {sensors(variant("zeronormal.json", [&](json& j) { named(j, "MEG3")["coils"][1]["normal"] = {0, 0, 0}; })),
         "channel 'MEG3' (#6), coil #2: 'normal' has zero length"},
        {sensors(variant("negradius.json", [&](json& j) { named(j, "MEG1")["coils"][0]["radius"] = -1; })),
         "channel 'MEG1' (#4), coil #1: 'radius' is negative"},
        {sensors(variant("dup.json", [&](json& j) { named(j, "MEG2")["name"] = "MEG1"; })),
         "channel 'MEG1' (#5): duplicate channel name (also channel #4)"},
        {sensors(variant("unknownref.json", [&](json& j) { named(j, "MEG5")["references"][1]["channel"] = "NOPE"; })),
         "channel 'MEG5' (#8), reference #2: names 'NOPE', which is no channel of this file"},
        {sensors(variant("notref.json", [&](json& j) { named(j, "MEG5")["references"][0]["channel"] = "MEG1"; })),
         "names 'MEG1', which is not a reference sensor (kind 101"},
        {sensors(variant("onesensor.json",
                         [&](json& j) {
                             for (auto& c : j["channels"])
                                 if (c["kind"] == 101 && c["name"] != "MEG1") c["good"] = false;
                         })),
         "onesensor.json: 1 good measurement sensor (kind 100..103); at least 2 are needed"},
        {small + " --grid 0,0,0,1,1,1",
         "--grid \"0,0,0,1,1,1\": expected 7 numbers xmin,ymin,zmin,xmax,ymax,zmax,step, got 6"},
        {small + " --grid 0,0,0,1,1,1,nan", "--grid \"0,0,0,1,1,1,nan\": 'nan' is not a finite number"},
        {small + " --sources " + quote(dir / "bad.csv"), "bad.csv:2: expected 3 numbers, found 2"},
        {small + " --grid 0,0,0,10,10,10,0", "the step must be greater than 0"},
        {small + " --grid 0,20,0,10,10,10,1", "ymin 20 is greater than ymax 10"},
        {small + " --grid -1000,-1000,-1000,1000,1000,1000,1", "of memory, more than the"},
        {small + " --grid 0,0,0,1,1,1,0.5 --formula xyz", "--formula 'xyz': unknown value"},
        {small + " --grid 0,0,0,1,1,1,0.5 --order 6", "--order 6: the coil integration order must be 1, 2, 3, 4, 5 or 7"},
        {small + " --grid 0,0,0,1,1,1,0.5 --si --library-scale", "--si with --library-scale: give one of them"},
        // Numbers of the command line: the option, the value and the range.
        {small + " --grid 0,0,0,1,1,1,0.5 --threads 0", "--threads 0: expected a whole number of threads from 1 to 1024"},
        {small + " --grid 0,0,0,1,1,1,0.5 --threads -1", "--threads -1: expected a whole number of threads from 1"},
        {small + " --grid 0,0,0,1,1,1,0.5 --threads abc", "--threads abc: expected a whole number of threads from 1"},
        {small + " --grid 0,0,0,1,1,1,0.5 --order 2.5", "--order 2.5: the coil integration order must be"},
        {small + " --grid 0,0,0,1,1,1,0.5 --mu4pi x", "--mu4pi x: expected a finite number other than 0"},
        {small + " --grid 0,0,0,1,1,1,0.5 --min-coil-source-dist -1",
         "--min-coil-source-dist -1: expected a number of millimetres from 0 to 10000"},
        {small + " --grid 0,0,0,1,1,1,0.5 --min-source-sphere-dist 1e400", "--min-source-sphere-dist 1e400: expected a"},
        {small + " --grid 0,0,0,1,1,1,0.5 --dask tcp://127.0.0.1:8786",
         "--dask tcp://127.0.0.1:8786: this program does not run scans on Dask; run /usr/bin/python3 -m megfwd.dask"},
        // Head models the library does not compute.
        {small + " --grid 0,0,0,1,1,1,0.5 --sphere-model bem", "--sphere-model bem: no boundary-element model is computed"},
        {small + " --grid 0,0,0,1,1,1,0.5 --sphere-model 4", "--sphere-model 4: no finite-element model is computed"},
        // Positions and sizes beyond the physical bounds.
        {small + " --grid 0,0,0,1,1,1e300,0.5", "--grid \"0,0,0,1,1,1e300,0.5\": z = 1e+300 mm is outside"},
        {small + " --grid 0,0,0,1,1,1,0.5 --sphere 0,0,0,1e300", "the radius 1e+300 mm is larger than 10000 mm"},
        {small + " --sources " + quote(dir / "far.csv"), "far.csv:2: y = -100000 mm is outside -10000..10000 mm"},
        {sensors(variant("far.json", [&](json& j) { named(j, "MEG2")["coils"][1]["position"] = {0, 1e300, 0}; })),
         "channel 'MEG2' (#5), coil #2: 'position' y = 1e+300 m is farther than 10 m from the origin"},
        {sensors(variant("wide.json", [&](json& j) { named(j, "MEG2")["coils"][0]["radius"] = 2000; })),
         "channel 'MEG2' (#5), coil #1: 'radius' 2000 m is larger than a pickup coil can be"},
        // A file meant to be .npy is never read as text.
        {small + " --sources " + quote(dir / "magic.npy"), "magic.npy: corrupt .npy file: it starts with \"\\x93NUMPX\""},
        {small + " --sources " + quote(dir / "text.npy"), "text.npy: corrupt .npy file: it starts with \"1,2,3\\x0a\" instead"},
        {small + " --sources " + quote(dir / "renamed.csv"), "renamed.csv: corrupt .npy file"},
    };
    writeFile(dir / "far.csv", "1,2,3\n0,-1e5,0\n");
    writeFile(dir / "magic.npy", "\x93NUMPX\x01 and garbage after it");
    writeFile(dir / "text.npy", "1,2,3\n4,5,6\n");
    writeFile(dir / "renamed.csv", "NUMPY\x01 a header that lost its first byte");
    writeFile(dir / "bad.csv", "1,2,3\n4,5\n");
    // A non-finite number cannot be written by a JSON library: edit the text.
    std::string inf = good.dump(1);
    inf.replace(inf.find("0.21"), 4, "1e999");
    writeFile(dir / "inf.json", inf);
    cases.emplace_back(sensors(dir / "inf.json"), "inf.json:13:7: the number 1e999 is not finite");

    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(args);
        writeFile(dir / "out.npy", "precious array");
        writeFile(dir / "out.json", "precious metadata");
        const int before = dir.countFiles();
        const RunResult r = runCli(args + " --out " + quote(dir / "out.npy"), dir);
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.err.rfind("megfwd: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(readFile(dir / "out.npy"), "precious array");
        EXPECT_EQ(readFile(dir / "out.json"), "precious metadata");
        EXPECT_EQ(dir.countFiles(), before);  // no temporary file left behind
    }
    // An output that cannot be written is refused before anything is computed.
    const RunResult r = runCli(smallArgs(dir, "no-such-dir/out.npy"), dir);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("no-such-dir/out.npy: cannot write the output"), std::string::npos) << r.err;
    EXPECT_EQ(runCli("leadfield --bogus", dir).code, 2);  // a usage error
    // A source index outside the array.
    ASSERT_EQ(runCli(smallArgs(dir), dir).code, 0);
    const RunResult p = runCli("plot " + quote(dir / "lf.npy") + " --source 5 --out " + quote(dir / "m.svg"), dir);
    EXPECT_EQ(p.code, 2);
    EXPECT_NE(p.err.find("--source 5: lf.npy has 5 sources (0..4)"), std::string::npos) << p.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "m.svg"));
}

TEST(LibraryFailure, MessageShownAsItStandsExitCode1NothingWritten) {
    ScratchDir dir;
    // The only source lies under a coil: every value is 0 and the unit scaling refuses.
    writeFile(dir / "src.csv", "5,95,0\n");
    const RunResult r = runCli("leadfield -q --unit-lf" + kSensors + " --sources " + quote(dir / "src.csv") + " --out " +
                                   quote(dir / "lf.npy"), dir);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("megfwd: The range of leadfield is zero!\n"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "lf.npy"));
    EXPECT_EQ(dir.countFiles(), 1);
}

TEST(Interrupt, LeavesNoPartialOutputAndKeepsTheOldFile) {
    ScratchDir dir;
    writeFile(dir / "out.npy", "precious array");
    // A scan of several seconds, interrupted early in the scan.
    const std::string cmd = "{ " + quote(MEGFWD_CLI) + " leadfield -q" + kSensors +
                            " --grid -100,-100,-100,100,100,100,3.5 --order 7 --lfx --no-stencil --out " +
                            quote(dir / "out.npy") + " & p=$!; sleep 0.4; kill -INT $p; wait $p; echo $?; }";
    const RunResult r = runShell(cmd, dir);
    EXPECT_EQ(r.out, "130\n") << r.err;  // ended by the signal
    EXPECT_EQ(readFile(dir / "out.npy"), "precious array");
    EXPECT_FALSE(std::filesystem::exists(dir / "out.json"));
    EXPECT_EQ(dir.countFiles(), 1);
}

TEST(Help, EveryCommandHasWrappedHelpWithExamplesAndNoParserNoise) {
    ScratchDir dir;
    for (const char* cmd : {"", "leadfield", "field", "spheres", "info", "plot", "demo"}) {
        SCOPED_TRACE(cmd);
        const RunResult r = runCli(std::string(cmd) + " --help", dir);
        EXPECT_EQ(r.code, 0);
        if (*cmd) {
            EXPECT_NE(r.out.find("Example"), std::string::npos);
        }
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
        for (const char* noise : {"{false}", "TEXT", "INT", "FLOAT", "POSITIVE", "REQUIRED", "Excludes", "NUMBER"})
            EXPECT_EQ(r.out.find(noise), std::string::npos) << noise;
    }
    // Each command states its own default formula, and the unit of its values.
    const std::string fieldHelp = runCli("field --help", dir).out, leadfieldHelp = runCli("leadfield --help", dir).out;
    EXPECT_NE(fieldHelp.find("(default ST01)"), std::string::npos);
    EXPECT_NE(leadfieldHelp.find("(default SV_NT04)"), std::string::npos);
    EXPECT_NE(fieldHelp.find("the values are in tesla (SI)"), std::string::npos);
    EXPECT_NE(leadfieldHelp.find("the values are in T/(A*m) (SI)"), std::string::npos);
}

// Errors of the command line itself: one line naming what was wrong, and
// at most a hint to the help after it.
TEST(Help, ParseErrorsNameTheProblemInOneLine) {
    ScratchDir dir;
    const std::string small = "leadfield" + kSensors + " --grid 0,0,0,1,1,1,1";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"frobnicate", "megfwd: unknown command 'frobnicate': the commands are leadfield, field, dipole, spheres, info, plot and demo\n"},
        {"", "megfwd: no command given: the commands are leadfield"},
        {small + " --out x.npy --bogus", "megfwd: leadfield: unknown option --bogus\n"},
        {small + " --out", "megfwd: leadfield: --out needs a value"},
        {"leadfield --out x.npy --grid 0,0,0,1,1,1,1", "megfwd: leadfield: --sensors FILE is required: sensor-array file"},
        {"plot x.npy --out m.svg", "megfwd: plot: --source INDEX is required"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(args);
        const RunResult r = runCli(args, dir);
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.err.rfind(message, 0), 0u) << r.err;
        const auto hint = r.err.find('\n') + 1;
        EXPECT_EQ(r.err.substr(hint).rfind("Run 'megfwd", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
    }
}

// --quiet leaves nothing on either stream but errors and warnings.
TEST(Help, QuietPrintsNothingOnSuccess) {
    ScratchDir dir;
    writeFile(dir / "dip.txt", "0 40 0 1 0 0\n");
    const std::vector<std::string> runs = {
        smallArgs(dir) + " --lfx",  // also silences the SV_NT04 note
        "field -q" + kSensors + " --dipoles " + quote(dir / "dip.txt") + " --formula SV_NT04 --out " + quote(dir / "f.npy"),
        "plot -q " + quote(dir / "lf.npy") + " --source 0 --out " + quote(dir / "m.svg"),
        "demo -q --order 1 --out-dir " + quote(dir / "demo"),
    };
    for (const std::string& args : runs) {
        SCOPED_TRACE(args);
        const RunResult r = runCli(args, dir);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

// An output that is the same file as an input of the run is refused before
// anything is read or computed, whatever path reaches it.
TEST(SameFile, OutputsNeverReplaceAnInput) {
    ScratchDir dir;
    namespace fs = std::filesystem;
    const std::string meg = dir / "meg.json";
    fs::copy_file(dataFile("small_array.json"), meg);
    fs::create_directory(dir / "sub");
    fs::create_symlink(meg, dir / "link.json");
    fs::create_hard_link(meg, dir / "hard.json");
    writeFile(dir / "src.csv", "0 40 0\n10 50 -5\n");
    fs::create_symlink(dir / "src.csv", dir / "srclink.npy");
    writeFile(dir / "dip.json", "0 40 0 1 0 0\n");
    ASSERT_EQ(runCli("leadfield -q --sensors " + quote(meg) + " --grid 0,40,0,10,40,10,10 --out " + quote(dir / "lf.npy"),
                     dir).code, 0);
    const std::string lf = "leadfield -q --grid 0,40,0,10,40,10,10 --sensors ";
    const std::string plot = "plot " + quote(dir / "lf.npy") + " --source 0 --out ";
    const std::vector<std::pair<std::string, std::string>> cases = {  // arguments, the input named
        {lf + quote(meg) + " --out " + quote(dir / "meg.npy"), "meg.json (--sensors)"},
        {lf + quote(dir / "link.json") + " --out " + quote(dir / "meg.npy"), "link.json (--sensors)"},
        {lf + quote(dir / "hard.json") + " --out " + quote(dir / "meg.npy"), "hard.json (--sensors)"},
        {lf + quote(meg) + " --out " + quote(dir / "sub/../meg.npy"), "meg.json (--sensors)"},
        {lf + quote(meg) + " --out " + quote(dir / "sub/../link.npy"), "meg.json (--sensors)"},
        {"leadfield -q --sensors " + quote(meg) + " --sources " + quote(dir / "src.csv") + " --out " +
             quote(dir / "srclink.npy"), "src.csv (--sources)"},
        {"field -q --sensors " + quote(meg) + " --dipoles " + quote(dir / "dip.json") + " --out " + quote(dir / "dip.npy"),
         "dip.json (--dipoles)"},
        {plot + quote(dir / "lf.npy"), "lf.npy (the array to plot)"},
        {plot + quote(dir / "lf.json"), "lf.json (the array's metadata)"},
        {plot + quote(dir / "m.svg") + " --sensors " + quote(dir / "m.svg"), "m.svg (--sensors)"},
    };
    writeFile(dir / "m.svg", "not a map");
    for (const auto& [args, input] : cases) {
        SCOPED_TRACE(args);
        const std::string before = readFile(meg), lfBefore = readFile(dir / "lf.npy"), metaBefore = readFile(dir / "lf.json");
        const int files = dir.countFiles();
        const RunResult r = runCli(args, dir);
        EXPECT_EQ(r.code, 2);
        EXPECT_NE(r.err.find("is the same file as "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(input + ": writing it would replace an input"), std::string::npos) << r.err;
        EXPECT_EQ(readFile(meg), before);
        EXPECT_EQ(readFile(dir / "lf.npy"), lfBefore);
        EXPECT_EQ(readFile(dir / "lf.json"), metaBefore);
        EXPECT_EQ(dir.countFiles(), files);
        EXPECT_TRUE(fs::is_symlink(dir / "srclink.npy"));
    }
}

// Values that are not finite, or too large for their square to be, never
// reach an output: huge inputs are refused by every reader (exit 2), and
// arithmetic that overflows all the same is refused with its place (exit 1).
TEST(NonFinite, RefusedByEveryCommandWithItsPlace) {
    ScratchDir dir;
    json huge = json::parse(readFile(dataFile("small_array.json")));
    for (auto& c : huge["channels"])
        if (c["name"] == "MEG3") c["coils"][0]["position"] = {1e300, 0.0, 0.0};
    writeFile(dir / "huge.json", huge.dump());
    writeFile(dir / "dip.csv", "0 40 0 1 0 0\n10 50 -5 0 1 0\n");
    writeFile(dir / "bigq.csv", "0 40 0 1e300 0 0\n");
    const std::vector<double> values = {1, 2, 3, 4, 5, HUGE_VAL, 7, 8, 9, 10, 11, 12};
    writeFile(dir / "inf.npy", io::npyBytes({2, 6}, values.data()));
    writeFile(dir / "inf.json", readFile(dataFile("small_array.json")));  // no sensor positions: give --sensors
    const std::string grid = " --grid 0,40,0,10,40,10,10 --out " + quote(dir / "o.npy");
    const std::string field = "field -q" + kSensors + " --out " + quote(dir / "o.npy") + " --dipoles ";
    struct Case {
        std::string args;
        int code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"leadfield -q --sensors " + quote(dir / "huge.json") + grid, 2, "channel 'MEG3' (#6), coil #1: 'position' x = 1e+300"},
        {"field -q --sensors " + quote(dir / "huge.json") + " --dipoles " + quote(dir / "dip.csv") + " --out " +
             quote(dir / "o.npy"), 2, "channel 'MEG3' (#6), coil #1: 'position' x = 1e+300"},
        {"info --sensors " + quote(dir / "huge.json"), 2, "channel 'MEG3' (#6), coil #1: 'position' x = 1e+300"},
        {field + quote(dir / "bigq.csv"), 2, "bigq.csv:1: qx = 1e+300 is outside -1e+12..1e+12"},
        {"plot " + quote(dir / "inf.npy") + " --source 0" + kSensors + " --out " + quote(dir / "m.svg"), 2,
         "inf.npy: source 0, sensor 'MEG7': the value inf is not a finite value"},
        {"leadfield -q" + kSensors + grid + " --mu4pi 1e300", 1,
         "source 0 at (0, 40, 0) mm, sensor 'MEG1', component 0: the computed leadfield is -"},
        {"leadfield -q" + kSensors + grid + " --mu4pi 1e300 --record-scan", 1,
         "source 0 at (0, 40, 0) mm, sensor 'MEG1', component 0: the computed leadfield is -"},
        {field + quote(dir / "dip.csv") + " --mu4pi 1e300", 1, "dipole 0 at (0, 40, 0) mm, sensor 'MEG1': the computed field"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const int files = dir.countFiles();
        const RunResult r = runCli(c.args, dir);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.err.rfind("megfwd: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(dir.countFiles(), files);
    }
}

// Results whose values say nothing still come out, with a warning on stderr
// and in the metadata.
TEST(Warnings, EverySourceOutOfTheScanIsToldAndRecorded) {
    ScratchDir dir;
    writeFile(dir / "dip.txt", "0 40 0 1 0 0\n10 50 -5 0 1 0\n");
    struct Run {
        std::string args, metadata, warning;
    };
    const std::vector<Run> runs = {
        {smallArgs(dir, "a.npy") + " --min-coil-source-dist 1000", "a.json", "none of the 5 sources is in the scan"},
        {smallArgs(dir, "b.npy") + " --min-coil-source-dist 1000 --record-scan", "b.json",
         "none of the 5 sources is in the scan"},
        {"field -q" + kSensors + " --dipoles " + quote(dir / "dip.txt") + " --min-coil-source-dist 1000 --out " +
             quote(dir / "c.npy"), "c.json", "none of the 2 dipoles is in the scan"},
    };
    for (const Run& run : runs) {
        SCOPED_TRACE(run.args);
        const RunResult r = runCli(run.args, dir);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.err.rfind("megfwd: warning: " + run.warning + ", so every value is 0", 0), 0u) << r.err;
        const json meta = json::parse(readFile(dir / run.metadata));
        ASSERT_EQ(meta["warnings"].size(), 1u);
        EXPECT_EQ(meta["warnings"][0].get<std::string>().rfind(run.warning, 0), 0u);
    }
    const RunResult normal = runCli(smallArgs(dir, "d.npy"), dir);
    ASSERT_EQ(normal.code, 0);
    EXPECT_EQ(normal.err, "");
    EXPECT_EQ(json::parse(readFile(dir / "d.json"))["warnings"], json::array());
}

// A library message sent once per source is shown once, with a count.
TEST(Messages, RepeatedLibraryMessageShownOnceWithACount) {
    ScratchDir dir;
    std::string rows;
    for (int i = 0; i < 300; ++i) rows += "0 110 0\n";  // MEG1's first coil centre
    writeFile(dir / "oncoil.csv", rows);
    const RunResult r = runCli("leadfield -q" + kSensors + " --sources " + quote(dir / "oncoil.csv") + " --out " +
                                   quote(dir / "lf.npy"), dir);
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string message = "megfwd: Distance between coil and src almost zero\n";
    const auto first = r.err.find(message);
    ASSERT_NE(first, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(message, first + 1), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("megfwd: (the message \"Distance between coil and src almost zero\" came 299 more times)"),
              std::string::npos) << r.err;
    EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 3) << r.err;
}

// An output larger than the file-size limit is refused before the scan,
// with what it needs and what the limit allows; a write that fails all the
// same says why.
TEST(OutputRoom, FileSizeLimitRefusedBeforeTheScan) {
    ScratchDir dir;
    writeFile(dir / "lf.npy", "precious array");
    for (const char* route : {"", " --out-of-core"}) {
        SCOPED_TRACE(route);
        // 1000 sources x 6 sensors x 3 components: 144 kB, past a 64 kB limit.
        const RunResult r = runShell("ulimit -f 64; trap '' XFSZ; " + quote(MEGFWD_CLI) + " leadfield -q" + kSensors +
                                         " --grid 0,0,0,90,90,90,10 --threads 2 --out " + quote(dir / "lf.npy") + route,
                                     dir);
        EXPECT_EQ(r.code, 2);
        EXPECT_NE(r.err.find("lf.npy (--out and its metadata): file too large: needs "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(", the file-size limit (ulimit -f) is "), std::string::npos) << r.err;
        EXPECT_EQ(readFile(dir / "lf.npy"), "precious array");
        EXPECT_EQ(dir.countFiles(), 1);
    }
}

}  // namespace
