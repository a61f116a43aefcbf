// File formats of the tools: .npy, the sensor-array file, SVG maps, atomic
// output and the progress display.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <sys/resource.h>

#include "ToolTestSupport.h"
#include "host_interfaces/DefaultSystem.h"
#include "forward_api/AtomicFile.h"
#include "base/Errors.h"
#include "tools/formats/MappedNpy.h"
#include "tools/formats/Npy.h"
#include "tools/commands/Progress.h"
#include "forward_api/SensorArrayFile.h"
#include "tools/formats/TopoMap.h"

namespace {

using namespace megfwd;
using namespace megfwd::test;

TEST(Npy, HeaderIsVersion1PaddedTo64AndRoundTrips) {
    for (const std::vector<std::int64_t>& shape :
         {std::vector<std::int64_t>{3, 4, 2}, {5}, {0, 3}, {123456, 275, 3}}) {
        const std::string h = io::npyHeader(shape);
        ASSERT_EQ(h.size() % 64, 0u);
        EXPECT_EQ(h.compare(0, 8, std::string("\x93NUMPY\x01\x00", 8)), 0);
        const std::size_t len = static_cast<unsigned char>(h[8]) | (static_cast<unsigned char>(h[9]) << 8);
        EXPECT_EQ(len + 10, h.size());
        EXPECT_EQ(h.back(), '\n');
    }
    EXPECT_NE(io::npyHeader({5}).find("'shape': (5,)"), std::string::npos);
    EXPECT_NE(io::npyHeader({2, 3}).find("'shape': (2, 3)"), std::string::npos);

    const std::vector<double> v = {1.5, -0.0, 1e-300, -7.25, 3.0e300, 42.0};
    const io::NpyArray back = io::parseNpy(io::npyBytes({2, 3}, v.data()), "x.npy");
    EXPECT_EQ(back.shape, (std::vector<std::int64_t>{2, 3}));
    EXPECT_EQ(back.data, v);
    EXPECT_TRUE(std::signbit(back.data[1]));
}

TEST(Npy, ReaderRefusesWhatItCannotRead) {
    EXPECT_THROW(io::parseNpy("not an array", "a.npy"), megfwd::InputError);
    std::string fortran = io::npyBytes({2, 2}, std::vector<double>(4, 1.0).data());
    fortran.replace(fortran.find("False"), 5, "True ");
    EXPECT_THROW(io::parseNpy(fortran, "f.npy"), megfwd::InputError);
    std::string truncated = io::npyBytes({2, 2}, std::vector<double>(4, 1.0).data());
    truncated.resize(truncated.size() - 8);
    EXPECT_THROW(io::parseNpy(truncated, "t.npy"), megfwd::InputError);
}

// The file holds the same system as the trial, coil by coil.
void expectSameSystem(CMDTrialkw& a, CMDTrialkw& b) {
    ASSERT_EQ(a.getTotalChannel(), b.getTotalChannel());
    for (int i = 0; i < a.getTotalChannel(); ++i) {
        CMDChannelkw *x = a.getChannel(i), *y = b.getChannel(i);
        SCOPED_TRACE(x->chnlName);
        EXPECT_EQ(x->chnlName, y->chnlName);
        EXPECT_EQ(x->snsKind, y->snsKind);
        EXPECT_EQ(x->isGood, y->isGood);
        ASSERT_EQ(x->numRefCoef, y->numRefCoef);
        for (int r = 0; r < x->numRefCoef; ++r) {
            EXPECT_EQ(x->pRefCoef[r].coef, y->pRefCoef[r].coef);
            EXPECT_EQ(x->pRefCoef[r].chnlIdx, y->pRefCoef[r].chnlIdx);
        }
        ASSERT_EQ(x->pMEGSns == nullptr, y->pMEGSns == nullptr);
        if (!x->pMEGSns) continue;
        EXPECT_EQ(x->pMEGSns->getSensorGain(), y->pMEGSns->getSensorGain());
        ASSERT_EQ(x->pMEGSns->getTotalCoils(), y->pMEGSns->getTotalCoils());
        for (int j = 0; j < x->pMEGSns->getTotalCoils(); ++j) {
            const CBscMagSnskw *c = x->pMEGSns->getCoil(j), *d = y->pMEGSns->getCoil(j);
            for (int k = 0; k < 3; ++k)
                EXPECT_TRUE(c->coilPos[k] == d->coilPos[k] && c->coilNormal[k] == d->coilNormal[k] &&
                            c->coilOrient[k] == d->coilOrient[k]) << "coil " << j << ", axis " << k;
            EXPECT_EQ(c->coilRadius, d->coilRadius);
            EXPECT_EQ(c->nTurns, d->nTurns);
            EXPECT_EQ(c->getMagApha(), d->getMagApha());
        }
    }
}

TEST(SensorArrayFile, DefaultSystemRoundTripsExactly) {
    CMDTrialkw trial = demo::makeDefaultTrial();
    auto back = megfwd::parseSensorArray(megfwd::sensorArrayText(trial), "default.json");
    expectSameSystem(trial, *back->trial());
    EXPECT_TRUE(back->notes.empty());
}

TEST(SensorArrayFile, MetresAreReadAsMillimetresAndOptionalFieldsDefault) {
    // The fixture holds the system built in the host layer, reference weights
    // naming channels of the file by name, the EEG channel without a sensor.
    auto a = megfwd::loadSensorArray(dataFile("small_array.json"));
    EXPECT_EQ(a->unit, "m");
    expectSameSystem(*makeSmallRecording().getTrial(0), *a->trial());

    // A file with turns but no weight takes the turns as the weight; unknown
    // keys are noted, not fatal.
    auto b = megfwd::parseSensorArray(
        R"({"format": "megfwd-sensor-array", "version": 1, "colour": "red", "channels": [
            {"name": "A", "kind": 100, "coils": [{"position": [0, 100, 0], "normal": [0, 2, 0], "radius": 5, "turns": -3}]},
            {"name": "B", "kind": 100, "gian": 2, "coils": [{"position": [0, 0, 100], "normal": [0, 0, 1], "radius": 5}]}]})",
        "t.json");
    EXPECT_EQ(b->trial()->getChannel(0)->pMEGSns->getCoil(0)->getMagApha(), -3.0);
    EXPECT_EQ(b->trial()->getChannel(1)->pMEGSns->getCoil(0)->nTurns, 1);
    EXPECT_EQ(b->notes.size(), 2u);
    const auto problems = megfwd::reviewSensorArray(*b);
    EXPECT_EQ(problems.size(), 3u);  // two notes and the missing reference weights
}

// The reader's JSON rules at their edges: a byte-order mark, a repeated key
// (the last counts), integers beyond 64 bits, nesting beyond the reader's
// depth, and an integer kind too large for its range.
TEST(SensorArrayFile, JsonEdgesReadOrRefusedWithOneLine) {
    auto file = [](const std::string& channelA, const std::string& tail = "") {
        return R"({"format": "megfwd-sensor-array", "version": 1)" + tail + R"(, "channels": [
            {"name": "A", )" + channelA + R"(, "coils": [{"position": [0, 100, 0], "normal": [0, 1, 0], "radius": 5}]},
            {"name": "B", "kind": 100, "coils": [{"position": [0, 0, 100], "normal": [0, 0, 1], "radius": 5}]}]})";
    };
    auto kindOfA = [](const std::string& text) { return megfwd::parseSensorArray(text, "e.json")->trial()->getChannel(0)->snsKind; };
    EXPECT_EQ(kindOfA("\xEF\xBB\xBF" + file(R"("kind": 101)")), 101);
    EXPECT_EQ(kindOfA(file(R"("kind": 7, "kind": 101)")), 101);
    auto repeated = megfwd::parseSensorArray(file(R"("kind": 100, "tint": 1, "tint": 2)"), "e.json");
    EXPECT_EQ(repeated->notes, std::vector<std::string>{"e.json: channel 'A' (#1): unknown key 'tint' ignored"});

    std::string deep = ", \"description\": ";
    for (int i = 0; i < 1100; ++i) deep += "[";
    for (int i = 0; i < 1100; ++i) deep += "]";
    const std::vector<std::pair<std::string, std::string>> refused = {
        {file(R"("kind": 100000000000000000000)"), "e.json: channel 'A' (#1): 'kind' must be an integer, not a number"},
        {"\xEF\xBB\xBF" + file(R"("kind": 100000000000000000000)"), "'kind' must be an integer, not a number"},
        {file(R"("kind": 18446744073709551615)"), "e.json: channel 'A' (#1): 'kind' is out of range"},
        {file(R"("kind": 100)", deep), "e.json: the JSON is nested deeper than 1024 levels"},
        {file(R"("kind": 100000000000000000000, "x": )" + deep.substr(17)), "e.json: the JSON is nested deeper than 1024 levels"},
        {file(R"("kind": 100,)"), "e.json:2:39: malformed JSON: syntax error"},
    };
    for (const auto& [text, message] : refused) {
        try {
            megfwd::parseSensorArray(text, "e.json");
            ADD_FAILURE() << "read: " << message;
        } catch (const megfwd::InputError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

// A trial's channels as the arrays a program would hold (positions in mm).
struct Columns {
    std::vector<std::string> names;
    std::vector<int> kinds, turns;
    std::vector<std::uint8_t> good;
    std::vector<double> gains, positions, normals, radii, weights, referenceWeights;
    std::vector<std::int64_t> coilCounts, referenceCounts, referenceChannels;

    explicit Columns(CMDTrialkw& trial) {
        for (int i = 0; i < trial.getTotalChannel(); ++i) {
            CMDChannelkw* ch = trial.getChannel(i);
            names.push_back(ch->chnlName);
            kinds.push_back(ch->snsKind);
            good.push_back(ch->isGood ? 1 : 0);
            const int numCoils = ch->pMEGSns && ch->isMEGChannel() ? ch->pMEGSns->getTotalCoils() : 0;
            gains.push_back(numCoils ? ch->pMEGSns->getSensorGain() : 1.0);
            coilCounts.push_back(numCoils);
            for (int j = 0; j < numCoils; ++j) {
                const CBscMagSnskw* c = ch->pMEGSns->getCoil(j);
                positions.insert(positions.end(), c->coilPos, c->coilPos + 3);
                normals.insert(normals.end(), c->coilOrient, c->coilOrient + 3);
                radii.push_back(c->coilRadius);
                turns.push_back(c->nTurns);
                weights.push_back(c->getMagApha());
            }
            referenceCounts.push_back(ch->numRefCoef);
            for (int r = 0; r < ch->numRefCoef; ++r) {
                referenceChannels.push_back(ch->pRefCoef[r].chnlIdx);
                referenceWeights.push_back(ch->pRefCoef[r].coef);
            }
        }
    }
    SensorArrayColumns view() const {
        return {names, kinds, good, gains, coilCounts, positions, normals, radii, turns, weights,
                referenceCounts, referenceChannels, referenceWeights, "mm"};
    }
};

TEST(SensorArrayFile, ArraysBuildWhatTheFileBuildsAndNameWhatIsWrong) {
    CMDTrialkw trial = demo::makeDefaultTrial();
    Columns columns(trial);
    auto built = sensorArrayFromColumns(columns.view(), "arrays");
    expectSameSystem(trial, *built->trial());

    auto refusal = [&](auto edit) {
        Columns c(trial);
        edit(c);
        try {
            sensorArrayFromColumns(c.view(), "arrays");
        } catch (const InputError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    // The first channel with two coils and the first with reference weights.
    std::size_t twoCoils = 0, coilsBefore = 0, withRefs = 0;
    while (columns.coilCounts[twoCoils] < 2) coilsBefore += static_cast<std::size_t>(columns.coilCounts[twoCoils++]);
    while (columns.referenceCounts[withRefs] == 0) ++withRefs;
    auto label = [&](std::size_t i) {
        return "arrays: channel '" + columns.names[i] + "' (#" + std::to_string(i + 1) + ")";
    };
    EXPECT_EQ(refusal([](Columns& c) { c.radii.pop_back(); }),
              "arrays: 'radius' has " + std::to_string(columns.radii.size() - 1) + " entries, expected " +
                  std::to_string(columns.radii.size()));
    EXPECT_EQ(refusal([&](Columns& c) { c.normals[3 * coilsBefore + 5] = NAN; }),
              label(twoCoils) + ", coil #2: 'normal' holds a number that is not finite");
    const std::string numChannels = std::to_string(columns.names.size());
    EXPECT_EQ(refusal([&](Columns& c) { c.referenceChannels[0] = static_cast<std::int64_t>(c.names.size()); }),
              label(withRefs) + ", reference #1: channel index " + numChannels + " is no channel (0.." +
                  std::to_string(columns.names.size() - 1) + ")");
    EXPECT_EQ(refusal([](Columns& c) { c.names[1] = c.names[0]; }),
              "arrays: channel '" + columns.names[0] + "' (#2): duplicate channel name (also channel #1)");
}

TEST(AtomicOutput, AppearsOnlyOnCommitAndNeverDamagesAnExistingFile) {
    ScratchDir dir;
    const std::string target = dir / "out.npy";
    writeFile(target, "precious");
    {
        megfwd::AtomicOutput out(target);
        out.write("half-written");
        EXPECT_EQ(dir.countFiles(), 2);  // the target and the temporary file
    }  // abandoned: the temporary file goes, the old file stays
    EXPECT_EQ(readFile(target), "precious");
    EXPECT_EQ(dir.countFiles(), 1);
    {
        megfwd::AtomicOutput out(target);
        out.write("new");
        out.commit();
    }
    EXPECT_EQ(readFile(target), "new");
    EXPECT_EQ(dir.countFiles(), 1);
    EXPECT_THROW(megfwd::AtomicOutput(dir / "no-such-dir/out.npy"), megfwd::InputError);
    EXPECT_THROW(megfwd::AtomicOutput(dir.path().string()), megfwd::InputError);
}

TEST(Progress, QuietRunsSilentPipesFewLinesTerminalsABar) {
    ScratchDir dir;
    double t = 0;
    auto clock = [&] { return t; };
    auto runTo = [&](int terminal, double secondsPerStep, bool quiet) {
        std::FILE* f = std::fopen((dir / "p.txt").c_str(), "w");
        t = 0;
        {
            io::Progress p(1000, "sources", quiet, f, terminal, clock);
            for (int i = 1; i <= 1000; ++i) {
                t += secondsPerStep;
                p.update(i);
            }
            p.finish();
        }
        std::fclose(f);
        return readFile(dir / "p.txt");
    };
    EXPECT_EQ(runTo(0, 0.0005, false), "");  // half a second in all: nothing
    const std::string lines = runTo(0, 0.01, false);
    const auto n = std::count(lines.begin(), lines.end(), '\n');
    EXPECT_GE(n, 2);
    EXPECT_LE(n, 4);
    EXPECT_NE(lines.find("1000/1000 sources"), std::string::npos);
    const std::string bar = runTo(1, 0.01, false);
    EXPECT_NE(bar.find("\r["), std::string::npos);
    EXPECT_NE(bar.find("left"), std::string::npos);
    EXPECT_NE(bar.find("/s"), std::string::npos);
    EXPECT_EQ(runTo(1, 0.01, true), "");
}

TEST(TopoMap, SvgIsWellFormedWithOneMarkPerSensor) {
    // Names with characters that XML must escape.
    CMDTrialkw trial = demo::makeDefaultTrial();
    io::TopoMap m;
    for (int i = 0; i < trial.getTotalChannel(); ++i) {
        CMDChannelkw* ch = trial.getChannel(i);
        if (!ch->isMEGMeasureChannel()) continue;
        const double* p = ch->pMEGSns->getCoil(0)->coilPos;
        m.positions.push_back({p[0], p[1], p[2]});
        m.values.push_back(p[2] - 0.5 * p[0]);
        m.names.push_back(ch->chnlName + " <&>");
    }
    m.title = "Leadfield \"x\" & <y>";
    m.unit = "T/(A·m)";
    if (!pythonHasNumpy()) GTEST_SKIP() << "/usr/bin/python3 not usable";
    ScratchDir dir;
    writeFile(dir / "m.svg", io::topoMapSvg(m));
    EXPECT_EQ(svgSensorMarks(dir / "m.svg", dir), std::to_string(m.positions.size()) + "\n");
}

// A mapped output past the file-size limit names the limit and what the
// array needs (the command checks before the scan; this is the write that
// fails all the same).
// Maps an array of 2.4 MB under a 64 kB file-size limit; exits with 3 and
// the error on stderr.
[[noreturn]] void mapPastTheFileSizeLimit(const std::string& path) {
    struct rlimit lim = {1 << 16, 1 << 16};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    std::signal(SIGXFSZ, SIG_IGN);
    AtomicOutput out(path);
    io::MappedNpy mapped(out);
    try {
        mapped.map({1000, 100, 3});
    } catch (const ComputeError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        std::exit(3);
    }
    std::exit(0);
}

TEST(MappedNpyDeathTest, FileSizeLimitNamedWhenTheOutputCannotGrow) {
    ScratchDir dir;
    EXPECT_EXIT(mapPastTheFileSizeLimit(dir / "big.npy"), ::testing::ExitedWithCode(3),
                "big.npy: cannot make room for the output: file too large: needs 2.4 MB, the file-size limit "
                "\\(ulimit -f\\) is 65.5 kB");
}

}  // namespace
