// The dipole fit on the demo system: exact data give back their dipoles,
// the moment is the least-squares one, and the fit stays in its region.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>
#include <sstream>

#include "dipole_fit/DipoleFit.h"
#include "base/Errors.h"
#include "forward_api/SensorArrayFile.h"
#include "support/DemoInputs.h"
#include "tools/commands/DipoleCommand.h"
#include "tools/formats/Npy.h"

using namespace megfwd;

namespace {

struct FitSetup : test::DemoInputs {
    SettingOverrides settings;
    std::unique_ptr<dipole::SourceForward> fwd;
    dipole::FitRegion region;
    std::vector<double> whitener;
    std::int64_t ns = 0;
    FitSetup() {
        settings.si = true;
        settings.sphereModel = 1;
        settings.userSphere = Sphere{{0, 0, 0}, 80};
        settings.minCoilSrcDist = -1e12;  // no stencil: the region decides
        fwd = std::make_unique<dipole::SourceForward>(sys, settings);
        ns = fwd->numSensors();
        region.radius = 80;
        region.minDist = 5;
        whitener.assign(static_cast<std::size_t>(ns * ns), 0.0);
        for (std::int64_t i = 0; i < ns; ++i) whitener[i * ns + i] = 1e13;  // 10 fT noise per sensor
    }
    // Fields (sensors x times) of one dipole per time point.
    std::vector<double> fields(const std::vector<std::array<double, 6>>& dipoles) {
        const std::int64_t T = static_cast<std::int64_t>(dipoles.size());
        std::vector<double> b(static_cast<std::size_t>(ns * T)), L(3 * ns);
        dipole::SourceForward::Scratch s(*fwd);
        for (std::int64_t t = 0; t < T; ++t) {
            const auto& d = dipoles[t];
            EXPECT_TRUE(fwd->evaluate(d.data(), L.data(), nullptr, s));
            for (std::int64_t i = 0; i < ns; ++i)
                b[i * T + t] = L[3 * i] * d[3] + L[3 * i + 1] * d[4] + L[3 * i + 2] * d[5];
        }
        return b;
    }
    std::vector<dipole::DipoleFitResult> fit(const std::vector<double>& b, std::int64_t T, int threads = 2) {
        dipole::FitOptions o;
        o.threads = threads;
        return dipole::fitDipoles(*fwd, whitener.data(), ns, b.data(), T, dipole::guessGrid(region, o), region, o);
    }
};

double distance(const std::array<double, 3>& a, const double* b) {
    return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
}

}  // namespace

TEST(DipoleFit, ExactDataGiveBackTheirDipoles) {
    FitSetup s;
    // Tangential moments (A m): a radial part would be silent in the sphere.
    const std::vector<std::array<double, 6>> dipoles = {
        {20, 30, 10, 0, 0, 40e-9}, {-35, 10, 25, 10e-9, 0, 14e-9}, {5, 55, -30, 0, 30e-9, 50e-9}};
    const std::vector<double> b = s.fields(dipoles);
    const auto r = s.fit(b, 3);
    for (std::size_t t = 0; t < dipoles.size(); ++t) {
        SCOPED_TRACE(t);
        EXPECT_LT(distance(r[t].position, dipoles[t].data()), 0.01);
        EXPECT_GT(r[t].gof, 1 - 1e-9);
        // The moment's tangential part is the simulated one's.
        const double* p = dipoles[t].data();
        const double rr = std::hypot(p[0], p[1], p[2]);
        double qr = 0, sr = 0;
        for (int j = 0; j < 3; ++j) qr += r[t].moment[j] * p[j] / rr, sr += p[3 + j] * p[j] / rr;
        for (int j = 0; j < 3; ++j)
            EXPECT_NEAR(r[t].moment[j] - qr * p[j] / rr, p[3 + j] - sr * p[j] / rr, 1e-6 * 50e-9);
    }
    // Confidence limits scale with the noise: twice the noise (half the
    // whitener), twice the lengths and eight times the volume.
    for (double& w : s.whitener) w *= 0.5;
    const auto h = s.fit(b, 3);
    for (std::size_t t = 0; t < dipoles.size(); ++t) {
        EXPECT_NEAR(h[t].confidence[0], 8 * r[t].confidence[0], 1e-6 * h[t].confidence[0]);
        for (int c = 1; c < 6; ++c) EXPECT_NEAR(h[t].confidence[c], 2 * r[t].confidence[c], 1e-6 * h[t].confidence[c]);
        EXPECT_GT(r[t].confidence[2], 0.0);
    }
}

// With noise, the moment is the least-squares moment at the fitted
// position, over the two directions a sphere can see, and the GOF is one
// minus the residual's share; one thread and two give the same fit.
TEST(DipoleFit, MomentIsTheLeastSquaresSolutionWithNoise) {
    FitSetup s;
    std::vector<double> b = s.fields({{15, 40, -5, 20e-9, 0, 10e-9}});
    std::mt19937 rng(3);
    std::normal_distribution<double> noise(0.0, 1e-13);
    for (double& v : b) v += noise(rng);
    const auto r = s.fit(b, 1);
    EXPECT_EQ(s.fit(b, 1, 1)[0].position, r[0].position);
    std::vector<double> L(3 * s.ns);
    dipole::SourceForward::Scratch sc(*s.fwd);
    ASSERT_TRUE(s.fwd->evaluate(r[0].position.data(), L.data(), nullptr, sc));
    // Tangential basis e1, e2 at the fitted position; normal equations.
    const double* p = r[0].position.data();
    const double rr = std::hypot(p[0], p[1], p[2]);
    const double u[3] = {p[0] / rr, p[1] / rr, p[2] / rr};
    double e1[3] = {-u[1], u[0], 0};
    const double n1 = std::hypot(e1[0], e1[1]);
    for (double& v : e1) v /= n1;
    const double e2[3] = {u[1] * e1[2] - u[2] * e1[1], u[2] * e1[0] - u[0] * e1[2], u[0] * e1[1] - u[1] * e1[0]};
    double a11 = 0, a12 = 0, a22 = 0, r1 = 0, r2 = 0, bb = 0;
    for (std::int64_t i = 0; i < s.ns; ++i) {
        const double w = 1e13;
        const double g1 = w * (L[3 * i] * e1[0] + L[3 * i + 1] * e1[1] + L[3 * i + 2] * e1[2]);
        const double g2 = w * (L[3 * i] * e2[0] + L[3 * i + 1] * e2[1] + L[3 * i + 2] * e2[2]);
        const double B = w * b[i];
        a11 += g1 * g1, a12 += g1 * g2, a22 += g2 * g2, r1 += g1 * B, r2 += g2 * B, bb += B * B;
    }
    const double det = a11 * a22 - a12 * a12;
    const double c1 = (a22 * r1 - a12 * r2) / det, c2 = (a11 * r2 - a12 * r1) / det;
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(r[0].moment[j], c1 * e1[j] + c2 * e2[j], 1e-6 * 22e-9);
    EXPECT_NEAR(r[0].gof, (c1 * r1 + c2 * r2) / bb, 1e-9);
    EXPECT_NEAR(r[0].khi2, (1 - r[0].gof) * bb, 1e-6 * bb);
}

TEST(DipoleFit, NeverLeavesItsRegion) {
    FitSetup s;
    // A dipole 2 mm inside the sphere, beyond the 5 mm margin: the fit ends
    // on the margin's boundary.
    const std::vector<double> b = s.fields({{0, 78, 0, 0, 0, 30e-9}, {0, 50, 40, 20e-9, 0, 0}});
    const auto r = s.fit(b, 2);
    for (const auto& d : r) EXPECT_GE(s.region.margin(d.position.data()), -1e-9);
    EXPECT_NEAR(std::hypot(r[0].position[0], r[0].position[1], r[0].position[2]), 75.0, 0.05);
    EXPECT_LT(distance(r[1].position, std::array<double, 3>{0, 50, 40}.data()), 0.01);

    dipole::FitOptions o;
    EXPECT_THROW(dipole::fitDipoles(*s.fwd, s.whitener.data(), s.ns, b.data(), 2, {0, 0, 300}, s.region, o),
                 InputError);
}

TEST(DipoleFit, StopsWhenAskedTo) {
    FitSetup s;
    const std::vector<double> b = s.fields({{20, 30, 10, 0, 0, 40e-9}, {20, 30, 10, 0, 0, 40e-9}});
    dipole::FitOptions o;
    o.progress = [](std::int64_t, std::int64_t) { return false; };
    EXPECT_THROW(dipole::fitDipoles(*s.fwd, s.whitener.data(), s.ns, b.data(), 2, dipole::guessGrid(s.region, o),
                                    s.region, o),
                 Cancelled);
}

// The command line's table: the fitted positions and moments of exact data
// in mm and nA m, and data whose rows do not match the channel set refused.
TEST(DipoleFit, CommandWritesTheTable) {
    FitSetup s;
    const std::vector<double> b = s.fields({{20, 30, 10, 0, 0, 40e-9}, {-35, 10, 25, 10e-9, 0, 14e-9}});
    const std::string dir = ::testing::TempDir();
    const std::string sensors = dir + "dipole_helmet.json", data = dir + "dipole_data.npy", out = dir + "dipoles.csv";
    writeSensorArray(*s.sys.trial, sensors);
    {
        std::ofstream f(data, std::ios::binary);
        f << io::npyBytes({s.ns, 2}, b.data());
    }
    io::DipoleArgs a;
    a.sensors = sensors, a.data = data, a.out = out, a.quiet = true;
    a.request.settings = s.settings;
    a.sfreq = 1000.0;
    std::ostringstream report;
    ASSERT_EQ(io::runDipole(a, report), 0);
    std::ifstream f(out);
    std::string header, row;
    std::getline(f, header);
    EXPECT_EQ(header.rfind("time_s,x_mm,y_mm,z_mm,qx_nAm", 0), 0u);
    std::getline(f, row);
    double t, x, y, z, qx, qy, qz;
    char c;
    std::istringstream(row) >> t >> c >> x >> c >> y >> c >> z >> c >> qx >> c >> qy >> c >> qz;
    EXPECT_NEAR(std::hypot(x - 20, y - 30, z - 10), 0.0, 0.01);
    // The moment's tangential part is the simulated 40 nA m along z's.
    const double u[3] = {20 / std::hypot(20, 30, 10), 30 / std::hypot(20, 30, 10), 10 / std::hypot(20, 30, 10)};
    const double qr = qx * u[0] + qy * u[1] + qz * u[2];
    EXPECT_NEAR(qz - qr * u[2], 40 - 40 * u[2] * u[2], 0.01);

    {
        std::ofstream g(data, std::ios::binary);
        g << io::npyBytes({s.ns - 1, 2}, b.data());
    }
    EXPECT_THROW(io::runDipole(a, report), InputError);
}
