// The sphere fits: exact spheres from whole spheres, caps and noisy points,
// refusal of input that holds no sphere, independence of the frame, and the
// local spheres' choices (nearby points, fallbacks, reference sensors).
#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "base/Errors.h"
#include "head_model/LocalSpheres.h"
#include "head_model/ShellSurfaces.h"

using namespace megfwd::head;

namespace {

using shelltest::kPi;

// n points on the sphere (c, r) with polar angle at most `cap` about +y.
std::vector<Point3> spherePoints(const Point3& c, double r, int n, double cap = kPi) {
    return shelltest::spiralPoints(c, {r, r, r}, n, cap);
}

void expectSphere(const SphereFit& f, const Point3& c, double r, double tol) {
    EXPECT_NEAR(f.centre[0], c[0], tol);
    EXPECT_NEAR(f.centre[1], c[1], tol);
    EXPECT_NEAR(f.centre[2], c[2], tol);
    EXPECT_NEAR(f.radius, r, tol);
}

}  // namespace

TEST(FitSphere, RecoversExactSpheresFromWholeSpheresAndCaps) {
    const Point3 c{3.0, 41.0, -7.5};
    struct Case { double capDeg; int n; };
    for (const Case k : {Case{180, 50}, Case{90, 40}, Case{30, 30}, Case{10, 12}}) {
        SCOPED_TRACE("cap " + std::to_string(k.capDeg) + " degrees");
        const SphereFit f = fitSphere(spherePoints(c, 88.0, k.n, k.capDeg * kPi / 180.0));
        // A 10-degree cap is 1.3 mm deep on an 88 mm sphere: its centre is
        // an extrapolation by 70 times the cap's depth, still well within 1e-7.
        expectSphere(f, c, 88.0, 1e-7);
        EXPECT_LT(f.rms, 1e-9);
    }
    // The smallest point set: 4 points not on a plane.
    expectSphere(fitSphere({{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}), {0, 0, 0}, 1.0, 1e-12);
}

TEST(FitSphere, NoisyPointsGiveTheSphereWithinTheNoise) {
    std::mt19937 gen(7);
    std::normal_distribution<double> noise(0.0, 1.0);  // mm
    std::vector<Point3> pts = spherePoints({0, 40, 0}, 85.0, 2000, 0.6 * kPi);
    for (auto& p : pts)
        for (double& x : p) x += noise(gen);
    const SphereFit f = fitSphere(pts);
    // 2000 points with 1 mm noise pin the sphere to a few tenths of a mm;
    // the residual is the noise.
    expectSphere(f, {0, 40, 0}, 85.0, 0.3);
    EXPECT_NEAR(f.rms, 1.0, 0.05);
    // The weighted geometric fit with equal weights, started off by 5 mm,
    // settles on the same sphere as the algebraic one to well within the noise.
    SphereFit start = f, g;
    start.centre[0] += 5.0;
    const std::vector<double> w(pts.size(), 1.0);
    ASSERT_TRUE(fitSphereWeighted(pts.data(), w.data(), pts.size(), start, g));
    expectSphere(g, f.centre, f.radius, 0.05);
    EXPECT_LE(g.rms, f.rms + 1e-12);  // it minimises the geometric residual
}

TEST(FitSphere, RefusesInputThatHoldsNoSphere) {
    struct Case { std::vector<Point3> pts; const char* says; };
    const double nan = std::nan("");
    const Case cases[] = {
        {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, "at least 4 points, got 3"},
        {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, nan}}, "point 3 has coordinate z = nan"},
        {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, INFINITY}}, "not a finite number"},
        {{{1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}}, "all 4 points are at one place"},
        {{{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {5, 5, 5}, {-3, -3, -3}}, "lie on one line"},
        {{{0, 0, 5}, {1, 0, 5}, {0, 1, 5}, {3, 7, 5}, {-2, 4, 5}}, "lie on one plane"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.says);
        try {
            fitSphere(k.pts);
            ADD_FAILURE() << "accepted";
        } catch (const megfwd::InputError& e) {
            EXPECT_NE(std::string(e.what()).find(k.says), std::string::npos) << e.what();
        }
    }
    // Points on a circle are coplanar: infinitely many spheres pass through them.
    std::vector<Point3> circle;
    for (int i = 0; i < 20; ++i) circle.push_back({50 * std::cos(i * 0.3), 10.0, 50 * std::sin(i * 0.3)});
    EXPECT_THROW(fitSphere(circle), megfwd::InputError);
}

TEST(FitSphere, MovesWithTheFrame) {
    std::mt19937 gen(3);
    std::normal_distribution<double> noise(0.0, 2.0);
    std::vector<Point3> pts = spherePoints({0, 0, 0}, 80.0, 300, 0.4 * kPi);
    for (auto& p : pts)
        for (double& x : p) x += noise(gen);
    const SphereFit ref = fitSphere(pts);
    // Rotation by 0.7 rad about (1, 2, 2)/3 and a translation of ~1 m: the
    // fit must move with the points, rounding aside.
    const double ax[3] = {1.0 / 3, 2.0 / 3, 2.0 / 3}, th = 0.7, cs = std::cos(th), sn = std::sin(th);
    auto rotate = [&](const Point3& p, const Point3& t) {
        const double d = ax[0] * p[0] + ax[1] * p[1] + ax[2] * p[2];
        const double x[3] = {ax[1] * p[2] - ax[2] * p[1], ax[2] * p[0] - ax[0] * p[2], ax[0] * p[1] - ax[1] * p[0]};
        Point3 q;
        for (int a = 0; a < 3; ++a) q[a] = p[a] * cs + x[a] * sn + ax[a] * d * (1 - cs) + t[a];
        return q;
    };
    const Point3 t{812.0, -431.0, 277.0};
    std::vector<Point3> moved;
    for (const auto& p : pts) moved.push_back(rotate(p, t));
    const SphereFit f = fitSphere(moved);
    expectSphere(f, rotate(ref.centre, t), ref.radius, 1e-8);
    EXPECT_NEAR(f.rms, ref.rms, 1e-9);
}

namespace {

// A head-like ellipsoid mesh-less surface (points only) and sensors 35 mm
// outside it along chosen directions.
Surface ellipsoid(double a, double b, double c, int n) {
    std::vector<Point3> points;
    for (const auto& p : spherePoints({0, 0, 0}, 1.0, n)) points.push_back({a * p[0], b * p[1], c * p[2]});
    return Surface::fromPoints(points, "ellipsoid");
}

SensorSite sensorAbove(const std::string& name, const Point3& dir, double dist, bool reference = false) {
    const double l = std::sqrt(dir[0] * dir[0] + dir[1] * dir[1] + dir[2] * dir[2]);
    SensorSite s{name, {}, reference};
    // A gradiometer: the lower coil at `dist`, the upper 50 mm further out.
    s.coils.push_back({dir[0] / l * (dist + 50), dir[1] / l * (dist + 50), dir[2] / l * (dist + 50)});
    s.coils.push_back({dir[0] / l * dist, dir[1] / l * dist, dir[2] / l * dist});
    return s;
}

}  // namespace

TEST(LocalSpheres, FollowTheHeadAndFallBackWithReasons) {
    const Surface head = ellipsoid(72, 82, 70, 3000);
    const std::vector<SensorSite> sensors = {
        sensorAbove("TOP", {0, 1, 0}, 117), sensorAbove("SIDE", {1, 0, 0}, 107),
        sensorAbove("FAR", {0, 1, 0}, 400),  // nothing within 85 mm
        sensorAbove("REF", {0, 1, 0}, 250, true)};
    LocalSphereOptions o;
    const LocalSpheres t = fitLocalSpheres(head, sensors, o);
    ASSERT_EQ(t.spheres.size(), 3u);  // the reference sensor takes the global sphere
    EXPECT_EQ(t.find("REF"), nullptr);

    // Near the top of the ellipsoid (semi-axis 82 along y, 72 and 70
    // across) the osculating radius is 72*70/82 ~ 61 mm at most about 72^2/82:
    // the local sphere must be much smaller than the global one and lie below
    // the top, on the y axis by symmetry.
    const LocalSphere* top = t.find("TOP");
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->fallback, Fallback::None);
    EXPECT_GT(top->numPoints, o.minPoints);
    EXPECT_LT(top->sphere.radius, t.globalSphere.radius - 5.0);
    EXPECT_NEAR(top->sphere.centre[0], 0.0, 1.0);
    EXPECT_NEAR(top->sphere.centre[2], 0.0, 1.0);
    EXPECT_NEAR(top->sphere.centre[1] + top->sphere.radius, 82.0, 1.5);  // touches the top
    // At the side (semi-axis 72 along x) the head is flatter: a larger sphere.
    const LocalSphere* side = t.find("SIDE");
    ASSERT_NE(side, nullptr);
    EXPECT_GT(side->sphere.radius, top->sphere.radius);
    EXPECT_NEAR(side->sphere.centre[0] + side->sphere.radius, 72.0, 1.5);

    const LocalSphere* far = t.find("FAR");
    ASSERT_NE(far, nullptr);
    EXPECT_EQ(far->fallback, Fallback::TooFewPoints);
    EXPECT_EQ(far->sphere, t.globalSphere);
    EXPECT_NE(far->reason.find("fewer than 11"), std::string::npos) << far->reason;
    EXPECT_EQ(t.numFallback(), 1);

    // A max_radius below the top's sphere makes it fall back, saying why.
    o.maxRadius = top->sphere.radius - 1.0;
    const LocalSpheres cappedTable = fitLocalSpheres(head, sensors, o);
    const LocalSphere* capped = cappedTable.find("TOP");
    ASSERT_NE(capped, nullptr);
    EXPECT_EQ(capped->fallback, Fallback::TooLarge);
    EXPECT_NE(capped->reason.find("exceeds max_radius"), std::string::npos) << capped->reason;

    // A sensor within its own fitted sphere would put the formulas where
    // they do not hold: the global sphere instead.
    const LocalSpheres insideTable = fitLocalSpheres(head, {sensorAbove("IN", {0, 1, 0}, 40)}, LocalSphereOptions{});
    const LocalSphere* inside = insideTable.find("IN");
    ASSERT_NE(inside, nullptr);
    EXPECT_EQ(inside->fallback, Fallback::EnclosesSensor);
}

TEST(LocalSpheres, OnASphericalHeadEveryMethodGivesTheHeadSphere) {
    const Surface head = Surface::fromPoints(spherePoints({2, 35, -4}, 80.0, 2500), "sphere");
    for (LocalSphereMethod m : {LocalSphereMethod::Nearby, LocalSphereMethod::Weighted}) {
        SCOPED_TRACE(methodName(m));
        LocalSphereOptions o;
        o.method = m;
        const LocalSpheres t = fitLocalSpheres(head, {sensorAbove("A", {0.3, 1, 0.2}, 150)}, o);
        ASSERT_EQ(t.spheres.size(), 1u);
        EXPECT_EQ(t.spheres[0].fallback, Fallback::None) << t.spheres[0].reason;
        for (int a = 0; a < 4; ++a) EXPECT_NEAR(t.spheres[0].sphere.toArray()[a], t.globalSphere.toArray()[a], 1e-6);
    }
    EXPECT_THROW(parseMethod("closest"), megfwd::InputError);
}

TEST(LocalSpheres, MoveWithTheFrameAndTheWeightedFitHasNoLengthScale) {
    const Surface head = ellipsoid(72, 82, 70, 2000);
    const std::vector<SensorSite> sensors = {sensorAbove("A", {0.2, 1, 0.1}, 118), sensorAbove("B", {1, 0.3, -0.2}, 110)};
    // A rotation about (2, -1, 2)/3 by 1.1 rad and a shift, applied to the
    // surface and the sensors alike.
    const double ax[3] = {2.0 / 3, -1.0 / 3, 2.0 / 3}, cs = std::cos(1.1), sn = std::sin(1.1);
    const Point3 shift{-35.0, 120.0, 7.5};
    auto move = [&](const Point3& p) {
        const double d = ax[0] * p[0] + ax[1] * p[1] + ax[2] * p[2];
        const double x[3] = {ax[1] * p[2] - ax[2] * p[1], ax[2] * p[0] - ax[0] * p[2], ax[0] * p[1] - ax[1] * p[0]};
        Point3 q;
        for (int a = 0; a < 3; ++a) q[a] = p[a] * cs + x[a] * sn + ax[a] * d * (1 - cs) + shift[a];
        return q;
    };
    auto scale = [](const Point3& p) { return Point3{p[0] * 1000.0, p[1] * 1000.0, p[2] * 1000.0}; };
    auto transformed = [&](auto f) {
        std::vector<Point3> points = head.points();
        for (auto& p : points) p = f(p);
        const Surface s = Surface::fromPoints(points, head.label);
        std::vector<SensorSite> out = sensors;
        for (auto& site : out)
            for (auto& c : site.coils) c = f(c);
        return std::make_pair(s, out);
    };
    for (LocalSphereMethod m : {LocalSphereMethod::Nearby, LocalSphereMethod::Weighted}) {
        SCOPED_TRACE(methodName(m));
        LocalSphereOptions o;
        o.method = m;
        const LocalSpheres ref = fitLocalSpheres(head, sensors, o);
        const auto [movedHead, movedSensors] = transformed(move);
        const LocalSpheres moved = fitLocalSpheres(movedHead, movedSensors, o);
        // Micrometres (1000 times the unit) with every length option scaled:
        // the same spheres, 1000 times larger. A weight with a length scale
        // of its own (a Gaussian's width) would change them.
        const auto [bigHead, bigSensors] = transformed(scale);
        LocalSphereOptions big = o;
        big.radius *= 1000.0, big.maxRadius *= 1000.0;
        const LocalSpheres scaled = fitLocalSpheres(bigHead, bigSensors, big);
        for (std::size_t k = 0; k < ref.spheres.size(); ++k) {
            const auto s = ref.spheres[k].sphere.toArray();
            ASSERT_EQ(ref.spheres[k].fallback, Fallback::None) << ref.spheres[k].reason;
            const Point3 c = move({s[0], s[1], s[2]});
            for (int a = 0; a < 3; ++a) {
                EXPECT_NEAR(moved.spheres[k].sphere.centre[a], c[a], 1e-8);
                EXPECT_NEAR(scaled.spheres[k].sphere.centre[a], 1000.0 * s[a], 1e-9 * 1000.0 * s[3]);
            }
            EXPECT_NEAR(moved.spheres[k].sphere.radius, s[3], 1e-8);
            EXPECT_NEAR(scaled.spheres[k].sphere.radius, 1000.0 * s[3], 1e-9 * 1000.0 * s[3]);
        }
    }
}
