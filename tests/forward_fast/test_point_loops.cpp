// The refined arithmetic of the point loops against the exact one, pair by
// pair, over random geometry: points on a helmet, sources anywhere inside
// it, near the sphere's centre and close to the points, and the degenerate
// pairs where a formula has no value.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "forward_fast/FastPointKernels.h"

namespace {

namespace fast = megfwd::fast;

// Points with their constants, as CFastLeadfield lays them out.
struct Points {
    std::vector<double> px, py, pz, nx, ny, nz, ox, oy, oz, rn, rinv, pn, wk;
    void add(const double* p, const double* n, const double* o, double w) {
        px.push_back(p[0]), py.push_back(p[1]), pz.push_back(p[2]);
        nx.push_back(n[0]), ny.push_back(n[1]), nz.push_back(n[2]);
        ox.push_back(o[0]), oy.push_back(o[1]), oz.push_back(o[2]);
        const fast::PointConstants c = fast::pointConstants(p, n);
        rn.push_back(c.rn), rinv.push_back(c.rinv), pn.push_back(c.pn), wk.push_back(w);
    }
    fast::PointArrays arrays() const {
        return {px.data(), py.data(), pz.data(), nx.data(), ny.data(), nz.data(), ox.data(),
                oy.data(), oz.data(), rn.data(), rinv.data(), pn.data(), wk.data()};
    }
    std::int64_t size() const { return static_cast<std::int64_t>(px.size()); }
};

struct Values {
    std::vector<double> x, y, z;
    std::int64_t none = 0;
};

Values runLoop(fast::PointFamily family, fast::PointArithmetic arithmetic, const Points& pts, const double* src) {
    fast::setPointArithmetic(arithmetic);
    Values v;
    v.x.assign(static_cast<std::size_t>(pts.size()), -1.0);
    v.y = v.z = v.x;
    v.none = fast::runPointKernel(family, pts.arrays(), 0, pts.size(), src, v.x.data(), v.y.data(), v.z.data());
    return v;
}

// The helmet: 203 points (a count that leaves a partial group of lanes) at
// 90 to 130 mm from the origin, random normals and weights, origins (sphere
// centres) at the origin for every other point, within 5 mm of it else.
Points helmet(std::mt19937_64& rng) {
    std::normal_distribution<double> g;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Points pts;
    for (int i = 0; i < 203; ++i) {
        double p[3] = {g(rng), std::fabs(g(rng)), g(rng)}, n[3] = {g(rng), g(rng), g(rng)};
        const double lp = std::hypot(p[0], p[1], p[2]), ln = std::hypot(n[0], n[1], n[2]);
        const double r = 90.0 + 40.0 * u(rng);
        for (int k = 0; k < 3; ++k) p[k] *= r / lp, n[k] /= ln;
        double o[3] = {10 * u(rng) - 5, 10 * u(rng) - 5, 10 * u(rng) - 5};
        if (i % 2 == 0) o[0] = o[1] = o[2] = 0.0;  // one sphere for half the points
        pts.add(p, n, o, 2.0 * u(rng) - 1.0);
    }
    return pts;
}

// Each build with the refined arithmetic the processor runs.
class RefinedLoops : public testing::TestWithParam<fast::KernelBuild> {
protected:
    void SetUp() override {
        if (!fast::setKernelBuild(GetParam()))
            GTEST_SKIP() << "this processor cannot run the " << fast::kernelBuildName(GetParam()) << " build";
    }
    void TearDown() override {
        fast::setKernelBuild(build);
        fast::setPointArithmetic(arithmetic);
    }
    const fast::KernelBuild build = fast::kernelBuild();
    const fast::PointArithmetic arithmetic = fast::pointArithmetic();
};

// For each source the refined values differ from the exact ones by at most
// 1e-14 of the largest value (both are rounded at every step, so neither is
// the true value; 1e-14 is about 45 units in the last place), for sources
// anywhere inside and near the sphere's centre. Where a formula subtracts
// nearly equal terms, any other grouping or fusing of its products moves the
// result more (the exact loop's own x86-64 and vector builds differ by up to
// 1.5e-13 for Cuffin within a micrometre of the centre, 1e-13 at 1 to 10 mm
// of a point and 1e-9 closer): there 1e-12, and 1e-8 below 1 mm, are asked.
TEST_P(RefinedLoops, AgreeWithTheExactLoopsOverRandomGeometry) {
    std::mt19937_64 rng(21);
    const Points pts = helmet(rng);
    std::normal_distribution<double> g;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    struct Source {
        std::array<double, 3> pos;
        double tolerance, cuffinTolerance;
    };
    std::vector<Source> sources;
    for (int k = 0; k < 40; ++k) {
        const double d[3] = {g(rng), g(rng), g(rng)};
        const double l = std::hypot(d[0], d[1], d[2]);
        // Anywhere inside, near the centre of the shared sphere (down to
        // 1e-9 mm), 1 to 10 mm from a point, and closer (down to 1e-6 mm).
        const double r = k < 20 ? 85.0 * u(rng) : std::pow(10.0, -9.0 + 8.0 * u(rng));
        std::array<double, 3> s{d[0] / l * r, d[1] / l * r, d[2] / l * r};
        if (k >= 30) {
            const std::size_t i = static_cast<std::size_t>(k * 5);
            const double off = k < 35 ? std::pow(10.0, u(rng)) : std::pow(10.0, -6.0 + 6.0 * u(rng));
            s = {pts.px[i] + pts.ox[i] - off * d[0] / l, pts.py[i] + pts.oy[i] - off * d[1] / l,
                 pts.pz[i] + pts.oz[i] - off * d[2] / l};
        }
        const double tolerance = k < 30 ? 1e-14 : k < 35 ? 1e-12 : 1e-8;
        sources.push_back({s, tolerance, k < 20 ? 1e-14 : std::max(tolerance, 1e-12)});
    }
    auto largest = [](const Values& a, std::size_t i) {
        return std::max({std::fabs(a.x[i]), std::fabs(a.y[i]), std::fabs(a.z[i])});
    };
    auto difference = [](const Values& a, const Values& b, std::size_t i) {
        return std::max({std::fabs(a.x[i] - b.x[i]), std::fabs(a.y[i] - b.y[i]), std::fabs(a.z[i] - b.z[i])});
    };
    for (const fast::PointFamily family : {fast::PointFamily::Sarvas, fast::PointFamily::Cuffin,
                                           fast::PointFamily::BiotSavart, fast::PointFamily::MagneticDipole}) {
        SCOPED_TRACE("family " + std::to_string(static_cast<int>(family)));
        double worst = 0.0;
        for (const Source& s : sources) {
            const Values exact = runLoop(family, fast::PointArithmetic::Exact, pts, s.pos.data());
            const Values refined = runLoop(family, fast::PointArithmetic::Refined, pts, s.pos.data());
            EXPECT_EQ(refined.none, exact.none);
            double diff = 0.0, scale = 0.0;
            for (std::size_t i = 0; i < exact.x.size(); ++i) {
                ASSERT_TRUE(std::isfinite(refined.x[i] + refined.y[i] + refined.z[i])) << "point " << i;
                diff = std::max(diff, difference(refined, exact, i));
                scale = std::max(scale, largest(exact, i));
            }
            ASSERT_GT(scale, 0.0);
            const double here = diff / scale;
            const double tolerance = family == fast::PointFamily::Cuffin ? s.cuffinTolerance : s.tolerance;
            EXPECT_LE(here, tolerance) << "source " << s.pos[0] << ", " << s.pos[1] << ", " << s.pos[2];
            worst = std::max(worst, here);
        }
        EXPECT_GT(worst, 0.0);  // the refined loop ran: its roundings differ somewhere
    }
}

// Where a formula has no value (a source on a point, or on the line through
// the origin for Sarvas) both arithmetics give 0 and count the pair.
TEST_P(RefinedLoops, DegeneratePairsGiveZeroAsTheExactLoops) {
    std::mt19937_64 rng(7);
    const Points pts = helmet(rng);
    const std::size_t i = 17;
    const double onPoint[3] = {pts.px[i] + pts.ox[i], pts.py[i] + pts.oy[i], pts.pz[i] + pts.oz[i]};
    // Beyond the point on its line through the origin: F = 0.
    const double onAxis[3] = {2.0 * pts.px[i] + pts.ox[i], 2.0 * pts.py[i] + pts.oy[i], 2.0 * pts.pz[i] + pts.oz[i]};
    for (const double* s : {onPoint, onAxis})
        for (const fast::PointFamily family : {fast::PointFamily::Sarvas, fast::PointFamily::BiotSavart}) {
            if (s == onAxis && family == fast::PointFamily::BiotSavart) continue;  // it has a value there
            const Values exact = runLoop(family, fast::PointArithmetic::Exact, pts, s);
            const Values refined = runLoop(family, fast::PointArithmetic::Refined, pts, s);
            EXPECT_GE(exact.none, 1);
            EXPECT_EQ(refined.none, exact.none);
            EXPECT_EQ(refined.x[i], 0.0);
            EXPECT_EQ(exact.x[i], 0.0);
        }
}

INSTANTIATE_TEST_SUITE_P(PointLoops, RefinedLoops, testing::Values(fast::KernelBuild::Avx2, fast::KernelBuild::Avx512),
                         [](const testing::TestParamInfo<fast::KernelBuild>& info) {
                             return std::string(fast::kernelBuildName(info.param));
                         });

// Points that share one origin (off the coordinates' origin) give the same
// bits whether the loop is told so or takes each point's origin, in every
// build, for a run that starts inside the arrays.
TEST(PointLoops, OneOriginGivesTheBitsOfPerPointOrigins) {
    std::mt19937_64 rng(5);
    Points pts = helmet(rng);
    std::fill(pts.ox.begin(), pts.ox.end(), 3.5);
    std::fill(pts.oy.begin(), pts.oy.end(), -2.0);
    std::fill(pts.oz.begin(), pts.oz.end(), 41.0);
    const fast::KernelBuild before = fast::kernelBuild();
    const double src[3] = {12.0, -30.0, 55.0};
    for (const fast::KernelBuild build : {fast::KernelBuild::X86_64, fast::KernelBuild::Avx2, fast::KernelBuild::Avx512}) {
        if (!fast::setKernelBuild(build)) continue;
        for (const fast::PointFamily family : {fast::PointFamily::Sarvas, fast::PointFamily::Cuffin,
                                               fast::PointFamily::BiotSavart, fast::PointFamily::MagneticDipole}) {
            SCOPED_TRACE(std::string(fast::kernelBuildName(build)) + ", family " +
                         std::to_string(static_cast<int>(family)));
            fast::PointArrays a = pts.arrays();
            std::vector<double> each(3 * 200), one(3 * 200);
            fast::runPointKernel(family, a, 3, 203, src, each.data(), each.data() + 200, each.data() + 400);
            a.oneOrigin = true;
            fast::runPointKernel(family, a, 3, 203, src, one.data(), one.data() + 200, one.data() + 400);
            EXPECT_EQ(one, each);
            EXPECT_NE(each[0], 0.0);
        }
    }
    fast::setKernelBuild(before);
}

TEST(PointLoops, ArithmeticIsNamedAsItIsChosen) {
    const fast::PointArithmetic before = fast::pointArithmetic();
    for (const fast::PointArithmetic a : {fast::PointArithmetic::Exact, fast::PointArithmetic::Refined}) {
        fast::PointArithmetic back = fast::PointArithmetic::Exact;
        EXPECT_TRUE(fast::pointArithmeticByName(fast::pointArithmeticName(a), &back));
        EXPECT_EQ(back, a);
        fast::setPointArithmetic(a);
        const bool refinedName = fast::pointLoopName().find(", refined") != std::string::npos;
        EXPECT_EQ(refinedName, a == fast::PointArithmetic::Refined && fast::kernelBuild() != fast::KernelBuild::X86_64);
    }
    EXPECT_FALSE(fast::pointArithmeticByName("fast", nullptr));
    fast::setPointArithmetic(before);
}

}  // namespace
