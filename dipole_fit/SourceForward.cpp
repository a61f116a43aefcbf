#include "dipole_fit/SourceForward.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

#include "base/Errors.h"
#include "forward_api/LocalSpheresFile.h"
#include "forward_api/ResultFacts.h"
#include "forward_api/SensorPlan.h"
#include "forward_api/ShellScan.h"

namespace megfwd::dipole {

namespace {

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The sphere a single shell corrects when the caller gives none: the
// surface's least-squares sphere, as the leadfield computation takes it.
SettingOverrides withShellSphere(const SettingOverrides& s, const head::SingleShell* shell) {
    SettingOverrides out = s;
    if (shell && !s.sphereModel && !s.userSphere && !s.localSpheres) {
        out.sphereModel = 1;
        out.userSphere = shell->fittedSphere();
    }
    return out;
}

// The settings, or an InputError naming one that gradients and fits refuse.
const SettingOverrides& checked(const SettingOverrides& settings) {
    if (settings.isTangLfd.value_or(0))
        throw InputError("gradients and dipole fits take three-component leadfields; two tangential components "
                         "(isTangLfd) are refused");
    if (settings.isUnitLf.value_or(0))
        throw InputError("gradients and dipole fits take leadfields in physical units; the unit leadfield "
                         "(isUnitLf) is refused");
    return settings;
}

}  // namespace

SourceForward::SourceForward(const SystemRef& sys, const SettingOverrides& given,
                             std::shared_ptr<const head::SingleShell> shell, int threads)
    : lease_(sys, checked(withShellSphere(given, shell.get())), shell) {
    const double origin[3] = {0.0, 0.0, 0.0};
    lease_.prepare(nullptr, sys, origin, std::max(1, threads));
    refusal_ = megfwd::fast::gradientRefusal(plan().leadfield());

    // A, column by column: the frame change of the axes' unit vectors less
    // that of the origin (the change is affine; the stencil is left out).
    CFlatSources frame = plan().sources();
    frame.isSpatConstrained = 0;
    const double pts[12] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};
    double out[12];
    std::int32_t in[4], modes[4];
    frame.prepare(pts, 4, out, in, modes);
    for (int m = 0; m < 3; ++m)
        for (int k = 0; k < 3; ++k) jacobian_[3 * k + m] = out[3 * (m + 1) + k] - out[k];
}

SourceForward::~SourceForward() = default;

SourceForward::Scratch::Scratch(const SourceForward& f)
    : grad(f.plan().leadfield()), scan(static_cast<std::size_t>(12 * std::max<std::int64_t>(1, f.numSensors()))),
      slice(static_cast<std::size_t>(3 * std::max<std::int64_t>(1, f.numSensors()))) {}

void SourceForward::toScan(const double* host, double* scan, std::int32_t* in, std::int32_t* mode) const {
    plan().sources().prepare(host, 1, scan, in, mode);
}

bool SourceForward::evaluate(const double host[3], double* L, double* dL, Scratch& s) const {
    const std::int64_t ns = numSensors();
    auto clear = [&] {
        if (L) std::fill(L, L + 3 * ns, 0.0);
        if (dL) std::fill(dL, dL + 9 * ns, 0.0);
        return false;
    };
    if (!refusal_.empty()) throw InputError(refusal_);
    double pos[3];
    std::int32_t in = 0, mode = 0;
    toScan(host, pos, &in, &mode);
    if (in != 1) return clear();
    double* Ls = s.scan.data();          // numMea x 3
    double* dLs = Ls + 3 * ns;           // numMea x 3 x 3 (component, d/dscan)
    if (!megfwd::fast::leadfieldGradient(plan().leadfield(), pos, Ls, dLs, s.grad)) return clear();
    if (L) {
        std::copy(Ls, Ls + 3 * ns, L);
        plan().post().applyLocal(L, 1, &mode);
    }
    if (dL) {
        // Each scan-frame derivative as a leadfield of its own through the
        // axis restore and the signs, then the chain rule through A.
        double* slice = s.slice.data();
        std::fill(dL, dL + 9 * ns, 0.0);
        for (int k = 0; k < 3; ++k) {
            for (std::int64_t i = 0; i < 3 * ns; ++i) slice[i] = dLs[3 * i + k];
            plan().post().applyLocal(slice, 1, &mode);
            for (std::int64_t i = 0; i < 3 * ns; ++i)
                for (int m = 0; m < 3; ++m) dL[3 * i + m] += slice[i] * jacobian_[3 * k + m];
        }
    }
    return true;
}

void SourceForward::leadfields(const double* host, std::int64_t count, double* out, int threads,
                               std::int32_t* inScan) const {
    std::vector<double> pos(static_cast<std::size_t>(3 * count));
    std::vector<std::int32_t> in(static_cast<std::size_t>(count)), modes(static_cast<std::size_t>(count));
    plan().sources().prepare(host, count, pos.data(), in.data(), modes.data());
    std::int64_t failed = -1;
    if (!plan().leadfield().compute(pos.data(), in.data(), count, out, std::max(1, threads), &failed))
        throw ComputeError("the leadfield of source " + std::to_string(failed) +
                           " could not be computed: the formula has no value there");
    plan().post().applyLocal(out, count, modes.data());
    if (inScan) std::copy(in.begin(), in.end(), inScan);
}

Sphere SourceForward::scanSphere() const {
    const nlohmann::json j = detail::scanSphereJson(plan().geometry());
    const auto& c = j.at("center_mm");
    return {{c.at(0).get<double>(), c.at(1).get<double>(), c.at(2).get<double>()}, j.at("radius_mm").get<double>()};
}

ForwardResult computeLeadfieldGradient(const SystemRef& sys, const SourceSpec& src, const LeadfieldRequest& req) {
    if (req.layout != LeadfieldLayout::SourceMajor)
        throw InputError(src.label + ": gradients are (sources, sensors, 3, 3); the sensor-major layout is for "
                         "leadfields");
    if (req.rmsNormalise || req.unitMomentScan || req.recordScan)
        throw InputError(src.label + ": gradients are made by the fast route without normalisation");
    SourceForward model(sys, req.settings, req.singleShell, req.threads > 0 ? req.threads : 1);
    const std::int64_t n = src.count();
    std::vector<double> hostPos;
    if (src.grid) {
        CGrid3D grid(src.grid->minCorner, src.grid->maxCorner, src.grid->step);
        hostPos.resize(static_cast<std::size_t>(3 * grid.numPoints));
        for (std::int64_t i = 0; i < grid.numPoints; ++i) grid.getPoint(i, hostPos.data() + 3 * i);
    } else {
        hostPos = src.positions;
    }
    if (n < 1 || static_cast<std::int64_t>(hostPos.size()) != 3 * n)
        throw ComputeError(src.label + ": the source positions could not be set");
    const std::int64_t ns = model.numSensors();
    checkMemory(static_cast<double>(n) * 9.0 * 8.0 * static_cast<double>(ns),
                src.label + ": " + std::to_string(n) + " sources x " + std::to_string(ns) + " sensors x 9");

    ForwardResult r;
    r.values.assign(static_cast<std::size_t>(n * ns * 9), 0.0);
    r.inScan.assign(static_cast<std::size_t>(n), 0);
    const int threads = std::max(1, req.threads > 0 ? req.threads : megfwd::fast::hardwareThreads());
    std::atomic<std::int64_t> next{0}, done{0};
    std::atomic<bool> stop{false};
    std::mutex progressLock;
    std::exception_ptr error;
    auto work = [&] {
        try {
            SourceForward::Scratch s(model);
            for (std::int64_t i; !stop.load() && (i = next.fetch_add(1)) < n;) {
                r.inScan[static_cast<std::size_t>(i)] =
                    model.evaluate(hostPos.data() + 3 * i, nullptr, r.values.data() + 9 * ns * i, s) ? 1 : 0;
                const std::int64_t d = done.fetch_add(1) + 1;
                if (req.progress && (d % 64 == 0 || d == n)) {
                    std::lock_guard<std::mutex> g(progressLock);
                    if (!req.progress(d, n)) stop = true;
                }
            }
        } catch (...) {
            std::lock_guard<std::mutex> g(progressLock);
            if (!error) error = std::current_exception();
            stop = true;
        }
    };
    const double t0 = now();
    std::vector<std::thread> helpers;
    for (int t = 1; t < threads && t < n; ++t) helpers.emplace_back(work);
    work();
    for (std::thread& t : helpers) t.join();
    r.seconds = now() - t0;
    if (error) std::rethrow_exception(error);
    if (stop) throw Cancelled();
    for (std::size_t i = 0; i < r.values.size(); ++i)
        if (!std::isfinite(r.values[i]))
            throw ComputeError("the gradient of source " + std::to_string(i / static_cast<std::size_t>(9 * ns)) +
                               " is not finite");

    CMDataForwardkw& data = model.geometry();
    detail::sensorInfo(data, sys, r);
    for (std::int64_t i = 0; i < n; ++i)
        r.sourcePositions.push_back({hostPos[3 * i], hostPos[3 * i + 1], hostPos[3 * i + 2]});
    r.shape = {n, ns, 3, 3};
    const nlohmann::json scanSphere = detail::scanSphereJson(data);
    detail::leadfieldMeta(r, sys, src, req, model.engine(), data, scanSphere, ScanKind::Lfd, 1.0,
                          {{"path", "analytic gradient on the fast path's integration points"},
                           {"threads", threads},
                           {"sensor_plan", model.planOrigin()}});
    if (!req.metadata) return r;
    r.meta["array"]["axes"] = {"source", "sensor", "component", "derivative"};
    r.meta["array"]["derivatives"] = "d/dx, d/dy, d/dz of the source position (host axes), per millimetre";
    r.meta["values"]["quantity"] = "leadfield gradient";
    r.meta["values"]["unit"] = r.unit.label + " per mm";
    if (model.shell()) r.meta["single_shell"] = shellJson(*req.singleShell, *model.shell());
    return r;
}

}  // namespace megfwd::dipole
