// The sensors of a computation, prepared once: the channel set built on one
// manager with the computation's settings, and on the fast path the plan
// every source is computed with (CFastScanPlan: spheres, frame, the
// sources' flat preparation, integration points, the post-processing's
// signs, and the single-shell correction fitted to those points). The
// leadfields, the field values, the shell fit and the dipole fit all start
// here.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

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

// A sensor plan with the engine it reads and what it was made for.
struct KeptPlan {
    SettingOverrides settings;
    std::shared_ptr<const head::SingleShell> shell;
    CMForwardkw engine;  // declared before the plan, which points at it and goes first
    CFastScanPlan plan;
};


// Sensor plans kept between computations on one system, for callers that
// compute on the same sensors again and again (the Python module keeps one
// with each sensor array): a computation takes a plan made with equal
// settings and the same single shell, or makes one, and hands it back when
// it is done, so no two computations use one plan at once (a plan reads
// nothing that changes, but a computation points its engine at the plan's
// geometry). Threads do not matter: a plan and its shell fit are the same
// bits on any number of threads. The plan's probe source does not either:
// every source of a computation is computed with the plan made at its
// first one.
class SensorPlanCache {
public:
    // Plans kept at most; the least recently handed back goes first.
    static constexpr std::size_t kKept = 4;

    // A kept plan for these settings and shell, no longer kept; or null.
    std::unique_ptr<KeptPlan> take(const SettingOverrides& settings, const head::SingleShell* shell);
    // Keeps `plan` for a later take.
    void keep(std::unique_ptr<KeptPlan> plan);
    std::size_t size() const;

private:
    mutable std::mutex lock;
    std::vector<std::unique_ptr<KeptPlan>> kept;  // least recently handed back first
};

// One computation's sensor plan: lent by the system's kept plans
// (SystemRef::plans) for equal settings and the same shell, or made for the
// computation by prepare(). When the lease ends the plan goes back to the
// system's plans, unless it was never prepared or its preparation showed a
// message (a later computation would miss that message). Computations only
// read a prepared plan, so it goes back as it came, whatever happened since.
class PlanLease {
public:
    PlanLease(const SystemRef& sys, const SettingOverrides& settings, std::shared_ptr<const head::SingleShell> shell);
    ~PlanLease();
    PlanLease(const PlanLease&) = delete;
    PlanLease& operator=(const PlanLease&) = delete;

    // Whether the plan was kept from an earlier computation (and needs no
    // preparation).
    bool lent() const { return wasLent; }
    // Prepares a plan that was not lent (prepareSensorPlan) from `data`, set
    // up by setUpChannels on engine(), or, when `data` is null, from a
    // manager set up here with the lease's settings. Does nothing when lent.
    void prepare(std::unique_ptr<CMDataForwardkw> data, const SystemRef& sys, const double probe[3], int threads);

    CMForwardkw& engine() { return held->engine; }
    CFastScanPlan& plan() { return held->plan; }
    const CFastScanPlan& plan() const { return held->plan; }
    // What the metadata says of the plan ("sensor_plan").
    const char* origin() const;

private:
    SensorPlanCache* cache;
    std::unique_ptr<KeptPlan> held;
    bool wasLent = false;
    bool mayKeep = false;
    std::uint64_t messagesBefore = 0;
};

}  // namespace megfwd
