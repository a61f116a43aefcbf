// The sensors of a computation, prepared once: the channel set built on one
// manager with the computation's settings, and on the fast path the plan
// every source is computed with (CFastScanPlan: spheres, frame, the
// sources' flat preparation, integration points, the post-processing's
// signs, and the single-shell correction fitted to those points). The
// leadfields, the field values, the shell fit and the dipole fit all start
// here.
#pragma once

#include <memory>

#include "forward_api/Compute.h"
#include "forward_fast/CFastScanPlan.h"
#include "head_model/SingleShell.h"

namespace megfwd {

// The first steps of every computation: the settings on `engine` and
// `data`, and the channel set of `sys` (reference sensors join it only with
// reference correction on: without it they have nothing to subtract from).
// Throws InputError for fewer than 2 measurement sensors or a local-sphere
// table that does not fit the sensors, ComputeError when the library
// refuses the channel set.
void setUpChannels(CMForwardkw& engine, CMDataForwardkw& data, const SystemRef& sys,
                   const SettingOverrides& settings);

// Prepares `plan` from `data`, set up by setUpChannels (taken over), with one
// probe source at `probe` (host frame, mm; the manager's preparation needs a
// source). With `shell`, the correction is fitted to the plan's sensors in
// the scan's frame (on `threads` threads) and handed to the plan. `engine`
// must outlive the plan. Throws ComputeError naming the step that failed,
// InputError for settings the single shell refuses.
void prepareSensorPlan(CFastScanPlan& plan, CMForwardkw& engine, std::unique_ptr<CMDataForwardkw> data,
                       const SystemRef& sys, const double probe[3], const head::SingleShell* shell, int threads);

// Both steps on a fresh manager.
void prepareSensorPlan(CFastScanPlan& plan, CMForwardkw& engine, const SystemRef& sys,
                       const SettingOverrides& settings, const double probe[3], const head::SingleShell* shell,
                       int threads);

}  // namespace megfwd
