// The gateway's commands without Octave or MATLAB: FieldTrip's cell layout
// against the gain matrix, Ctrl-C during a computation, and the identifiers
// of the single shell's refusals.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "Gateway.h"
#include "PointGain.h"

namespace tb = megfwd::toolbox;

namespace {

// Results kept in vectors, as a front end would keep them in its arrays.
class Stored : public tb::Results {
public:
    explicit Stored(int wanted = 1) : Results(wanted) {}
    std::vector<std::vector<double>> matrices;
    std::vector<std::vector<std::vector<double>>> cellSets;
    double* matrix(int, std::int64_t rows, std::int64_t cols) override {
        matrices.emplace_back(static_cast<std::size_t>(rows * cols), NAN);
        return matrices.back().data();
    }
    std::vector<double*> cells(int, std::int64_t count, std::int64_t rows, std::int64_t cols,
                               const std::vector<char>& filled) override {
        cellSets.emplace_back(static_cast<std::size_t>(count));
        std::vector<double*> out;
        for (std::int64_t i = 0; i < count; ++i) {
            auto& m = cellSets.back()[static_cast<std::size_t>(i)];
            if (filled[static_cast<std::size_t>(i)]) m.assign(static_cast<std::size_t>(rows * cols), NAN);
            out.push_back(filled[static_cast<std::size_t>(i)] ? m.data() : nullptr);
        }
        return out;
    }
    void text(int, const std::string&) override {}
};

tb::Arg doubles(const std::vector<double>& v, std::int64_t rows, std::int64_t cols) {
    tb::Arg a;
    a.kind = tb::Arg::Kind::Doubles;
    a.rows = rows, a.cols = cols, a.data = v.data();
    return a;
}

tb::Arg text(const std::string& s) {
    tb::Arg a;
    a.kind = tb::Arg::Kind::Text;
    a.text = s;
    return a;
}

// Two radial magnetometers 110 mm from the origin, one sphere, and sources
// (column-major arrays, mm).
struct Call {
    std::vector<double> points{0, 110, 0, 0, 110, 0}, normals{0, 1, 0, 0, 1, 0}, sphere{0, 0, 0, 90};
    std::vector<double> rows{1, 2}, cols{1, 2}, weights{1, 1}, numChannels{2}, outputs{1, 2}, threads{2};
    std::vector<double> sources;
    std::int64_t n = 2;
    // n radial coil points 110 mm out, in two channels.
    explicit Call(std::int64_t n = 2) : n(n) {
        if (n == 2) return;
        points.assign(static_cast<std::size_t>(3 * n), 0.0), normals = points;
        rows.clear(), cols.clear();
        for (std::int64_t i = 0; i < n; ++i) {
            const double z = 0.1 + 0.85 * static_cast<double>(i) / static_cast<double>(n), a = 2.4 * static_cast<double>(i);
            const double d[3] = {std::sqrt(1 - z * z) * std::cos(a), std::sqrt(1 - z * z) * std::sin(a), z};
            for (int k = 0; k < 3; ++k) points[static_cast<std::size_t>(i + n * k)] = 110.0 * d[k], normals[static_cast<std::size_t>(i + n * k)] = d[k];
            rows.push_back(i < n / 2 ? 1.0 : 2.0), cols.push_back(static_cast<double>(i + 1));
        }
        weights.assign(static_cast<std::size_t>(n), 1.0);
    }
    std::vector<tb::Arg> args(const std::string& command, std::int64_t numSources) const {
        return {text(command), doubles(points, n, 3), doubles(normals, n, 3), doubles(sphere, 1, 4),
                doubles(rows, n, 1), doubles(cols, n, 1), doubles(weights, n, 1), doubles(numChannels, 1, 1),
                doubles(outputs, 2, 1), doubles(sources, numSources, 3), doubles(threads, 1, 1)};
    }
};

std::vector<double> randomSources(std::int64_t n) {
    std::vector<double> s(static_cast<std::size_t>(3 * n));
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = 60.0 * std::sin(1.7 * static_cast<double>(i) + 0.3);
    return s;
}

// An icosahedron of radius 80 mm about the origin (20 triangles, 1-based,
// column-major), wound outward.
struct Icosahedron {
    std::vector<double> vertices, triangles;
    Icosahedron() {
        const double t = (1.0 + std::sqrt(5.0)) / 2.0, s = 80.0 / std::sqrt(1.0 + t * t);
        const double v[12][3] = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0}, {0, -1, t}, {0, 1, t},
                                 {0, -1, -t}, {0, 1, -t}, {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
        const int f[20][3] = {{0, 11, 5}, {0, 5, 1}, {0, 1, 7}, {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
                              {11, 10, 2}, {10, 7, 6}, {7, 1, 8}, {3, 9, 4}, {3, 4, 2}, {3, 2, 6}, {3, 6, 8},
                              {3, 8, 9}, {4, 9, 5}, {2, 4, 11}, {6, 2, 10}, {8, 6, 7}, {9, 8, 1}};
        for (int k = 0; k < 3; ++k)
            for (const auto& p : v) vertices.push_back(s * p[k]);
        for (int k = 0; k < 3; ++k)
            for (const auto& tri : f) triangles.push_back(tri[k] + 1.0);
    }
};

std::string refusal(const std::vector<tb::Arg>& args) {
    Stored out;
    std::vector<tb::GatewayWarning> warnings;
    try {
        tb::runCommand(args, out, {}, warnings);
    } catch (const tb::GatewayError& e) {
        return e.id;
    }
    return "not refused";
}

TEST(Gateway, FieldTripCellsHoldTheGainsColumns) {
    Call c;
    c.sources = randomSources(3);
    Stored gain, cells;
    std::vector<tb::GatewayWarning> warnings;
    tb::runCommand(c.args("gain", 3), gain, {}, warnings);
    std::vector<tb::Arg> a = c.args("leadfield", 3);
    const std::vector<double> inside{4, 1, 2}, positions{5};
    a.push_back(text("inside")), a.push_back(doubles(inside, 3, 1));
    a.push_back(text("positions")), a.push_back(doubles(positions, 1, 1));
    tb::runCommand(a, cells, {}, warnings);
    const auto& set = cells.cellSets.at(0);
    ASSERT_EQ(set.size(), 5u);
    EXPECT_TRUE(set[2].empty() && set[4].empty());
    const std::vector<double>& g = gain.matrices.at(0);
    for (int s = 0; s < 3; ++s)
        EXPECT_EQ(set[static_cast<std::size_t>(inside[static_cast<std::size_t>(s)]) - 1],
                  std::vector<double>(g.begin() + 6 * s, g.begin() + 6 * s + 6));
}

// Sanitizers slow the preparation before the scan, which does not stop,
// many times over: there only the stop itself is checked.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double kStopSeconds = 1e9;
#else
constexpr double kStopSeconds = 1.0;
#endif

TEST(Gateway, CtrlCStopsALongComputationSoon) {
    Call c(4000);
    const std::int64_t n = 200000;  // about five seconds on two threads
    c.sources = randomSources(n);
    Stored out;
    std::vector<tb::GatewayWarning> warnings;
    int polls = 0;
    std::chrono::steady_clock::time_point pressed;
    auto ctrlC = [&] {
        if (++polls == 3) pressed = std::chrono::steady_clock::now();
        return polls >= 3;
    };
    EXPECT_THROW(tb::runCommand(c.args("gain", n), out, ctrlC, warnings), tb::Interrupted);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - pressed).count(), kStopSeconds);
}

TEST(Gateway, SingleShellRefusalsHaveTheirIdentifiers) {
    Call c;
    c.sources = randomSources(2);
    for (double& x : c.sources) x *= 0.5;
    Icosahedron ico;
    auto shell = [&](const std::vector<double>& vertices, const std::vector<double>& triangles, std::int64_t numTri,
                     const std::vector<double>& order) {
        std::vector<tb::Arg> a = c.args("gain", 2);
        a.push_back(text("surface")), a.push_back(doubles(vertices, 12, 3));
        a.push_back(text("triangles")), a.push_back(doubles(triangles, numTri, 3));
        a.push_back(text("order")), a.push_back(doubles(order, 1, 1));
        return a;
    };
    const std::vector<double> two{2}, three{3}, big{25};
    Stored out;
    std::vector<tb::GatewayWarning> warnings;
    EXPECT_NO_THROW(tb::runCommand(shell(ico.vertices, ico.triangles, 20, two), out, {}, warnings));
    EXPECT_EQ(refusal(shell(ico.vertices, ico.triangles, 20, three)), "megfwd:order");  // needs 32 triangles
    EXPECT_EQ(refusal(shell(ico.vertices, ico.triangles, 20, big)), "megfwd:order");
    std::vector<double> open;  // the first 19 triangles: one hole
    for (int k = 0; k < 3; ++k)
        for (int t = 0; t < 19; ++t) open.push_back(ico.triangles[static_cast<std::size_t>(20 * k + t)]);
    const std::vector<double> zero{0};
    EXPECT_EQ(refusal(shell(ico.vertices, open, 19, zero)), "megfwd:surface");
    c.points = {0, 50, 0, 0, 110, 0};  // the first magnetometer inside the surface
    EXPECT_EQ(refusal(shell(ico.vertices, ico.triangles, 20, two)), "megfwd:sensorInside");
    EXPECT_EQ(refusal({text("no such command")}), "megfwd:mexUsage");
}

}  // namespace
