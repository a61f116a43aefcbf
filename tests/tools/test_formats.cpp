// File formats of the tools: .npy, the sensor-array file, SVG maps, atomic
// output and the progress display.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "ToolTestSupport.h"
#include "host_interfaces/DefaultSystem.h"
#include "tools/io/AtomicFile.h"
#include "tools/io/Errors.h"
#include "tools/io/Npy.h"
#include "tools/io/Progress.h"
#include "tools/io/SensorArrayFile.h"
#include "tools/io/SourceFile.h"
#include "tools/io/TopoMap.h"

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
    EXPECT_THROW(io::parseNpy("not an array", "a.npy"), io::InputError);
    std::string fortran = io::npyBytes({2, 2}, std::vector<double>(4, 1.0).data());
    fortran.replace(fortran.find("False"), 5, "True ");
    EXPECT_THROW(io::parseNpy(fortran, "f.npy"), io::InputError);
    std::string truncated = io::npyBytes({2, 2}, std::vector<double>(4, 1.0).data());
    truncated.resize(truncated.size() - 8);
    EXPECT_THROW(io::parseNpy(truncated, "t.npy"), io::InputError);
}

TEST(Npy, NumpyLoadsWhatWeWrite) {
    if (!pythonHasNumpy()) GTEST_SKIP() << "/usr/bin/python3 has no numpy";
    ScratchDir dir;
    std::vector<double> v(2 * 3 * 4);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = 0.5 * static_cast<double>(i) - 3.0;
    {
        io::AtomicOutput out(dir / "a.npy");
        out.write(io::npyBytes({2, 3, 4}, v.data()));
        out.commit();
    }
    const RunResult r = runPython(
        "import numpy\n"
        "a = numpy.load(" + quote(dir / "a.npy") + ")\n"
        "assert a.dtype == numpy.float64 and a.shape == (2, 3, 4) and a.flags['C_CONTIGUOUS']\n"
        "assert a[1, 2, 3] == 0.5 * 23 - 3.0 and a[0, 1, 0] == 0.5 * 4 - 3.0\n"
        "print('ok')\n",
        dir);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "ok\n");
}

// The file holds the same system as the trial, coil by coil.
void expectSameSystem(CMDTrialkw& a, CMDTrialkw& b) {
    ASSERT_EQ(a.getTotalChannel(), b.getTotalChannel());
    for (int i = 0; i < a.getTotalChannel(); ++i) {
        CMDChannelkw* x = a.getChannel(i);
        CMDChannelkw* y = b.getChannel(i);
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
            const CBscMagSnskw* c = x->pMEGSns->getCoil(j);
            const CBscMagSnskw* d = y->pMEGSns->getCoil(j);
            for (int k = 0; k < 3; ++k) {
                EXPECT_EQ(c->coilPos[k], d->coilPos[k]);
                EXPECT_EQ(c->coilNormal[k], d->coilNormal[k]);
                EXPECT_EQ(c->coilOrient[k], d->coilOrient[k]);
            }
            EXPECT_EQ(c->coilRadius, d->coilRadius);
            EXPECT_EQ(c->nTurns, d->nTurns);
            EXPECT_EQ(c->getMagApha(), d->getMagApha());
        }
    }
}

TEST(SensorArrayFile, DefaultSystemRoundTripsExactly) {
    CMDTrialkw trial = demo::makeDefaultTrial();
    auto back = io::parseSensorArray(io::sensorArrayText(trial), "default.json");
    expectSameSystem(trial, *back->trial());
    EXPECT_TRUE(back->notes.empty());
}

TEST(SensorArrayFile, MetresAreReadAsMillimetresAndOptionalFieldsDefault) {
    auto a = io::loadSensorArray(dataFile("small_array.json"));
    CMDTrialkw* t = a->trial();
    ASSERT_EQ(t->getTotalChannel(), 10);
    EXPECT_EQ(a->unit, "m");
    // MEG1 sits straight above the origin at 0.11 m with an 8 mm coil.
    CMDChannelkw* meg1 = t->getChannel(3);
    ASSERT_EQ(meg1->chnlName, "MEG1");
    EXPECT_NEAR(meg1->pMEGSns->getCoil(0)->coilPos[1], 110.0, 1e-9);
    EXPECT_NEAR(meg1->pMEGSns->getCoil(1)->coilPos[1], 150.0, 1e-9);
    EXPECT_NEAR(meg1->pMEGSns->getCoil(0)->coilRadius, 8.0, 1e-12);
    EXPECT_EQ(meg1->pMEGSns->getCoil(1)->nTurns, -1);
    // References name channels of the file by name; indices follow file order.
    ASSERT_EQ(meg1->numRefCoef, 2);
    EXPECT_EQ(meg1->pRefCoef[0].chnlIdx, 0);
    EXPECT_EQ(meg1->pRefCoef[1].chnlIdx, 1);
    EXPECT_EQ(meg1->pRefCoef[1].coef, -0.02);
    EXPECT_EQ(t->getChannel(6)->pMEGSns->getSensorGain(), -2.0);
    EXPECT_EQ(t->getChannel(8)->isGood, 0);
    EXPECT_EQ(t->getChannel(3)->isGood, 1);
    EXPECT_EQ(t->getChannel(2)->pMEGSns, nullptr);  // EEG1 is no MEG sensor

    // A file with turns but no weight takes the turns as the weight; unknown
    // keys are noted, not fatal.
    auto b = io::parseSensorArray(
        R"({"format": "megfwd-sensor-array", "version": 1, "colour": "red", "channels": [
            {"name": "A", "kind": 100, "coils": [{"position": [0, 100, 0], "normal": [0, 2, 0], "radius": 5, "turns": -3}]},
            {"name": "B", "kind": 100, "gian": 2, "coils": [{"position": [0, 0, 100], "normal": [0, 0, 1], "radius": 5}]}]})",
        "t.json");
    EXPECT_EQ(b->trial()->getChannel(0)->pMEGSns->getCoil(0)->getMagApha(), -3.0);
    EXPECT_EQ(b->trial()->getChannel(1)->pMEGSns->getCoil(0)->nTurns, 1);
    EXPECT_EQ(b->notes.size(), 2u);
    const auto problems = io::reviewSensorArray(*b);
    EXPECT_EQ(problems.size(), 3u);  // two notes and the missing reference weights
}

TEST(SensorArrayFile, ReviewFindsProblemsOfTheFixture) {
    auto a = io::loadSensorArray(dataFile("small_array.json"));
    const auto p = io::reviewSensorArray(*a);
    auto has = [&](const std::string& s) {
        for (const auto& x : p)
            if (x.find(s) != std::string::npos) return true;
        return false;
    };
    EXPECT_TRUE(has("channel 'MEG4' (#7): gain -2 is not positive"));
    EXPECT_TRUE(has("channel 'MEG6' (#9): marked bad"));
    EXPECT_EQ(p.size(), 2u);
}

TEST(SourceFile, GridAndRowsAreChecked) {
    const io::GridSpec g = io::parseGridSpec("-10,0,-10,10,20,10,5");
    EXPECT_EQ(io::gridPointCount(g), 125.0);
    EXPECT_THROW(io::parseGridSpec("0,0,0,1,1,1"), io::InputError);
    EXPECT_THROW(io::parseGridSpec("0,0,0,1,1,1,0"), io::InputError);
    EXPECT_THROW(io::parseGridSpec("0,0,0,1,-1,1,0.5"), io::InputError);
    EXPECT_THROW(io::parseGridSpec("0,0,0,1,1,1,nan"), io::InputError);

    const std::vector<double> rows = io::readRows(dataFile("grid_sources.csv"), 3);
    ASSERT_EQ(rows.size(), 15u);
    EXPECT_EQ(rows[6], -20.0);
    EXPECT_EQ(rows[8], 10.0);
    ScratchDir dir;
    writeFile(dir / "bad.csv", "1,2,3\n4,5\n");
    try {
        io::readRows(dir / "bad.csv", 3);
        FAIL();
    } catch (const io::InputError& e) {
        EXPECT_NE(std::string(e.what()).find("bad.csv:2: expected 3 numbers, found 2"), std::string::npos) << e.what();
    }
}

TEST(AtomicOutput, AppearsOnlyOnCommitAndNeverDamagesAnExistingFile) {
    ScratchDir dir;
    const std::string target = dir / "out.npy";
    writeFile(target, "precious");
    {
        io::AtomicOutput out(target);
        out.write("half-written");
        EXPECT_EQ(dir.countFiles(), 2);  // the target and the temporary file
    }  // abandoned: the temporary file goes, the old file stays
    EXPECT_EQ(readFile(target), "precious");
    EXPECT_EQ(dir.countFiles(), 1);
    {
        io::AtomicOutput out(target);
        out.write("new");
        out.commit();
    }
    EXPECT_EQ(readFile(target), "new");
    EXPECT_EQ(dir.countFiles(), 1);
    EXPECT_THROW(io::AtomicOutput(dir / "no-such-dir/out.npy"), io::InputError);
    EXPECT_THROW(io::AtomicOutput(dir.path().string()), io::InputError);
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
    int n = 0;
    for (char c : lines) n += c == '\n';
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
    const std::string svg = io::topoMapSvg(m);
    if (!pythonHasNumpy()) GTEST_SKIP() << "/usr/bin/python3 not usable";
    ScratchDir dir;
    writeFile(dir / "m.svg", svg);
    const RunResult r = runPython(
        "import xml.etree.ElementTree as ET\n"
        "root = ET.parse(" + quote(dir / "m.svg") + ").getroot()\n"
        "ns = '{http://www.w3.org/2000/svg}'\n"
        "print(sum(1 for c in root.iter(ns + 'circle') if c.get('class') == 'sensor'))\n",
        dir);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, std::to_string(m.positions.size()) + "\n");
}

}  // namespace
