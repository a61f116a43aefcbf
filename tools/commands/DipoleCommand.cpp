// The dipole command: read the data and the noise covariance, prepare the
// forward, fit, write the table atomically and print it.
#include "tools/commands/DipoleCommand.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <thread>

#include "dipole_fit/DipoleFit.h"
#include "dipole_fit/SourceForward.h"
#include "forward_api/AtomicFile.h"
#include "base/Errors.h"
#include "forward_api/SensorArrayFile.h"
#include "tools/commands/Commands.h"
#include "tools/commands/Progress.h"
#include "tools/commands/SameFile.h"
#include "tools/formats/Npy.h"

namespace megfwd::io {
namespace {

// Moments in nA m and confidence lengths in mm: the sizes users read.
constexpr double kNanoPerUnit = 1e9;
constexpr double kMmPerM = 1000.0;

std::string fmt(const char* f, double v) {
    char buf[48];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

const char* kHeader =
    "time_s,x_mm,y_mm,z_mm,qx_nAm,qy_nAm,qz_nAm,amplitude_nAm,gof_percent,khi2,nfree,"
    "conf_vol_mm3,conf_depth_mm,conf_long_mm,conf_trans_mm,conf_qlong_nAm,conf_qtrans_nAm\n";

}  // namespace

int runDipole(const DipoleArgs& a, std::ostream& stdOut) {
    static std::ostream discard(nullptr);
    std::ostream& out = a.quiet ? discard : stdOut;
    refuseOutputsOverInputs({{a.sensors, "--sensors"}, {a.data, "--data"}, {a.noiseCov, "--noise-cov"}},
                            {{a.out, "--out"}});
    if (!a.request.settings.si)
        throw InputError("megfwd dipole fits in SI units (data in tesla, moments in A m); --library-scale, --mu4pi "
                         "and --scan-unit are refused");
    if (!(a.sfreq > 0) || !std::isfinite(a.sfreq)) throw InputError("--sfreq must be a positive number of Hz");
    auto sensors = loadSensorArray(a.sensors);
    const NpyArray data = readNpy(a.data);
    if (data.shape.size() != 2)
        throw InputError(a.data + ": expected an array of shape (channels, times), got " +
                         std::to_string(data.shape.size()) + " dimensions");
    for (double v : data.data)
        if (!std::isfinite(v)) throw InputError(a.data + ": the data hold a value that is not finite");
    const std::int64_t nch = data.shape[0], T = data.shape[1];
    AtomicOutput csv(a.out);  // opened before any work

    const SystemRef sys{&sensors->recording, sensors->trial(), a.sensors};
    SettingOverrides settings = a.request.settings;
    if (!settings.minCoilSrcDist) settings.minCoilSrcDist = -1e12;  // the fit's region decides, not the stencil
    dipole::SourceForward fwd(sys, settings, a.request.singleShell, a.threads > 0 ? a.threads : 1);
    if (fwd.numSensors() != nch)
        throw InputError(a.data + ": " + std::to_string(nch) + " rows, but " + a.sensors + " has " +
                         std::to_string(fwd.numSensors()) + " measurement channels in the channel set");
    std::int64_t rank = nch;
    std::vector<double> W;
    if (a.noiseCov.empty()) {
        W.assign(static_cast<std::size_t>(nch * nch), 0.0);
        for (std::int64_t i = 0; i < nch; ++i) W[i * nch + i] = 1.0;
    } else {
        const NpyArray cov = readNpy(a.noiseCov);
        if (cov.shape != std::vector<std::int64_t>{nch, nch})
            throw InputError(a.noiseCov + ": expected shape (" + std::to_string(nch) + ", " + std::to_string(nch) +
                             ") for the data's channels");
        W = dipole::whitenerFromCovariance(cov.data, nch, &rank);
    }

    dipole::FitRegion region;
    region.minDist = a.minDist;
    const Sphere sphere = fwd.scanSphere();
    region.centre = sphere.centre;
    region.radius = sphere.radius;
    if (a.request.singleShell) {
        region.surface = &a.request.singleShell->surface;
        const auto c = a.request.singleShell->centre();
        region.centre = {c[0], c[1], c[2]};
    } else if (region.radius <= a.minDist) {
        throw InputError("--min-dist " + fmt("%g", a.minDist) + " mm leaves no room in the sphere of radius " +
                         fmt("%g", region.radius) + " mm");
    }
    dipole::FitOptions o;
    o.rank = static_cast<int>(rank);
    o.threads = a.threads > 0 ? a.threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    o.guessMinDist = std::max(5.0, a.minDist);
    Progress progress(T, "time points", a.quiet);
    o.progress = progress.callback();
    const std::vector<double> guesses = dipole::guessGrid(region, o);
    const auto fits = dipole::fitDipoles(fwd, W.data(), rank, data.data.data(), T, guesses, region, o);
    progress.finish();

    std::ostringstream table;
    table << kHeader;
    out << "     time        x        y        z   |Q| nAm    GOF %   long mm  trans mm  depth mm\n";
    for (std::int64_t t = 0; t < T; ++t) {
        const auto& f = fits[static_cast<std::size_t>(t)];
        const double time = a.tmin + static_cast<double>(t) / a.sfreq;
        const double amp = std::hypot(f.moment[0], f.moment[1], f.moment[2]);
        const auto& c = f.confidence;
        const double mm3 = kMmPerM * kMmPerM * kMmPerM;
        table << fmt("%.6g", time);
        for (double v : f.position) table << "," << fmt("%.4f", v);
        for (double v : f.moment) table << "," << fmt("%.6g", v * kNanoPerUnit);
        table << "," << fmt("%.6g", amp * kNanoPerUnit) << "," << fmt("%.4f", 100.0 * f.gof) << ","
              << fmt("%.6g", f.khi2) << "," << f.nfree << "," << fmt("%.6g", c[0] * mm3);
        for (int k = 1; k < 4; ++k) table << "," << fmt("%.4f", c[k] * kMmPerM);
        for (int k = 4; k < 6; ++k) table << "," << fmt("%.6g", c[k] * kNanoPerUnit);
        table << "\n";
        char line[256];
        std::snprintf(line, sizeof line, "%9.4f %8.2f %8.2f %8.2f %9.2f %8.2f %9.2f %9.2f %9.2f\n", time,
                      f.position[0], f.position[1], f.position[2], amp * kNanoPerUnit, 100.0 * f.gof,
                      c[2] * kMmPerM, c[3] * kMmPerM, c[1] * kMmPerM);
        out << line;
    }
    csv.write(table.str());
    csv.commit();
    out << "megfwd: wrote " << a.out << " (" << T << " dipoles; positions in mm, host frame; moments in nA m; "
        << "95 % confidence limits as MNE-Python's)\n";
    return kExitOk;
}

}  // namespace megfwd::io
