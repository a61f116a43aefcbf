#include "forward_fast/FastGradient.h"

#include <algorithm>

#include "forward_engine/PointGradients.h"

namespace megfwd::fast {

namespace {

// Values (3) and derivatives (9) of one row.
constexpr int kRowValues = 12;

using PointGradientFn = bool (*)(double, const double*, const double*, const double*, double*, double*);

PointGradientFn gradientOf(PointFamily family) {
    switch (family) {
        case PointFamily::Sarvas: return &phys::sarvasAxesNormalGrad;
        case PointFamily::BiotSavart: return &phys::biotSavartAxesNormalGrad;
        case PointFamily::MagneticDipole:
        case PointFamily::MagneticTensor: return &phys::magneticDipoleAxesNormalGrad;
        case PointFamily::Cuffin: break;
    }
    return nullptr;
}

}  // namespace

std::string gradientRefusal(const CFastLeadfield& plan) {
    if (!plan.isBuilt) return "the plan is not built";
    if (plan.numComp != 3)
        return "gradients are computed for three-component leadfields; two tangential components (isTangLfd) "
               "turn with the source";
    if (plan.isGeneric) return "the Grynszpan formulas (coilFwdModel 6) have no analytic gradient here";
    if (!gradientOf(plan.family)) return "the Cuffin formula (CF_FT05) has no analytic gradient here";
    return {};
}

GradientScratch::GradientScratch(const CFastLeadfield& plan)
    : rows(static_cast<std::size_t>((plan.numMea + plan.numRef + 1) * kRowValues)) {
    if (plan.pShell) {
        shell = std::make_unique<head::ShellCorrection::Workspace>(plan.pShell->expansion->order,
                                                                   plan.pShell->numSensors);
        basis = std::make_unique<head::SolidHarmonics>(plan.pShell->expansion->order);
    }
}

GradientScratch::~GradientScratch() = default;

int leadfieldGradient(const CFastLeadfield& plan, const double* src, double* L, double* dL, GradientScratch& s) {
    const PointGradientFn fn = gradientOf(plan.family);
    const std::int64_t nRows = plan.numMea + plan.numRef;
    double* R = s.rows.data();
    bool ok = fn != nullptr;
    // The factor is folded into each point's weight (wk), so the formulas
    // run with k = 1.
    for (std::int64_t r = 0; ok && r < nRows; ++r) {
        double acc[kRowValues] = {};
        for (std::int64_t i = plan.rowStart[r]; i < plan.rowStart[r + 1]; ++i) {
            const double p[3] = {plan.px[i], plan.py[i], plan.pz[i]};
            const double n[3] = {plan.nx[i], plan.ny[i], plan.nz[i]};
            const double r0[3] = {src[0] - plan.ox[i], src[1] - plan.oy[i], src[2] - plan.oz[i]};
            double val[3], grad[9];
            if (!fn(1.0, p, r0, n, val, grad) && plan.isFailOnNoValue) {
                ok = false;
                break;
            }
            const double w = plan.wk[i];
            for (int j = 0; j < 3; ++j) acc[j] += w * val[j];
            for (int j = 0; j < 9; ++j) acc[3 + j] += w * grad[j];
        }
        std::copy(acc, acc + kRowValues, R + kRowValues * r);
    }
    std::fill(R + kRowValues * nRows, R + kRowValues * (nRows + 1), 0.0);  // the row of a weight without reference
    for (std::int64_t m = 0; m < plan.numMea; ++m) {
        double v[kRowValues];
        std::copy(R + kRowValues * m, R + kRowValues * (m + 1), v);
        for (std::int64_t w = plan.refStart[m]; w < plan.refStart[m + 1]; ++w) {
            const double* ref = R + kRowValues * plan.refRow[w];
            const double c = plan.refCoef[w];
            for (int k = 0; k < kRowValues; ++k) v[k] -= c * ref[k];
        }
        if (!ok) std::fill(v, v + kRowValues, 0.0);
        if (L) std::copy(v, v + 3, L + 3 * m);
        if (dL) std::copy(v + 3, v + kRowValues, dL + 9 * m);
    }
    if (ok && plan.pShell) {
        if (L) plan.pShell->apply(src, L, *s.shell);
        if (dL) plan.pShell->applyHessian(src, dL, *s.basis, s.hess);
    }
    return ok ? 1 : 0;
}

}  // namespace megfwd::fast
