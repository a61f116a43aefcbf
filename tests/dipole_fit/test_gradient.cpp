// Leadfield gradients against central differences of the leadfield itself,
// for every formula family with an analytic derivative, both sensor models,
// with and without reference correction, local spheres and a frame change.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "dipole_fit/SourceForward.h"
#include "base/Errors.h"
#include "forward_api/LocalSpheresFile.h"
#include "forward_api/SensorPlan.h"
#include "forward_engine/PointGradients.h"
#include "head_model/SingleShell.h"
#include "head_model/SolidHarmonics.h"
#include "head_model/ShellSurfaces.h"
#include "support/DemoInputs.h"

using namespace megfwd;

namespace {

// Sources inside the demo helmet, away from the sphere centre.
const std::vector<double> kSources = {10, 30, 20, -35, 45, -5, 0, 60, 40, 25, 10, -30};

// max |analytic - central difference| / max |gradient|, over every source,
// sensor, component and direction. h = 1e-3 mm: the differences' own error
// (h^2 f''' and rounding / h) is below 1e-9 of the gradient here.
double gradientError(const SystemRef& sys, const LeadfieldRequest& req) {
    SourceSpec src;
    src.positions = kSources;
    src.label = "sources";
    const ForwardResult g = dipole::computeLeadfieldGradient(sys, src, req);
    const std::int64_t n = g.shape[0], ns = g.shape[1];
    const double h = 1e-3;
    double err = 0.0, scale = 0.0;
    for (int m = 0; m < 3; ++m) {
        SourceSpec plus = src, minus = src;
        for (std::int64_t i = 0; i < n; ++i) plus.positions[3 * i + m] += h, minus.positions[3 * i + m] -= h;
        const ForwardResult a = computeLeadfield(sys, plus, req), b = computeLeadfield(sys, minus, req);
        for (std::int64_t i = 0; i < n * ns * 3; ++i) {
            const double fd = (a.values[i] - b.values[i]) / (2 * h);
            const double an = g.values[3 * i + m];
            err = std::max(err, std::abs(an - fd));
            scale = std::max(scale, std::abs(an));
        }
    }
    EXPECT_GT(scale, 0.0);
    return err / scale;
}

}  // namespace

// Each point formula's derivative against its own central differences, at
// points near and far, so that a wrong term in the chain rule shows alone.
TEST(PointGradients, EachFormulaMatchesCentralDifferences) {
    using Fn = bool (*)(double, const double*, const double*, const double*, double*, double*);
    const struct {
        const char* name;
        Fn fn;
    } formulas[] = {{"sarvas", &phys::sarvasAxesNormalGrad},
                    {"biot-savart", &phys::biotSavartAxesNormalGrad},
                    {"magnetic dipole", &phys::magneticDipoleAxesNormalGrad}};
    const double r[3] = {12, 95, 31}, n[3] = {0.1, 0.95, 0.3};
    for (const auto& f : formulas)
        for (const auto& r0 : {std::array<double, 3>{5, 40, -10}, std::array<double, 3>{-20, 70, 30}}) {
            SCOPED_TRACE(f.name);
            double v[3], g[9];
            ASSERT_TRUE(f.fn(1.0, r, r0.data(), n, v, g));
            for (int m = 0; m < 3; ++m) {
                const double h = 1e-4;
                double p[3] = {r0[0], r0[1], r0[2]}, q[3] = {r0[0], r0[1], r0[2]};
                p[m] += h, q[m] -= h;
                double vp[3], vq[3], gp[9];
                f.fn(1.0, r, p, n, vp, gp);
                f.fn(1.0, r, q, n, vq, gp);
                for (int j = 0; j < 3; ++j)
                    EXPECT_NEAR(g[3 * j + m], (vp[j] - vq[j]) / (2 * h), 1e-7 * std::abs(g[3 * j + m]) + 1e-14)
                        << "component " << j << ", d/dr0_" << m;
            }
        }
    // The Sarvas field of a source at the field point has no value.
    double v[3], g[9];
    EXPECT_FALSE(phys::sarvasAxesNormalGrad(1.0, r, r, n, v, g));
    EXPECT_EQ(g[4], 0.0);
}

TEST(LeadfieldGradient, MatchesCentralDifferencesOfTheLeadfield) {
    test::DemoInputs in;
    const struct {
        const char* name;
        std::optional<int> formula, model, magnetic, coord;
        bool si;
    } cases[] = {
        {"sarvas default, ctf", {}, 1, {}, {}, false},
        {"scalar sarvas, standard model", 1, 0, {}, {}, false},
        {"sarvas, SI and Matlab axes", {}, 1, {}, 1, true},
        {"biot-savart", 5, 1, {}, {}, false},
        {"magnetic dipole", {}, 1, 1, {}, false},
    };
    for (const auto& c : cases)
        for (int refs : {0, 1}) {
            SCOPED_TRACE(std::string(c.name) + (refs ? ", references" : ", no references"));
            LeadfieldRequest req;
            req.threads = 2;
            req.settings.coilFwdModel = c.formula;
            req.settings.snsFwdModel = c.model;
            req.settings.isMagSrc = c.magnetic;
            req.settings.coordSystem = c.coord;
            req.settings.si = c.si;
            req.settings.isUseRefSns = refs;
            EXPECT_LT(gradientError(in.sys, req), 2e-6);
        }
}

TEST(LeadfieldGradient, LocalSpheresMoveEachSensorsOrigin) {
    test::DemoInputs in;
    const head::Surface egg = head::Surface::fromPoints(shelltest::spiralPoints({2, 10, -3}, {70, 82, 88}, 3000), "egg");
    LeadfieldRequest req;
    req.settings.localSpheres = std::make_shared<head::LocalSpheres>(
        head::fitLocalSpheres(egg, sensorSites(*in.sys.trial, true), head::LocalSphereOptions{}));
    EXPECT_LT(gradientError(in.sys, req), 2e-6);
}

TEST(LeadfieldGradient, RefusesWhatItCannotDifferentiate) {
    test::DemoInputs in;
    SourceSpec src;
    src.positions = kSources;
    LeadfieldRequest req;
    req.settings.isTangLfd = 1;
    EXPECT_THROW(dipole::computeLeadfieldGradient(in.sys, src, req), InputError);
    req.settings = {};
    req.settings.coilFwdModel = 4;  // Cuffin
    EXPECT_THROW(dipole::computeLeadfieldGradient(in.sys, src, req), InputError);
}

// The basis' second derivatives against differences of its gradients, at a
// point inside and one outside the unit ball.
TEST(LeadfieldGradient, HarmonicHessiansMatchDifferencesOfGradients) {
    head::SolidHarmonics b(6);
    const int n = b.count();
    std::vector<double> h(6 * n), gp(3 * n), gm(3 * n);
    const int slot[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
    for (const auto& x : {std::array<double, 3>{0.3, -0.2, 0.5}, std::array<double, 3>{-0.7, 0.6, 0.4}}) {
        b.hessians(x.data(), h.data());
        for (int m = 0; m < 3; ++m) {
            const double e = 1e-6;
            auto p = x, q = x;
            p[m] += e, q[m] -= e;
            b.gradients(p.data(), gp.data());
            b.gradients(q.data(), gm.data());
            for (int j = 0; j < n; ++j)
                for (int k = 0; k < 3; ++k)
                    EXPECT_NEAR(h[6 * j + slot[k][m]], (gp[3 * j + k] - gm[3 * j + k]) / (2 * e), 1e-7)
                        << "basis " << j << ", d2/dx" << k << "dx" << m;
        }
    }
}

TEST(LeadfieldGradient, SingleShellMatchesCentralDifferences) {
    test::DemoInputs in;
    head::ShellOptions o;
    o.order = 8;
    auto s = shelltest::icosphere(3, {68, 78, 84}, {2, 12, -3});
    s.label = "skull";
    LeadfieldRequest req;
    req.singleShell = std::make_shared<head::SingleShell>(head::SingleShell::make(std::move(s), o));
    // SI scans in metres: the correction's frame then scales as well.
    for (int refs : {0, 1})
        for (bool si : {false, true}) {
            SCOPED_TRACE(std::string(refs ? "references" : "no references") + (si ? ", SI" : ""));
            req.settings.isUseRefSns = refs;
            req.settings.si = si;
            EXPECT_LT(gradientError(in.sys, req), 2e-6);
        }
}

// A system with kept sensor plans lends the same plan to leadfields and
// gradients: each finds the plan the other left, with and without a shell
// (whose sphere both routes add to the settings), and gives the bits of a
// fresh plan; a plan the dipole fit's SourceForward took goes back when it
// goes.
TEST(LeadfieldGradient, SharesKeptPlansWithLeadfields) {
    test::DemoInputs in;
    SourceSpec src;
    src.positions = kSources;
    src.label = "sources";
    SensorPlanCache plans;
    SystemRef kept = in.sys;
    kept.plans = &plans;
    auto s = shelltest::icosphere(3, {68, 78, 84}, {2, 12, -3});
    s.label = "skull";
    head::ShellOptions o;
    o.order = 4;
    const auto shell = std::make_shared<head::SingleShell>(head::SingleShell::make(std::move(s), o));
    const std::string keptText = "kept from an earlier computation on these sensors with the same settings";
    for (bool withShell : {false, true}) {
        SCOPED_TRACE(withShell ? "single shell" : "sphere");
        LeadfieldRequest req;
        req.threads = 2;
        if (withShell) req.singleShell = shell;
        const ForwardResult lf = computeLeadfield(kept, src, req);
        EXPECT_NE(lf.meta["scan"]["sensor_plan"], keptText);
        const ForwardResult g = dipole::computeLeadfieldGradient(kept, src, req);
        EXPECT_EQ(g.meta["scan"]["sensor_plan"], keptText);
        EXPECT_EQ(g.values, dipole::computeLeadfieldGradient(in.sys, src, req).values);

        req.settings.orderCoilIntg = 5;  // a gradient prepares first this time
        EXPECT_NE(dipole::computeLeadfieldGradient(kept, src, req).meta["scan"]["sensor_plan"], keptText);
        const ForwardResult lf5 = computeLeadfield(kept, src, req);
        EXPECT_EQ(lf5.meta["scan"]["sensor_plan"], keptText);
        EXPECT_EQ(lf5.values, computeLeadfield(in.sys, src, req).values);
    }
    EXPECT_EQ(plans.size(), 4u);
    {
        const dipole::SourceForward fwd(kept, {}, nullptr, 1);
        EXPECT_TRUE(fwd.planWasKept());
        EXPECT_EQ(plans.size(), 3u);
    }
    EXPECT_EQ(plans.size(), 4u);
}
