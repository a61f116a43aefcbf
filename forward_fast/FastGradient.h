// Leadfields and their derivatives with respect to the source position on
// a fast-path plan (CFastLeadfield): the same flat integration points,
// weights, origins and reference weights, with each point's analytic
// derivative (forward_engine/PointGradients.h) summed beside its value.
//
// For sensor s and moment component j the plan's leadfield is
//   L_sj = sum_i w_i val_j(p_i, src - o_i, n_i) - sum_w c_w L_(ref w) j
//// a fixed linear combination of point values, so its derivative is the same
// combination of the points' derivatives: coil integration, the sensor's
// coils and the reference correction carry over unchanged, and local
// spheres only change each point's origin. The single shell subtracts the
// gradient of its fitted potential from each sensor's leadfield, so its
// derivative subtracts the potential's second derivatives
// (ShellCorrection::applyHessian).
//
// Only three-component leadfields of the Sarvas, Biot-Savart and
// magnetic-dipole families are differentiated; gradientRefusal names what
// else a plan uses.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "forward_fast/CFastLeadfield.h"

namespace megfwd::fast {

// Empty when the plan can be differentiated, else one sentence naming the
// setting that cannot.
std::string gradientRefusal(const CFastLeadfield& plan);

// Working memory of one thread.
class GradientScratch {
public:
    explicit GradientScratch(const CFastLeadfield& plan);
    ~GradientScratch();
    GradientScratch(const GradientScratch&) = delete;
    GradientScratch& operator=(const GradientScratch&) = delete;

private:
    friend int leadfieldGradient(const CFastLeadfield&, const double*, double*, double*, GradientScratch&);
    std::vector<double> rows;  // 12 per plan row: value (3), derivative (9)
    std::unique_ptr<head::ShellCorrection::Workspace> shell;
    std::unique_ptr<head::SolidHarmonics> basis;
    std::vector<double> hess;
};

// For one source (scan frame, as CFastLeadfield::compute takes it):
// L (numMea x 3, may be null) and dL (numMea x 3 x 3: sensor, moment
// component j, derivative m = d/dsrc_m). Returns 0 when a point has no
// value and the plan fails such sources (both arrays are then zero).
int leadfieldGradient(const CFastLeadfield& plan, const double* src, double* L, double* dL, GradientScratch& s);

}  // namespace megfwd::fast
