// What one computation prepares about its sensors, once, before any source
// is computed: the manager with the channel set and the spheres in the
// scan's frame, the sources' preparation on flat arrays (CFlatSources), the
// sensors' integration points (CFastLeadfield), the post-processing's flags
// and signs (CFlatPostProcess) and, with the single-shell model, the
// correction fitted to those points.
//
// The channel set is built once, by the caller, on the manager handed to
// prepare; the manager's own preparation then runs in two halves with the
// host-frame geometry of the stencil read between them. The scan
// (CFastBlockScan), the shell fit and the dipole fit all read this one
// plan; nothing in it is written after prepare (and setShell), so any
// number of threads may compute with it at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "forward_fast/CFastLeadfield.h"
#include "forward_fast/FlatPostProcess.h"
#include "forward_fast/FlatSources.h"
#include "head_model/SingleShell.h"

class CFastScanPlan {
public:
    // Why prepare failed.
    enum class Failure {
        None,
        Geometry,  // the manager's preparation: channel set, spheres, frame, stencil geometry
        Plan,      // the integration points, the integration order, or memory
        Post,      // the post-processing's sensor signs
    };

    CFastScanPlan() = default;
    ~CFastScanPlan();
    CFastScanPlan(const CFastScanPlan&) = delete;
    CFastScanPlan& operator=(const CFastScanPlan&) = delete;

    // Prepares the plan from `data`: a manager with the scan's settings, its
    // channel set and one source position (the preparation needs one; its
    // record is released here), taken over. `engine` holds the scan's
    // settings and must outlive the plan (its tangent rules and coil members
    // read the manager). Returns 1, or 0 with failure() set.
    int prepare(CMForwardkw& engine, std::unique_ptr<CMDataForwardkw> data);

    // Hands the plan the single-shell correction fitted to its sensors, and
    // the seconds the fit took.
    void setShell(megfwd::head::ShellCorrection correction, double fitSeconds);

    const CMDataForwardkw& geometry() const { return *pGeometry; }
    CMDataForwardkw& geometry() { return *pGeometry; }
    const CFlatSources& sources() const { return flat; }
    const CFastLeadfield& leadfield() const { return points; }
    const CFlatPostProcess& post() const { return signs; }
    const std::optional<megfwd::head::ShellCorrection>& shell() const { return correction; }
    Failure failure() const { return failed; }
    bool isReady() const { return pGeometry && points.isBuilt; }
    std::int64_t numSensors() const { return points.numMea; }
    std::int64_t numComponents() const { return points.numComp; }
    // Seconds prepare and the shell fit took.
    double seconds() const { return prepareSeconds; }
    double shellSeconds() const { return fitSeconds; }

private:
    std::unique_ptr<CMDataForwardkw> pGeometry;
    CFlatSources flat;
    CFastLeadfield points;
    CFlatPostProcess signs;
    std::optional<megfwd::head::ShellCorrection> correction;
    CMForwardkw* pEngine = nullptr;
    Failure failed = Failure::None;
    double prepareSeconds = 0.0, fitSeconds = 0.0;
};
