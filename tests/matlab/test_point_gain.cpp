// The toolbox gateway's C++ part without Octave, so that the sanitizer
// builds run it: the grouping of points into the library's sensors against
// the plain sum tra x (field of each point), threads and batches, and the
// sensor-array tables.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "PointGain.h"
#include "SensorTables.h"
#include "base/Errors.h"

namespace tb = megfwd::toolbox;

namespace {

// A small system in column-major arrays (mm), with tra given as a dense
// channels x points matrix (row-major here) whose non-zeros are passed on.
struct System {
    int numPoints = 0, numChannels = 0;
    std::vector<double> points, normals, spheres, tra, sources;
    std::vector<double> rows, cols, weights, outputs;

    void setWeights() {
        rows.clear(), cols.clear(), weights.clear(), outputs.clear();
        for (int c = 0; c < numChannels; ++c) {
            outputs.push_back(c + 1);
            for (int p = 0; p < numPoints; ++p)
                if (tra[c * numPoints + p] != 0.0) rows.push_back(c + 1), cols.push_back(p + 1), weights.push_back(tra[c * numPoints + p]);
        }
    }
    tb::PointGainInput input(int threads = 1) const {
        tb::PointGainInput in;
        in.numPoints = numPoints, in.points = points.data(), in.normals = normals.data();
        in.numSpheres = static_cast<std::int64_t>(spheres.size() / 4), in.spheres = spheres.data();
        in.numWeights = static_cast<std::int64_t>(weights.size());
        in.weightRows = rows.data(), in.weightCols = cols.data(), in.weights = weights.data();
        in.numChannels = numChannels, in.numOutputs = numChannels, in.outputRows = outputs.data();
        in.numSources = static_cast<std::int64_t>(sources.size() / 3), in.sources = sources.data();
        in.threads = threads;
        return in;
    }
};

// Each source's block of the gain matrix.
std::vector<double*> blocks(std::vector<double>& g, const tb::PointGainInput& in) {
    std::vector<double*> out;
    for (std::int64_t s = 0; s < in.numSources; ++s) out.push_back(g.data() + 3 * in.numOutputs * s);
    return out;
}

std::vector<double> gain(const tb::PointGainInput& in) {
    std::vector<double> g(static_cast<std::size_t>(in.numOutputs * 3 * in.numSources));
    std::vector<std::string> warnings;
    tb::pointGain(in, blocks(g, in).data(), warnings);
    return g;
}

// Two-coil gradiometers around a sphere centred at (0, 0, 40) mm, sources
// inside it; `perPointSpheres` gives the two coils of a channel different
// spheres.
System gradiometers(int numChannels, bool perPointSpheres) {
    System s;
    s.numChannels = numChannels;
    s.numPoints = 2 * numChannels;
    s.points.resize(3 * s.numPoints), s.normals.resize(3 * s.numPoints);
    for (int c = 0; c < numChannels; ++c) {
        const double a = 0.7 * c, z = 0.3 + 0.6 * c / numChannels;
        const double d[3] = {std::sqrt(1 - z * z) * std::cos(a), std::sqrt(1 - z * z) * std::sin(a), z};
        for (int k = 0; k < 2; ++k)
            for (int i = 0; i < 3; ++i) {
                const int p = 2 * c + k;
                s.points[p + s.numPoints * i] = (i == 2 ? 40.0 : 0.0) + (110.0 + 50.0 * k) * d[i];
                s.normals[p + s.numPoints * i] = k ? -d[i] : d[i];  // the upper coil reversed
            }
    }
    if (perPointSpheres) {
        s.spheres.resize(4 * s.numPoints);
        for (int p = 0; p < s.numPoints; ++p) {
            s.spheres[p] = 0.5 * (p % 3), s.spheres[p + s.numPoints] = -1.0 * (p % 2);
            s.spheres[p + 2 * s.numPoints] = 40.0 + p % 5, s.spheres[p + 3 * s.numPoints] = 85.0;
        }
    } else {
        s.spheres = {0.0, 0.0, 40.0, 90.0};
    }
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-35.0, 35.0);
    const int numSources = 23;
    s.sources.resize(3 * numSources);
    for (int i = 0; i < numSources; ++i)
        for (int k = 0; k < 3; ++k) s.sources[i + numSources * k] = u(rng) + (k == 2 ? 40.0 : 0.0);
    s.tra.assign(static_cast<std::size_t>(s.numChannels * s.numPoints), 0.0);
    for (int c = 0; c < numChannels; ++c) s.tra[c * s.numPoints + 2 * c] = s.tra[c * s.numPoints + 2 * c + 1] = 1.0;
    return s;
}

// The reference: every point alone (tra the identity), then tra applied here.
std::vector<double> pointByPoint(const System& s) {
    System one = s;
    one.numChannels = s.numPoints;
    one.tra.assign(static_cast<std::size_t>(s.numPoints * s.numPoints), 0.0);
    for (int p = 0; p < s.numPoints; ++p) one.tra[p * s.numPoints + p] = 1.0;
    one.setWeights();
    const std::vector<double> field = gain(one.input());
    const std::int64_t n = static_cast<std::int64_t>(s.sources.size() / 3);
    std::vector<double> g(static_cast<std::size_t>(s.numChannels * 3 * n), 0.0);
    for (std::int64_t col = 0; col < 3 * n; ++col)
        for (int c = 0; c < s.numChannels; ++c)
            for (int p = 0; p < s.numPoints; ++p)
                g[c + s.numChannels * col] += s.tra[c * s.numPoints + p] * field[p + s.numPoints * col];
    return g;
}

double relative(const std::vector<double>& a, const std::vector<double>& b) {
    double diff = 0.0, scale = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) diff = std::max(diff, std::fabs(a[i] - b[i])), scale = std::max(scale, std::fabs(b[i]));
    return diff / scale;
}

TEST(PointGain, GroupedSensorsGiveTheSumOverPoints) {
    struct Case {
        const char* name;
        bool perPointSpheres;
        bool share;  // channels weigh other channels' coils
        bool proportional;
    };
    for (const Case& k : {Case{"gradiometers", false, false, true}, Case{"balancing", false, true, true},
                          Case{"shared out of proportion", false, true, false},
                          Case{"a sphere per point", true, true, true}}) {
        SCOPED_TRACE(k.name);
        System s = gradiometers(9, k.perPointSpheres);
        if (k.share)
            for (int c = 0; c < s.numChannels; ++c) {
                const int other = (c + 4) % s.numChannels;
                s.tra[c * s.numPoints + 2 * other] = -0.03 * (c + 1);
                s.tra[c * s.numPoints + 2 * other + 1] = k.proportional ? -0.03 * (c + 1) : 0.02;
            }
        s.setWeights();
        const std::vector<double> g = gain(s.input());
        EXPECT_LE(relative(g, pointByPoint(s)), 1e-13);
    }
}

TEST(PointGain, ThreadsGiveTheSameBits) {
    System s = gradiometers(12, false);
    for (int c = 0; c < s.numChannels; ++c) s.tra[c * s.numPoints + (2 * c + 5) % s.numPoints] = 0.125;
    s.setWeights();
    const std::vector<double> one = gain(s.input(1));
    EXPECT_EQ(one, gain(s.input(4)));
}

TEST(PointGain, StopsWhenCancelled) {
    System s = gradiometers(4, false);
    s.setWeights();
    tb::PointGainInput in = s.input(2);
    std::atomic<bool> cancel{true};
    in.cancel = &cancel;
    std::vector<double> g(static_cast<std::size_t>(s.numChannels * 3 * in.numSources));
    std::vector<std::string> warnings;
    EXPECT_THROW(tb::pointGain(in, blocks(g, in).data(), warnings), tb::Interrupted);
}

TEST(PointGain, RefusesBadInputByName) {
    System s = gradiometers(3, false);
    s.setWeights();
    auto refused = [&](System t, const char* words) {
        SCOPED_TRACE(words);
        std::vector<double> g(static_cast<std::size_t>(t.numChannels * 3 * (t.sources.size() / 3)));
        std::vector<std::string> warnings;
        try {
            const tb::PointGainInput in = t.input();
            tb::pointGain(in, blocks(g, in).data(), warnings);
            ADD_FAILURE() << "not refused";
        } catch (const megfwd::InputError& e) {
            EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
        }
    };
    System t = s;
    t.cols[1] = 99;
    refused(t, "weight 2: point index 99");
    t = s;
    t.cols[1] = t.cols[0], t.rows[1] = t.rows[0];
    refused(t, "has two weights");
    t = s;
    for (int i = 0; i < 3; ++i) t.normals[1 + t.numPoints * i] = 0.0;
    refused(t, "normals row 2");
    t = s;
    t.spheres[3] = -1.0;
    refused(t, "spheres row 1: radius");
}

TEST(SensorTables, WrittenAndReadBack) {
    tb::SensorTables t;
    t.names = {"MEG1", "MEG2", "REF1", "EEG1"};
    t.channels = {101, 100, 10, 200, 1, 1, 1, 1, 1, 0.5, 1, 1};  // kinds, good, gain (column-major)
    // Two coils of MEG1, one of MEG2 and of REF1: channel, x, y, z, nx, ny,
    // nz, radius, turns, weight.
    t.coils = {1, 1, 2, 3,  0, 0, 0, 0,  0.25, 0.25, -0.5, 0.5,  100, 150, 120, 250,  0, 0, 0.6, 0,
               1, 1, 0.8, 1,  0, 0, 0, 0,  0, 0, 9, 0,  1, -1, 1, 1,  1, -1, 1, 0.5};
    t.references = {1, 3, -0.0123};
    const std::string path = ::testing::TempDir() + "toolbox-sensors.json";
    tb::writeSensorTables(t, path);
    const tb::SensorTables back = tb::readSensorTables(path);
    std::remove(path.c_str());
    EXPECT_EQ(back.names, t.names);
    EXPECT_EQ(back.channels, t.channels);
    EXPECT_EQ(back.coils, t.coils);
    EXPECT_EQ(back.references, t.references);
    t.references = {1, 4, 0.5};  // a reference to a channel that is no reference sensor
    EXPECT_THROW(tb::writeSensorTables(t, path), megfwd::InputError);
}

}  // namespace
