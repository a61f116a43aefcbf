// A system's forward model at arbitrary source positions: leadfields and
// their derivatives with respect to the source position, in the host frame
// (millimetres), for the dipole fit and for leadfield gradients.
//
// The sensors are prepared once, as the fast leadfield route prepares them
// (forward_fast/CFastScanPlan.h): a plan of the sensors' integration points,
// the sources' frame change (centre shift, axes, scan unit) and the
// post-processing's axis restore and sensor signs. The frame change is
// affine, p_scan = A p_host + b, so with the restore R of the components
// (the identity, or the inverse axis change) the host-frame gradient is
//   dL_host/dp_host = R (dL_scan/dp_scan) A,
// A read off the preparation itself, so that it follows every setting.
//
// A system with kept sensor plans (SystemRef::plans) lends its plan for
// equal settings and the same shell, as it does to leadfields, and gets the
// plan back when the SourceForward goes: repeated gradient calls and fits on
// one sensor array prepare the sensors once.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "forward_api/Compute.h"
#include "forward_api/SensorPlan.h"
#include "forward_fast/CFastScanPlan.h"
#include "forward_fast/FastGradient.h"
#include "head_model/SingleShell.h"

namespace megfwd::dipole {

class SourceForward {
public:
    // Prepares the system with `settings` (three components; no unit
    // leadfield), or takes the plan the system keeps for them. With `shell`
    // the correction is fitted here (`threads` for that fit). Throws
    // InputError for settings the gradient cannot serve (naming the setting)
    // and ComputeError when the preparation fails.
    SourceForward(const SystemRef& system, const SettingOverrides& settings,
                  std::shared_ptr<const head::SingleShell> shell = nullptr, int threads = 1);
    ~SourceForward();  // hands the plan back to the system's plans (PlanLease)
    SourceForward(const SourceForward&) = delete;
    SourceForward& operator=(const SourceForward&) = delete;

    std::int64_t numSensors() const { return plan().numSensors(); }
    // Whether the plan was kept from an earlier computation, and what the
    // metadata says of it.
    bool planWasKept() const { return lease_.lent(); }
    const char* planOrigin() const { return lease_.origin(); }

    // Per-thread working memory.
    class Scratch {
    public:
        explicit Scratch(const SourceForward& f);

    private:
        friend class SourceForward;
        megfwd::fast::GradientScratch grad;
        std::vector<double> scan;   // numSensors x 12
        std::vector<double> slice;  // numSensors x 3
    };

    // L (numSensors x 3, may be null) and dL (numSensors x 3 x 3: sensor,
    // moment component, d/dx_host; may be null) of the source at `host`
    // (mm). Values in the settings' unit (T/(A m) with SI settings), the
    // derivatives per mm. False (values zero) for a source out of the scan
    // or where the formula has no value.
    bool evaluate(const double host[3], double* L, double* dL, Scratch& s) const;

    // Leadfields only, of `count` sources (host mm) into out (count x
    // numSensors x 3), with `threads` threads; inScan (count, may be null)
    // gets 1 for a source in the scan.
    void leadfields(const double* host, std::int64_t count, double* out, int threads,
                    std::int32_t* inScan = nullptr) const;

    // The scan sphere (centre x, y, z and radius, host frame, mm): the one
    // the sphere model selects, as the metadata names it.
    Sphere scanSphere() const;

    // The engine and the manager of the prepared geometry, for metadata.
    CMForwardkw& engine() { return lease_.engine(); }
    CMDataForwardkw& geometry() { return lease_.plan().geometry(); }
    const std::optional<head::ShellCorrection>& shell() const { return plan().shell(); }
    double fitSeconds() const { return plan().shellSeconds(); }

private:
    const CFastScanPlan& plan() const { return lease_.plan(); }
    PlanLease lease_;          // the engine and the plan
    double jacobian_[9] = {};  // A: d p_scan / d p_host, row-major
    std::string refusal_;      // why gradients cannot be made (leadfields still can)
    void toScan(const double* host, double* scan, std::int32_t* in, std::int32_t* mode) const;
};

// Leadfield gradients of every source: shape (sources, sensors, 3, 3),
// sensor order and value unit as computeLeadfield's, per millimetre of host
// position; sources out of the scan are zero. Threads over sources
// (request.threads, 0 all cores); the progress callback may cancel.
ForwardResult computeLeadfieldGradient(const SystemRef& system, const SourceSpec& sources,
                                       const LeadfieldRequest& request);

}  // namespace megfwd::dipole
