#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>

#include "base/Errors.h"
#include "head_model/ShellSurfaces.h"
#include "head_model/SingleShell.h"
#include "head_model/SolidHarmonics.h"
#include "tools/formats/Npy.h"

using megfwd::head::harmonicCount;
using megfwd::head::ShellFit;
using megfwd::head::SolidHarmonics;

namespace {

// The gradients of every basis function against central differences of its
// values, and each function's Laplacian (by differences) against zero: the
// recurrences and their signs, at points inside and on the unit ball.
TEST(SolidHarmonics, GradientsAreTheValuesDerivativesAndTheBasisIsHarmonic) {
    const int order = 12;
    SolidHarmonics h(order);
    const int n = harmonicCount(order);
    ASSERT_EQ(n, 168);
    std::vector<double> g(3 * n), vp(n), vm(n), v0(n);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-0.6, 0.6);
    const double step = 1e-4;
    for (int trial = 0; trial < 6; ++trial) {
        const double x[3] = {u(rng), u(rng), u(rng)};
        h.gradients(x, g.data());
        h.values(x, v0.data());
        std::vector<double> lap(n, 0.0);
        for (int k = 0; k < 3; ++k) {
            double xp[3] = {x[0], x[1], x[2]}, xm[3] = {x[0], x[1], x[2]};
            xp[k] += step, xm[k] -= step;
            h.values(xp, vp.data());
            h.values(xm, vm.data());
            for (int j = 0; j < n; ++j) {
                SCOPED_TRACE("function " + std::to_string(j) + ", axis " + std::to_string(k));
                const double fd = (vp[j] - vm[j]) / (2 * step);
                // Central differences of polynomials of degree <= 12 with
                // values of order 1: error ~ step^2 times the third derivative.
                EXPECT_NEAR(g[3 * j + k], fd, 1e-6 * (1.0 + std::abs(fd)));
                lap[j] += (vp[j] - 2 * v0[j] + vm[j]) / (step * step);
            }
        }
        // Second differences lose ~1e-16 / step^2 = 1e-8 to rounding.
        for (int j = 0; j < n; ++j) EXPECT_NEAR(lap[j], 0.0, 2e-5) << "function " << j;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// The fit, with an independent sphere leadfield of point magnetometers.

namespace {

using megfwd::head::ShellCorrection;
using megfwd::head::Surface;

struct Rig {
    std::vector<double> sensors;   // x y z nx ny nz per sensor
    std::vector<double> sources;   // x y z
    std::array<double, 3> origin{};  // the sphere's origin
    std::int64_t numSensors() const { return static_cast<std::int64_t>(sensors.size() / 6); }
};

// The sphere's leadfield of a point magnetometer (Sarvas 1987), written
// again here from the formula: L = (F (r0 x n) - (grad F . n)(r0 x r)) 1e-7 / F^2.
void sarvas(const Rig& rig, const double* src, double* out) {
    for (std::int64_t s = 0; s < rig.numSensors(); ++s) {
        const double* p = rig.sensors.data() + 6 * s;
        double r[3], r0[3], a[3];
        for (int k = 0; k < 3; ++k) r[k] = p[k] - rig.origin[k], r0[k] = src[k] - rig.origin[k], a[k] = r[k] - r0[k];
        const double an = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
        const double rn = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
        const double adr = a[0] * r[0] + a[1] * r[1] + a[2] * r[2];
        const double F = an * (rn * an + adr);
        const double c1 = an * an / rn + adr / an + 2 * an + 2 * rn, c2 = an + 2 * rn + adr / an;
        const double* n = p + 3;
        double gFn = 0;
        for (int k = 0; k < 3; ++k) gFn += (c1 * r[k] - c2 * r0[k]) * n[k];
        const double r0xn[3] = {r0[1] * n[2] - r0[2] * n[1], r0[2] * n[0] - r0[0] * n[2], r0[0] * n[1] - r0[1] * n[0]};
        const double r0xr[3] = {r0[1] * r[2] - r0[2] * r[1], r0[2] * r[0] - r0[0] * r[2], r0[0] * r[1] - r0[1] * r[0]};
        for (int k = 0; k < 3; ++k) out[3 * s + k] = 1e-7 / (F * F) * (F * r0xn[k] - gFn * r0xr[k]);
    }
}

ShellCorrection fit(const Surface& surface, const Rig& rig, int order, ShellFit how = ShellFit::Galerkin,
                    std::optional<std::array<double, 3>> centre = {}) {
    megfwd::head::ShellOptions o;
    o.order = order;
    o.fit = how;
    o.centre = centre;
    const auto model = megfwd::head::SingleShell::make(surface, o);
    std::vector<double> points;
    for (std::int64_t s = 0; s < rig.numSensors(); ++s)
        points.insert(points.end(), rig.sensors.begin() + 6 * s, rig.sensors.begin() + 6 * s + 3);
    return megfwd::head::fitShellCorrection(
        model, {}, points, [](std::int64_t p) { return "sensor #" + std::to_string(p); }, rig.numSensors(),
        [&](const double* pos, std::int64_t count, double* out) {
            for (std::int64_t i = 0; i < count; ++i) sarvas(rig, pos + 3 * i, out + i * 3 * rig.numSensors());
        });
}

// The corrected leadfields of every source (sources x sensors x 3).
std::vector<double> corrected(const ShellCorrection& c, const Rig& rig) {
    const std::int64_t per = 3 * rig.numSensors();
    std::vector<double> out(rig.sources.size() / 3 * per);
    ShellCorrection::Workspace ws(c.expansion->order, c.numSensors);
    for (std::size_t i = 0; i < rig.sources.size() / 3; ++i) {
        sarvas(rig, rig.sources.data() + 3 * i, out.data() + i * per);
        c.apply(rig.sources.data() + 3 * i, out.data() + i * per, ws);
    }
    return out;
}

double relDiff(const std::vector<double>& a, const std::vector<double>& b) {
    double num = 0, den = 0;
    for (std::size_t i = 0; i < a.size(); ++i) num += (a[i] - b[i]) * (a[i] - b[i]), den += b[i] * b[i];
    return std::sqrt(num / den);
}

std::string fixture(const std::string& name) { return std::string(MEGFWD_SOURCE_DIR) + "/tests/head_model/data/" + name; }

// Sensors 35 mm outside a sphere-like shell of radius ~80 mm, and sources
// inside, in metres.
Rig smallRig() {
    Rig rig;
    std::mt19937 rng(3);
    std::normal_distribution<double> g;
    while (rig.sensors.size() < 6 * 30) {
        double d[3] = {g(rng), g(rng), g(rng)};
        const double n = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        if (d[2] / n < -0.2) continue;
        for (int k = 0; k < 3; ++k) rig.sensors.push_back(0.118 * d[k] / n);
        for (int k = 0; k < 3; ++k) rig.sensors.push_back(d[k] / n);
    }
    std::uniform_real_distribution<double> u(-0.04, 0.04);
    for (int i = 0; i < 40; ++i) rig.sources.insert(rig.sources.end(), {u(rng), u(rng), u(rng)});
    return rig;
}

TEST(SingleShell, OnASphereTheCorrectionVanishesAndOrderZeroIsTheSphere) {
    const Rig rig = smallRig();
    std::vector<double> sphere(rig.sources.size() / 3 * 3 * rig.numSensors());
    for (std::size_t i = 0; i < rig.sources.size() / 3; ++i)
        sarvas(rig, rig.sources.data() + 3 * i, sphere.data() + i * 3 * rig.numSensors());
    const Surface ball = shelltest::icosphere(4, {0.083, 0.083, 0.083});
    // n . L_sphere vanishes on the sphere; what remains is the flat
    // triangles' departure from it (centroids ~0.1 % inside, normals
    // within a degree).
    EXPECT_LT(relDiff(corrected(fit(ball, rig, 10), rig), sphere), 1e-3);
    EXPECT_LT(relDiff(corrected(fit(ball, rig, 10, ShellFit::Lsq), rig), sphere), 1e-3);
    // No basis: the sphere's values bit for bit.
    const Surface egg = shelltest::icosphere(3, {0.072, 0.082, 0.070});
    EXPECT_EQ(corrected(fit(egg, rig, 0), rig), sphere);
}

// The accuracy fixture: MNE-Python's one-layer BEM on the mild ellipsoid.
// The error falls with the order, and the energy fit is never worse than
// the normal-component fit.
TEST(SingleShell, EllipsoidErrorAgainstTheBemFallsWithTheOrder) {
    using megfwd::io::readNpy;
    const auto v = readNpy(fixture("ellipsoid_vertices.npy"));
    const auto t = readNpy(fixture("ellipsoid_triangles.npy"));
    const auto sens = readNpy(fixture("ellipsoid_sensors.npy"));
    const auto src = readNpy(fixture("ellipsoid_sources.npy"));
    const auto bem = readNpy(fixture("ellipsoid_bem_gain.npy"));
    Surface s;
    s.vertices = v.data;
    for (double x : t.data) s.triangles.push_back(static_cast<std::int32_t>(x));
    s.label = "ellipsoid";
    Rig rig;
    rig.sensors = sens.data;
    rig.sources = src.data;
    // The fixture's gain is float32: differences below ~1e-7 are its rounding.
    std::vector<double> sphere(bem.data.size());
    for (std::size_t i = 0; i < rig.sources.size() / 3; ++i)
        sarvas(rig, rig.sources.data() + 3 * i, sphere.data() + i * 3 * rig.numSensors());
    const double e0 = relDiff(sphere, bem.data);
    std::vector<double> err;
    for (int order : {4, 6, 10}) {
        err.push_back(relDiff(corrected(fit(s, rig, order), rig), bem.data));
        const double lsq = relDiff(corrected(fit(s, rig, order, ShellFit::Lsq), rig), bem.data);
        std::printf("order %2d: galerkin %.3f %%, lsq %.3f %% (sphere %.2f %%)\n", order, 100 * err.back(), 100 * lsq,
                    100 * e0);
        EXPECT_LE(err.back(), lsq * 1.01) << "order " << order;
    }
    EXPECT_GT(e0, 0.10);  // the sphere is far off: the shape matters here
    EXPECT_LT(err[1], err[0]);
    EXPECT_LT(err[2], err[1]);
    EXPECT_LT(err[2], 3e-3);
}

}  // namespace

namespace {

// Rotating and moving the surface, the sensors and the sources together
// rotates the leadfields and changes nothing else; winding the triangles
// inward changes nothing.
TEST(SingleShell, RigidMotionAndInwardWindingLeaveTheValues) {
    Rig rig = smallRig();
    const Surface egg = shelltest::icosphere(3, {0.072, 0.082, 0.070}, {0.001, -0.002, 0.003});
    const auto base = corrected(fit(egg, rig, 8), rig);

    Surface inward = egg;
    for (std::size_t t = 0; t < inward.triangles.size(); t += 3) std::swap(inward.triangles[t], inward.triangles[t + 1]);
    EXPECT_TRUE(megfwd::head::SingleShell::make(inward, {}).wasTurned);
    // Turned triangles list their vertices in another order: rounding only.
    EXPECT_LT(relDiff(corrected(fit(inward, rig, 8), rig), base), 1e-12);

    // A rotation about an oblique axis and a shift of several centimetres.
    const double c = std::cos(0.7), s = std::sin(0.7);
    const double ax[3] = {0.48, 0.6, 0.64};  // unit
    double R[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const double cross = (i == j) ? 0.0 : ((j == (i + 1) % 3) ? -ax[3 - i - j] : ax[3 - i - j]);
            R[i][j] = (i == j ? c : 0.0) + (1 - c) * ax[i] * ax[j] + s * cross;
        }
    const double shift[3] = {0.03, -0.05, 0.02};
    auto move = [&](double* p, bool point) {
        const double q[3] = {p[0], p[1], p[2]};
        for (int i = 0; i < 3; ++i) p[i] = R[i][0] * q[0] + R[i][1] * q[1] + R[i][2] * q[2] + (point ? shift[i] : 0.0);
    };
    Surface moved = egg;
    for (std::size_t i = 0; i < moved.vertices.size(); i += 3) move(&moved.vertices[i], true);
    Rig mrig = rig;
    for (std::size_t i = 0; i < mrig.sensors.size(); i += 6) move(&mrig.sensors[i], true), move(&mrig.sensors[i + 3], false);
    for (std::size_t i = 0; i < mrig.sources.size(); i += 3) move(&mrig.sources[i], true);
    move(mrig.origin.data(), true);
    auto rotated = base;
    for (std::size_t i = 0; i < rotated.size(); i += 3) move(&rotated[i], false);
    EXPECT_LT(relDiff(corrected(fit(moved, mrig, 8), mrig), rotated), 1e-10);

    // The surface kept in its frame, the scan in another: millimetres, x and
    // z swapped (a mirror) and shifted. The sphere's leadfields there are
    // the base ones times 1e-6 (they fall as 1/length^2) and turned, with
    // the sign of the mirror.
    const megfwd::head::ShellFrame frame = megfwd::head::ShellFrame::fromMap([](const std::array<double, 3>& p) {
        return std::array<double, 3>{1000 * p[2] + 5, 1000 * p[1] - 7, 1000 * p[0] + 11};
    });
    EXPECT_DOUBLE_EQ(frame.scale, 1000.0);
    Rig srig = rig;
    auto toScan = [&](double* p, bool point) {
        const auto q = point ? frame.toScan(p) : frame.rotate(p);
        std::copy(q.begin(), q.end(), p);
    };
    for (std::size_t i = 0; i < srig.sensors.size(); i += 6) toScan(&srig.sensors[i], true), toScan(&srig.sensors[i + 3], false);
    for (std::size_t i = 0; i < srig.sources.size(); i += 3) toScan(&srig.sources[i], true);
    toScan(srig.origin.data(), true);
    megfwd::head::ShellOptions o8;
    o8.order = 8;
    const auto model = megfwd::head::SingleShell::make(egg, o8);
    std::vector<double> points;
    for (std::size_t i = 0; i < srig.sensors.size(); i += 6) points.insert(points.end(), &srig.sensors[i], &srig.sensors[i + 3]);
    const ShellCorrection inScan = megfwd::head::fitShellCorrection(
        model, frame, points, [](std::int64_t p) { return "sensor #" + std::to_string(p); }, srig.numSensors(),
        [&](const double* pos, std::int64_t count, double* out) {
            for (std::int64_t i = 0; i < count; ++i) sarvas(srig, pos + 3 * i, out + i * 3 * srig.numSensors());
        });
    auto mirrored = base;
    for (std::size_t i = 0; i < mirrored.size(); i += 3) {
        toScan(&mirrored[i], false);
        for (int k = 0; k < 3; ++k) mirrored[i + k] *= -1e-6;
    }
    EXPECT_LT(relDiff(corrected(inScan, srig), mirrored), 1e-10);
    EXPECT_NEAR(inScan.describe()["scale_scan_frame"].get<double>(), 1000 * inScan.expansion->rho, 1e-9);
}

TEST(SingleShell, RefusesWhatItCannotTakeByName) {
    const Rig rig = smallRig();
    auto refused = [](auto&& f, const std::string& what) {
        try {
            f();
            ADD_FAILURE() << "accepted: " << what;
        } catch (const megfwd::InputError& e) {
            EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
        }
    };
    // The one surface check, in the caller's numbering.
    Surface badIndex = shelltest::icosphere(1, {0.08, 0.08, 0.08});
    badIndex.triangles[7] = static_cast<std::int32_t>(badIndex.numVertices());
    refused([&] { megfwd::head::SingleShell::make(badIndex, {}); },
            "test surface: triangle 2 names vertex 42; the vertices are numbered 0 to 41");
    refused([&] { megfwd::head::checkSurface(badIndex, 1); },
            "test surface: triangle 3 names vertex 43; the vertices are numbered 1 to 42");
    refused([&] { megfwd::head::vertexIndex(2.5, 0, 42, "m", 1); }, "m: triangle 1 holds 2.5, not a vertex index");
    refused([&] { megfwd::head::vertexIndex(0, 0, 42, "m", 1); }, "m: triangle 1 names vertex 0");
    EXPECT_EQ(megfwd::head::vertexIndex(42, 0, 42, "m", 1), 41);
    Surface notFinite = shelltest::icosphere(1, {0.08, 0.08, 0.08});
    notFinite.vertices[3 * 5 + 1] = NAN;
    refused([&] { megfwd::head::SingleShell::make(notFinite, {}); },
            "test surface: point 5 has coordinate y = nan, not a finite number");
    Surface open = shelltest::icosphere(2, {0.08, 0.08, 0.08});
    open.triangles.resize(open.triangles.size() - 3);
    refused([&] { megfwd::head::SingleShell::make(open, {}); }, "test surface: the surface is open: edge");
    Surface twoBalls = shelltest::icosphere(1, {0.08, 0.08, 0.08});
    Surface other = shelltest::icosphere(1, {0.01, 0.01, 0.01});
    const auto nv = static_cast<std::int32_t>(twoBalls.numVertices());
    twoBalls.vertices.insert(twoBalls.vertices.end(), other.vertices.begin(), other.vertices.end());
    for (auto i : other.triangles) twoBalls.triangles.push_back(i + nv);
    refused([&] { megfwd::head::SingleShell::make(twoBalls, {}); }, "more than one piece");
    Surface flipped = shelltest::icosphere(2, {0.08, 0.08, 0.08});
    std::swap(flipped.triangles[0], flipped.triangles[1]);
    refused([&] { megfwd::head::SingleShell::make(flipped, {}); }, "not consistently wound");

    megfwd::head::ShellOptions high;
    high.order = 11;  // needs 288 triangles; an icosahedron subdivided twice has 320, once 80
    EXPECT_NO_THROW(megfwd::head::SingleShell::make(shelltest::icosphere(2, {0.08, 0.08, 0.08}), high));
    refused([&] { megfwd::head::SingleShell::make(shelltest::icosphere(1, {0.08, 0.08, 0.08}), high); },
            "single-shell order 11 is too high for test surface");
    high.order = 31;
    refused([&] { megfwd::head::SingleShell::make(shelltest::icosphere(4), high); }, "order 31: expected 0 to 30");

    Rig inside = rig;
    inside.sensors[6 * 7 + 0] = 0.01;  // sensor #7 into the head
    inside.sensors[6 * 7 + 1] = 0.0;
    inside.sensors[6 * 7 + 2] = 0.02;
    refused([&] { fit(shelltest::icosphere(3, {0.072, 0.082, 0.070}), inside, 6); },
            "sensor #7: an integration point lies inside or on the inner-skull surface");
}

}  // namespace

namespace {

// Without an order the model takes the default, lowered to the highest
// order the surface's triangles carry; the same surface always gets the
// same order, and a given order is kept.
TEST(SingleShell, DefaultOrderIsTheDefaultOrWhatTheSurfaceCarries) {
    using megfwd::head::defaultShellOrder;
    using megfwd::head::kDefaultShellOrder;
    EXPECT_EQ(defaultShellOrder(5120), kDefaultShellOrder);  // MNE's ico-4 skull
    EXPECT_EQ(defaultShellOrder(1280), 16);                  // ico-3: 4 * 17^2 = 1156 triangles fit, 4 * 18^2 do not
    EXPECT_EQ(defaultShellOrder(1155), 15);
    EXPECT_EQ(defaultShellOrder(4), 0);
    const Surface ico3 = shelltest::icosphere(3, {0.072, 0.082, 0.070});
    const auto a = megfwd::head::SingleShell::make(ico3, {});
    EXPECT_EQ(a.options.order, 16);
    EXPECT_EQ(megfwd::head::SingleShell::make(ico3, {}).options, a.options);
    EXPECT_EQ(megfwd::head::SingleShell::make(shelltest::icosphere(4), {}).options.order, kDefaultShellOrder);
    megfwd::head::ShellOptions given;
    given.order = 7;
    EXPECT_EQ(megfwd::head::SingleShell::make(ico3, given).options.order, 7);
}

// The library's route (the fit's products, LAPACK's factorisation and
// solve, the block product of the correction) against a plain scalar
// route written here from the same quadrature: the same numbers to 1e-12.
TEST(SingleShell, BlasRouteEqualsTheScalarRoute) {
    const Rig rig = smallRig();
    const Surface egg = shelltest::icosphere(3, {0.072, 0.082, 0.070}, {0.001, -0.002, 0.003});
    const int order = 7;
    const ShellCorrection c = fit(egg, rig, order);
    const megfwd::head::ShellExpansion& e = *c.expansion;
    const int nb = harmonicCount(order);
    const std::int64_t ns = rig.numSensors();
    SolidHarmonics h(order);
    // The energy fit's matrix and right-hand side, summed point by point.
    std::vector<double> m(nb * nb, 0.0), f(nb * ns, 0.0), v(nb), g(3 * nb), lf(3 * ns);
    for (std::int64_t q = 0; q < e.numQuad; ++q) {
        const double* p = e.quadPos.data() + 3 * q;
        const double* n = e.quadNormal.data() + 3 * q;
        double x[3];
        for (int k = 0; k < 3; ++k) x[k] = (p[k] - e.centre[k]) / e.rho;
        h.values(x, v.data());
        h.gradients(x, g.data());
        sarvas(rig, p, lf.data());
        for (int j = 0; j < nb; ++j) {
            for (int k = 0; k < nb; ++k)
                m[j * nb + k] += e.quadWeight[q] * v[j] * (n[0] * g[3 * k] + n[1] * g[3 * k + 1] + n[2] * g[3 * k + 2]) / e.rho;
            for (std::int64_t s = 0; s < ns; ++s)
                f[j * ns + s] += e.quadWeight[q] * v[j] * (n[0] * lf[3 * s] + n[1] * lf[3 * s + 1] + n[2] * lf[3 * s + 2]);
        }
    }
    for (int j = 0; j < nb; ++j)
        for (int k = j + 1; k < nb; ++k) m[j * nb + k] = m[k * nb + j] = 0.5 * (m[j * nb + k] + m[k * nb + j]);
    // Cholesky (lower) and the two triangular solves per sensor.
    for (int j = 0; j < nb; ++j) {
        for (int k = 0; k < j; ++k) m[j * nb + j] -= m[j * nb + k] * m[j * nb + k];
        ASSERT_GT(m[j * nb + j], 0.0);
        m[j * nb + j] = std::sqrt(m[j * nb + j]);
        for (int i = j + 1; i < nb; ++i) {
            for (int k = 0; k < j; ++k) m[i * nb + j] -= m[i * nb + k] * m[j * nb + k];
            m[i * nb + j] /= m[j * nb + j];
        }
    }
    for (std::int64_t s = 0; s < ns; ++s) {
        for (int i = 0; i < nb; ++i) {
            for (int k = 0; k < i; ++k) f[i * ns + s] -= m[i * nb + k] * f[k * ns + s];
            f[i * ns + s] /= m[i * nb + i];
        }
        for (int i = nb - 1; i >= 0; --i) {
            for (int k = i + 1; k < nb; ++k) f[i * ns + s] -= m[k * nb + i] * f[k * ns + s];
            f[i * ns + s] /= m[i * nb + i];
        }
    }
    EXPECT_LT(relDiff(c.coef, f), 1e-12);
    // The correction of every source, one at a time.
    std::vector<double> scalar(rig.sources.size() / 3 * 3 * ns);
    for (std::size_t i = 0; i < rig.sources.size() / 3; ++i) {
        double x[3];
        for (int k = 0; k < 3; ++k) x[k] = (rig.sources[3 * i + k] - e.centre[k]) / e.rho;
        h.gradients(x, g.data());
        double* out = scalar.data() + i * 3 * ns;
        sarvas(rig, rig.sources.data() + 3 * i, out);
        for (std::int64_t s = 0; s < ns; ++s)
            for (int k = 0; k < 3; ++k)
                for (int j = 0; j < nb; ++j) out[3 * s + k] -= g[3 * j + k] / e.rho * f[j * ns + s];
    }
    // 40 sources: a whole block of the product and a part block.
    EXPECT_LT(relDiff(corrected(c, rig), scalar), 1e-12);
}

// The surface's part is built once per model and its copies, and a cached
// expansion gives the bits of a fresh one for any sensor set.
TEST(SingleShell, ExpansionIsBuiltOnceAndGivesTheBitsOfAFreshOne) {
    const Surface egg = shelltest::icosphere(3, {0.072, 0.082, 0.070}, {0.001, -0.002, 0.003});
    megfwd::head::ShellOptions o;
    o.order = 6;
    const auto model = megfwd::head::SingleShell::make(egg, o);
    const auto first = model.expansion();
    EXPECT_EQ(model.expansion(), first);
    const auto copy = model;
    EXPECT_EQ(copy.expansion(), first);
    auto other = model;
    other.options.order = 5;  // changed after make(): its own expansion
    EXPECT_EQ(other.expansion()->order, 5);
    EXPECT_EQ(model.expansion(), first);

    const Rig a = smallRig();
    Rig b = a;  // another sensor set: fewer sensors, further out
    b.sensors.resize(6 * 20);
    for (std::size_t i = 0; i < b.sensors.size(); i += 6)
        for (int k = 0; k < 3; ++k) b.sensors[i + k] *= 1.1;
    auto fitWith = [](const megfwd::head::SingleShell& m, const Rig& rig) {
        std::vector<double> points;
        for (std::int64_t s = 0; s < rig.numSensors(); ++s)
            points.insert(points.end(), rig.sensors.begin() + 6 * s, rig.sensors.begin() + 6 * s + 3);
        return megfwd::head::fitShellCorrection(
            m, {}, points, [](std::int64_t p) { return "sensor #" + std::to_string(p); }, rig.numSensors(),
            [&](const double* pos, std::int64_t count, double* out) {
                for (std::int64_t i = 0; i < count; ++i) sarvas(rig, pos + 3 * i, out + i * 3 * rig.numSensors());
            });
    };
    const auto cachedA = fitWith(model, a);
    const auto cachedB = fitWith(model, b);
    EXPECT_EQ(cachedB.expansion, first);
    const auto fresh = megfwd::head::SingleShell::make(egg, o);
    const auto freshB = fitWith(fresh, b);
    EXPECT_NE(freshB.expansion, first);
    EXPECT_EQ(freshB.coef, cachedB.coef);
    EXPECT_EQ(corrected(freshB, b), corrected(cachedB, b));
    EXPECT_EQ(fitWith(fresh, a).coef, cachedA.coef);
}

}  // namespace
