#include "tools/cli/ForwardOptions.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "forward_api/Errors.h"
#include "forward_api/LocalSpheresFile.h"
#include "forward_api/FileText.h"
#include "forward_api/Sources.h"

namespace megfwd::cli {
namespace {

// The sphere-model codes whose names promise a head model that the library
// does not compute: it has spheres only.
constexpr int kBoundaryElementCode = 3;
constexpr int kFiniteElementCode = 4;

int sphereModelOption(const std::string& text) {
    const int code = parseSphereModel(text);
    const std::string choose =
        "; choose default (the sphere about the dewar centre), single (the --sphere) or multiple (one local sphere "
        "per sensor)";
    if (code == kBoundaryElementCode)
        throw InputError("--sphere-model " + text +
                         ": no boundary-element model is computed (the library has spheres only: this code gives one "
                         "local sphere per sensor, as multiple does, with the --sphere sphere for the scan)" + choose);
    if (code == kFiniteElementCode)
        throw InputError("--sphere-model " + text +
                         ": no finite-element model is computed (the library has spheres only: this code computes "
                         "what default does)" + choose);
    return code;
}

std::array<double, 4> sphereOption(const std::string& text) {
    const std::array<double, 4> s = parseSphere(text);
    const std::string problem = positionProblem(s.data());
    if (!problem.empty()) throw InputError("--sphere '" + text + "': the centre's " + problem);
    if (s[3] > kMaxRadiusMm)
        throw InputError("--sphere '" + text + "': the radius " + exactNumber(s[3]) + " mm is larger than " +
                         exactNumber(kMaxRadiusMm) + " mm (10 m)");
    return s;
}

}  // namespace

long long wholeNumberOption(const std::string& option, const std::string& text, long long min, long long max,
                            const std::string& what) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    const bool whole = end != text.c_str() && *end == '\0' && errno == 0;
    if (!whole || v < min || v > max) {
        std::string range = max == LLONG_MAX ? "from " + std::to_string(min)
                                             : "from " + std::to_string(min) + " to " + std::to_string(max);
        throw InputError(option + " " + text + ": expected a whole number " + what + (what.empty() ? "" : " ") + range);
    }
    return v;
}

int orderOption(const std::string& text) {
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || v < 1 || v > 7 || v == 6)
        throw InputError("--order " + text + ": the coil integration order must be 1, 2, 3, 4, 5 or 7");
    return static_cast<int>(v);
}

double numberOption(const std::string& option, const std::string& text, double min, double max,
                    const std::string& what) {
    double v = 0;
    if (!parseNumber(text, v) || !std::isfinite(v) || v < min || v > max)
        throw InputError(option + " " + text + ": expected a number " + what + (what.empty() ? "" : " ") + "from " +
                         exactNumber(min) + " to " + exactNumber(max));
    return v;
}

void ForwardOptions::addTo(CLI::App& app, bool leadfield) {
    const char* model = "Forward model";
    app.add_option("--formula", formula,
                   std::string("Coil forward model (default ") + (leadfield ? "SV_NT04" : "ST01") +
                       "): ST01, SX02, SV_CF03, SV_NT04, SV_CFT05, BiotSavart06, GS07, DX, or by name: "
                       "sarvas-scalar (ST01), sarvas-scalar-si (SX02), sarvas-ctf (SV_CF03), sarvas or sarvas-nut "
                       "(SV_NT04), cuffin (SV_CFT05), biot-savart (BiotSavart06), grynszpan (GS07); with --magnetic: "
                       "magnetic-dipole, magnetic-dipole-tensor, primary-current")
        ->type_name("NAME")
        ->group(model);
    app.add_option("--sensor-model", sensorModel, "Sensor forward model: ctf (default), standard, neuromag, bti, yokogawa")
        ->type_name("NAME")
        ->group(model);
    app.add_option("--order", order, "Coil integration order 1, 2, 3, 4, 5 or 7 (default 2; CTF sensor model)")
        ->type_name("N")
        ->group(model);
    app.add_flag("--magnetic", magnetic, "Magnetic sources (magnetic dipoles or current elements) instead of current dipoles")
        ->group(model);
    app.add_option("--mu4pi", mu4pi,
                   "The factor mu0/4pi the formulas multiply by, a number other than 0; values are then in the "
                   "library's scale, positions in mm unless --scan-unit (default: SI values, 1e-7 in metres)")
        ->type_name("FACTOR")
        ->group(model);
    oRef = app.add_flag("--ref,!--no-ref", ref,
                        "Reference correction (synthetic gradiometers) on (default) or off; off also leaves the reference "
                        "sensors out of the channel set")
               ->group(model);
    app.add_flag("--si", si,
                 "SI values, the default: scan in metres with mu4pi 1e-7, so leadfields are in T/(A*m) (field values "
                 "in T for moments in A*m); not with --mu4pi, --scan-unit or --library-scale")
        ->group(model);
    app.add_flag("--library-scale", libraryScale,
                 "Values in the library's own scale instead: scan in mm with mu4pi 1, so leadfields are in "
                 "0.1 T/(A*m) (field values in 0.1 T for moments in A*m)")
        ->group(model);
    if (leadfield)
        app.add_option("--tangent-rule", tangentRule, "Tangential directions with --tangential: std (default), ctf, sam, nut")
            ->type_name("NAME")
            ->group(model);

    const char* head = "Head model";
    app.add_option("--sphere-model", sphereModel,
                   "default (the sphere about the dewar centre), single (the --sphere sphere) or multiple (one local "
                   "sphere per sensor)")
        ->type_name("NAME")
        ->group(head);
    app.add_option("--sphere", sphere, "User sphere x,y,z,radius in mm (default 0,50,0,75); selects --sphere-model single "
                                       "unless another model is given")
        ->type_name("X,Y,Z,R")
        ->group(head);
    app.add_option("--local-spheres", localSpheres,
                   "One sphere per sensor from a local-sphere file (JSON, written by 'megfwd spheres'); the scan "
                   "sphere is their mean, three components per sensor")
        ->type_name("FILE")
        ->group(head);

    const char* prep = "Preparation";
    if (leadfield)
        app.add_flag("--tangential", tangential, "Two tangential components per sensor instead of x, y, z")->group(prep);
    app.add_option("--coords", coords, "Axes of the scan: opengl (host axes, default), matlab, direct3d")
        ->type_name("NAME")
        ->group(prep);
    app.add_option("--scan-unit", scanUnit,
                   "Spatial unit of the scan: mm, cm, dm, m, or a factor per millimetre; values are then in the "
                   "library's scale with mu4pi 1 unless --mu4pi (default: SI values, a scan in metres)")
        ->type_name("UNIT")
        ->group(prep);
    app.add_option("--min-coil-sphere-dist", minCoilSphere, "Distance of a local sphere's centre from its coil, mm "
                                                            "(default 12)")
        ->type_name("MM")
        ->group(prep);
    app.add_option("--min-coil-source-dist", minCoilSource,
                   "Sources less deep than their nearest coil by this distance are left out, mm (default 16)")
        ->type_name("MM")
        ->group(prep);
    app.add_option("--min-source-sphere-dist", minSourceSphere,
                   "Sources nearer than this to the sphere centre are left out, mm (default 2.2e-16)")
        ->type_name("MM")
        ->group(prep);
    oStencil = app.add_flag("--stencil,!--no-stencil", stencil,
                            "Leave out sources too near the sensors or at the sphere centre (default on)")
                   ->group(prep);
    oCentre = app.add_flag("--centre,!--no-centre", centre, "Shift everything to the sphere centre before the scan (default on)")
                  ->group(prep);
    app.add_flag("--all-channels", allChannels, "Use the channels marked bad as well")->group(prep);

    const char* post = "Post-processing";
    if (leadfield) {
        oRestoreCoords = app.add_flag("--restore-coords,!--no-restore-coords", restoreCoords,
                                      "Bring the components back to the host axes after a Matlab-axes scan (default on)")
                             ->group(post);
        oRestoreUnit = app.add_flag("--restore-unit,!--no-restore-unit", restoreUnit,
                                    "Bring the geometry back to millimetres after the scan (default on)")
                           ->group(post);
        app.add_flag("--unit-lf", unitLf, "Divide all values by the largest magnitude (unit leadfield)")->group(post);
    }
    oGains = app.add_flag("--gains,!--no-gains", gains,
                          "Change the sign of sensors whose gain is not positive (default on)")
                 ->group(post);
}

megfwd::SettingOverrides ForwardOptions::toOverrides() const {
    using namespace megfwd;
    SettingOverrides s;
    if (si && libraryScale) throw InputError("--si with --library-scale: give one of them");
    // SI unless the library's scale is asked for, by name or by a factor or
    // scan unit of the user's own.
    s.si = !libraryScale && mu4pi.empty() && scanUnit.empty();
    if (si && !mu4pi.empty())
        throw InputError("--si with --mu4pi " + mu4pi + ": --si sets mu4pi to 1e-7 itself; give one of them");
    if (si && !scanUnit.empty())
        throw InputError("--si with --scan-unit " + scanUnit + ": --si scans in metres itself; give one of them");
    s.goodChannelsOnly = !allChannels;
    if (magnetic) s.isMagSrc = 1;
    if (!formula.empty()) s.coilFwdModel = parseFormula(formula, magnetic);
    if (!sensorModel.empty()) s.snsFwdModel = parseSensorModel(sensorModel);
    if (!order.empty()) s.orderCoilIntg = orderOption(order);
    if (!tangentRule.empty()) s.tangVectMethod = parseTangentRule(tangentRule);
    if (!mu4pi.empty()) {
        double v = 0;
        if (!parseNumber(mu4pi, v) || !std::isfinite(v) || v == 0.0)
            throw InputError("--mu4pi " + mu4pi + ": expected a finite number other than 0");
        s.mu4PiRatio = v;
    }
    if (oRef && oRef->count()) s.isUseRefSns = ref ? 1 : 0;
    if (!sphere.empty()) {
        s.userSphere = sphereOption(sphere);
        s.sphereModel = 1;
    }
    if (!sphereModel.empty()) s.sphereModel = sphereModelOption(sphereModel);
    if (tangential) s.isTangLfd = 1;
    if (!localSpheres.empty()) {
        if (!sphere.empty() || !sphereModel.empty())
            throw InputError("--local-spheres with " + std::string(sphere.empty() ? "--sphere-model" : "--sphere") +
                             ": local spheres are the head model; give one of them");
        if (tangential)
            throw InputError("--local-spheres with --tangential: local spheres give x, y and z components");
        s.localSpheres = std::make_shared<const head::LocalSpheres>(loadLocalSpheres(localSpheres));
    }
    if (!coords.empty()) s.coordSystem = parseCoordSystem(coords);
    if (!scanUnit.empty()) {
        const double f = parseScanUnit(scanUnit);
        s.isUnit2Meter = f != 1.0 ? 1 : 0;
        s.spatUnit = f;
    }
    auto distance = [](const std::string& text, const char* name, std::optional<double>& target) {
        if (!text.empty()) target = numberOption(name, text, 0.0, kMaxCoordinateMm, "of millimetres");
    };
    distance(minCoilSphere, "--min-coil-sphere-dist", s.minCoilSphDist);
    distance(minCoilSource, "--min-coil-source-dist", s.minCoilSrcDist);
    distance(minSourceSphere, "--min-source-sphere-dist", s.minSrcSphDist);
    if (oStencil && oStencil->count()) s.isSpatConstrained = stencil ? 1 : 0;
    if (oCentre && oCentre->count()) s.isCentralizedLf = centre ? 1 : 0;
    if (oRestoreCoords && oRestoreCoords->count()) s.isRestoreCoord = restoreCoords ? 1 : 0;
    if (oRestoreUnit && oRestoreUnit->count()) s.isRestoreUnit = restoreUnit ? 1 : 0;
    if (oGains && oGains->count()) s.isApplySnsGain = gains ? 1 : 0;
    if (unitLf) s.isUnitLf = 1;
    return s;
}

}  // namespace megfwd::cli
