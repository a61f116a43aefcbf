#include "tools/cli/ForwardOptions.h"

#include <cmath>

#include "forward_api/Errors.h"

namespace megfwd::cli {

void ForwardOptions::addTo(CLI::App& app, bool leadfield) {
    const char* model = "Forward model";
    app.add_option("--formula", formula,
                   "Coil forward model (default SV_NT04): ST01, SX02, SV_CF03, SV_NT04, SV_CFT05, BiotSavart06, GS07, DX, "
                   "or sarvas-scalar (ST01), sarvas-scalar-si (SX02), sarvas-ctf (SV_CF03), sarvas / sarvas-nut (SV_NT04), "
                   "cuffin (SV_CFT05), biot-savart (BiotSavart06), grynszpan (GS07); with --magnetic: magnetic-dipole, "
                   "magnetic-dipole-tensor, primary-current")
        ->type_name("NAME")
        ->group(model);
    app.add_option("--sensor-model", sensorModel, "Sensor forward model: ctf (default), standard, neuromag, bti, yokogawa")
        ->type_name("NAME")
        ->group(model);
    oOrder = app.add_option("--order", order, "Coil integration order 1, 2, 3, 4, 5 or 7 (default 2; CTF sensor model)")
                 ->group(model);
    app.add_flag("--magnetic", magnetic, "Magnetic sources (magnetic dipoles or current elements) instead of current dipoles")
        ->group(model);
    oMu4pi = app.add_option("--mu4pi", mu4pi, "The factor mu0/4pi the formulas multiply by (default 1.0)")->group(model);
    oRef = app.add_flag("--ref,!--no-ref", ref,
                        "Reference correction (synthetic gradiometers) on (default) or off; off also leaves the reference "
                        "sensors out of the channel set")
               ->group(model);
    app.add_flag("--si", si,
                 "SI values: scan in metres with mu4pi 1e-7, so leadfields are in T/(A*m) (field values in T for "
                 "moments in A*m); recorded in the metadata")
        ->group(model)
        ->excludes(oMu4pi);
    if (leadfield)
        app.add_option("--tangent-rule", tangentRule, "Tangential directions with --tangential: std (default), ctf, sam, nut")
            ->type_name("NAME")
            ->group(model);

    const char* head = "Head model";
    app.add_option("--sphere-model", sphereModel,
                   "default (sphere about the dewar centre), single (the --sphere), multiple (one local sphere per sensor), "
                   "bem, fem")
        ->type_name("NAME")
        ->group(head);
    app.add_option("--sphere", sphere, "User sphere x,y,z,radius in mm (default 0,50,0,75); selects --sphere-model single "
                                       "unless another model is given")
        ->type_name("X,Y,Z,R")
        ->group(head);

    const char* prep = "Preparation";
    if (leadfield)
        app.add_flag("--tangential", tangential, "Two tangential components per sensor instead of x, y, z")->group(prep);
    app.add_option("--coords", coords, "Axes of the scan: opengl (host axes, default), matlab, direct3d")
        ->type_name("NAME")
        ->group(prep);
    auto* unit = app.add_option("--scan-unit", scanUnit, "Spatial unit of the scan: mm (default), cm, dm, m, or a factor "
                                                         "per millimetre")
                     ->type_name("UNIT")
                     ->group(prep);
    app.get_option("--si")->excludes(unit);
    oMinCoilSphere = app.add_option("--min-coil-sphere-dist", minCoilSphere,
                                    "Distance of a local sphere's centre from its coil, mm (default 12)")
                         ->group(prep);
    oMinCoilSource = app.add_option("--min-coil-source-dist", minCoilSource,
                                    "Sources less deep than their nearest coil by this distance are left out, mm (default 16)")
                         ->group(prep);
    oMinSourceSphere = app.add_option("--min-source-sphere-dist", minSourceSphere,
                                      "Sources nearer than this to the sphere centre are left out (default 2.2e-16)")
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
    s.si = si;
    s.goodChannelsOnly = !allChannels;
    if (magnetic) s.isMagSrc = 1;
    if (!formula.empty()) s.coilFwdModel = parseFormula(formula, magnetic);
    if (!sensorModel.empty()) s.snsFwdModel = parseSensorModel(sensorModel);
    if (oOrder && oOrder->count()) s.orderCoilIntg = parseOrder(order);
    if (!tangentRule.empty()) s.tangVectMethod = parseTangentRule(tangentRule);
    if (oMu4pi && oMu4pi->count()) {
        if (!std::isfinite(mu4pi) || mu4pi == 0.0) throw InputError("--mu4pi: expected a finite number other than 0");
        s.mu4PiRatio = mu4pi;
    }
    if (oRef && oRef->count()) s.isUseRefSns = ref ? 1 : 0;
    if (!sphere.empty()) {
        s.userSphere = parseSphere(sphere);
        s.sphereModel = 1;
    }
    if (!sphereModel.empty()) s.sphereModel = parseSphereModel(sphereModel);
    if (tangential) s.isTangLfd = 1;
    if (!coords.empty()) s.coordSystem = parseCoordSystem(coords);
    if (!scanUnit.empty()) {
        const double f = parseScanUnit(scanUnit);
        s.isUnit2Meter = f != 1.0 ? 1 : 0;
        s.spatUnit = f;
    }
    auto distance = [](CLI::Option* o, double v, const char* name, std::optional<double>& target) {
        if (!o || !o->count()) return;
        if (!std::isfinite(v) || v < 0.0) throw InputError(std::string(name) + ": expected a distance >= 0");
        target = v;
    };
    distance(oMinCoilSphere, minCoilSphere, "--min-coil-sphere-dist", s.minCoilSphDist);
    distance(oMinCoilSource, minCoilSource, "--min-coil-source-dist", s.minCoilSrcDist);
    distance(oMinSourceSphere, minSourceSphere, "--min-source-sphere-dist", s.minSrcSphDist);
    if (oStencil && oStencil->count()) s.isSpatConstrained = stencil ? 1 : 0;
    if (oCentre && oCentre->count()) s.isCentralizedLf = centre ? 1 : 0;
    if (oRestoreCoords && oRestoreCoords->count()) s.isRestoreCoord = restoreCoords ? 1 : 0;
    if (oRestoreUnit && oRestoreUnit->count()) s.isRestoreUnit = restoreUnit ? 1 : 0;
    if (oGains && oGains->count()) s.isApplySnsGain = gains ? 1 : 0;
    if (unitLf) s.isUnitLf = 1;
    return s;
}

}  // namespace megfwd::cli
