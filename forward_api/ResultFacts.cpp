#include "forward_api/ResultFacts.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include <sys/resource.h>

#include "forward_api/LocalSpheresFile.h"
#include "host_interfaces/VectorOps.h"

namespace megfwd::detail {
namespace {

using nlohmann::json;

std::string utcTimestamp() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

json sphereJson(const CSpherekw& s) {
    return {{"center_mm", {s.center[0], s.center[1], s.center[2]}}, {"radius_mm", s.radius}};
}

json integrationJson(const CMForwardkw& engine, CMDataForwardkw& data) {
    if (engine.snsFwdModel != 1)
        return {{"rule", "coil centres, weighted mean by coil weight (standard sensor model)"}, {"points_per_coil", 1}};
    const CForwardChnlkw* chn = data.pFwdChnl;
    for (std::int64_t e = 0; e < chn->numChnl; ++e) {
        const CForwardC0SnsCoilskw& entry = chn->pSnsCoils[e];
        if (!kind::isMeasure(entry.snsKind) || !entry.pMEGSns || !entry.pMEGSns->isW12Set) continue;
        return {{"rule", "disk quadrature over each coil, coils weighted by their turns (CTF sensor model)"},
                {"order", entry.pMEGSns->w12Order},
                {"points_per_coil", entry.pMEGSns->numW12Pts}};
    }
    return {{"rule", "disk quadrature over each coil (CTF sensor model)"}, {"order", engine.orderCoilIntg},
            {"points_per_coil", nullptr}};
}

json referenceJson(const CMForwardkw& engine, CMDataForwardkw& data) {
    const CForwardChnlkw* chn = data.pFwdChnl;
    std::int64_t corrected = 0;
    for (std::int64_t e = 0; e < chn->numChnl; ++e) {
        const CForwardC0SnsCoilskw& entry = chn->pSnsCoils[e];
        if (!kind::isMeasure(entry.snsKind)) continue;
        bool any = false;
        for (std::int64_t k = 0; k < entry.numRefCoef && entry.pRefCoef; ++k) {
            const int idx = entry.pRefCoef[k].chnlIdx;
            any = any || (idx >= 0 && idx < chn->numChnl && kind::isReference(chn->pSnsCoils[idx].snsKind) &&
                          entry.pRefCoef[k].coef != 0.0);
        }
        corrected += any ? 1 : 0;
    }
    const bool applied = engine.isUseRefSns != 0 && corrected > 0;
    return {{"requested", engine.isUseRefSns != 0},
            {"applied", applied},
            {"measurement_sensors_corrected", engine.isUseRefSns ? corrected : 0},
            {"reference_sensors_in_channel_set", chn->numRefSns}};
}

// The moment directions, in host axes, of the two components of a
// two-component leadfield, per source: the tangent rule is applied as the
// scan applied it (in the scan's axes and unit, on the scan sphere), its
// vectors are brought back to host axes and, when the axis restore exchanged
// the two components, given in the exchanged order. They are the moments
// whose responses the values are: unit vectors for every rule but the Nut
// one, which leaves its vectors at lengths rho and rho |r| (scan unit). The
// scan uses them at that length except in the standard sensor model's Nut
// Sarvas member, which normalises them; so does this then. A source
// where the rule has no directions (at the sphere centre) gets null.
json componentDirections(CMForwardkw& engine, CMDataForwardkw& data, const json& scanSphere,
                         const std::vector<std::array<double, 3>>& hostPos) {
    const bool matlabScan = data.coordSystem == 1;
    const bool exchanged = matlabScan && data.isRestoreCoord;
    const bool normalise = engine.snsFwdModel != 1 && engine.coilFwdModel == 3 && engine.isMagSrc == 0;
    const double scale = data.isUnit2Meter ? data.spatUnit : 1.0;
    engine.pDataFwd = &data;  // its coordSystem steers the tangent rules
    CSpherekw sphere;
    for (int m = 0; m < 3; ++m) sphere.center[m] = scanSphere["center_mm"][m].get<double>() * scale;
    sphere.radius = scanSphere["radius_mm"].get<double>() * scale;
    if (matlabScan) CVector02Mas::xyzIOpenGL2Matlab(sphere.center);
    json out = json::array();
    for (const auto& p : hostPos) {
        double pos[3] = {p[0] * scale, p[1] * scale, p[2] * scale};
        if (matlabScan) CVector02Mas::xyzIOpenGL2Matlab(pos);
        R3Q3x3 basis;
        json dirs = nullptr;
        if (engine.set2DVect4SrcAll(pos, &sphere, &basis)) {
            dirs = json::array();
            for (int c = 0; c < 2; ++c) {
                double* q = basis.q[exchanged ? 1 - c : c];
                const double n = normalise ? std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2]) : 1.0;
                if (!(n > 0.0) || !std::isfinite(n)) {
                    dirs = nullptr;
                    break;
                }
                if (matlabScan) CVector02Mas::xyzIMatlab2OpenGL(q);
                dirs.push_back({q[0] / n, q[1] / n, q[2] / n});
            }
        }
        out.push_back(std::move(dirs));
    }
    return out;
}

// A note naming the local-sphere table's entries that match no measurement
// sensor (they are ignored).
void noteUnmatchedSpheres(const CMDataForwardkw& data, ForwardResult& r) {
    const std::vector<std::string> names = unmatchedEntries(data);
    if (names.empty()) return;
    std::string list;
    for (std::size_t i = 0; i < names.size() && i < 10; ++i) list += (i ? ", " : "") + names[i];
    if (names.size() > 10) list += ", ...";
    r.notes.push_back(data.pLocalSpheres->label + ": " + std::to_string(names.size()) +
                      " local sphere(s) name no measurement sensor of the channel set and are ignored: " + list);
}

}  // namespace

std::string positionText(const std::array<double, 3>& p) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "(%.6g, %.6g, %.6g) mm", p[0], p[1], p[2]);
    return buf;
}

void sensorInfo(CMDataForwardkw& data, const SystemRef& sys, ForwardResult& r) {
    const CForwardChnlkw* chn = data.pFwdChnl;
    for (std::int64_t e = 0; e < chn->numChnl; ++e) {
        const CForwardC0SnsCoilskw& entry = chn->pSnsCoils[e];
        if (!kind::isMeasure(entry.snsKind)) continue;
        CMDChannelkw* ch = sys.trial->getChannel(static_cast<int>(entry.chnlID));
        r.sensorNames.push_back(ch ? ch->chnlName : "channel " + std::to_string(entry.chnlID));
        std::array<double, 3> p{0, 0, 0};
        if (ch && ch->pMEGSns && ch->pMEGSns->getCoil(0))
            for (int a = 0; a < 3; ++a) p[static_cast<std::size_t>(a)] = ch->pMEGSns->getCoil(0)->coilPos[a];
        r.sensorPositions.push_back(p);
    }
}

void sourceInfo(CMDataForwardkw& data, ForwardResult& r) {
    for (std::int64_t i = 0; i < data.numSrc; ++i) {
        const double* p = data.pFwdPos->ppPos[i];
        r.sourcePositions.push_back({p[0], p[1], p[2]});
    }
}

json scanSphereJson(const CMDataForwardkw& data) {
    switch (data.sphereModel) {
        case 1:
        case 3: return sphereJson(data.userSphere);
        case 2: return sphereJson(data.meanLocSphere);
        default: return sphereJson(data.pFwdChnl->dewarSphere);
    }
}

json commonMeta(const std::string& command, const SystemRef& sys, const std::string& sourceLabel,
                const CMForwardkw& engine, CMDataForwardkw& data, const json& scanSphere, const ForwardResult& r) {
    json meta;
    meta["format"] = "megfwd-result";
    meta["version"] = 1;
    meta["program"] = {{"name", "megfwd"}, {"version", MEGFWD_VERSION}, {"command", command}};
    meta["created_utc"] = utcTimestamp();
    meta["settings"] = settingsJson(engine, data);
    meta["integration"] = integrationJson(engine, data);
    meta["reference_correction"] = referenceJson(engine, data);
    meta["spheres"] = {{"scan_sphere", scanSphere}, {"dewar_sphere", sphereJson(data.pFwdChnl->dewarSphere)}};
    if (data.pLocalSpheres)
        meta["spheres"]["local_spheres"] = localSpheresFacts(data);
    else if (data.sphereModel == 2 || data.sphereModel == 3)
        meta["spheres"]["local_spheres"] = "one per sensor, towards the dewar centre, minCoilSphDist from its first coil";
    json sensors = {{"file", sys.label}, {"count", r.sensorNames.size()}, {"names", r.sensorNames}};
    json pos = json::array();
    for (const auto& p : r.sensorPositions) pos.push_back({p[0], p[1], p[2]});
    sensors["first_coil_positions_mm"] = std::move(pos);
    sensors["frame"] = "host axes (OpenGL: x to the left ear, y up, z to the nose), millimetres";
    meta["sensors"] = std::move(sensors);
    json src = {{"from", sourceLabel}, {"count", r.sourcePositions.size()}};
    json sp = json::array();
    for (const auto& p : r.sourcePositions) sp.push_back({p[0], p[1], p[2]});
    src["positions_mm"] = std::move(sp);
    src["in_scan"] = r.inScan;
    src["in_scan_count"] = r.numIn();
    src["frame"] = "host axes (OpenGL), millimetres";
    meta["sources"] = std::move(src);
    meta["scan_seconds"] = r.seconds;
    return meta;
}

void leadfieldMeta(ForwardResult& r, const SystemRef& sys, const SourceSpec& src, const LeadfieldRequest& req,
                   CMForwardkw& engine, CMDataForwardkw& data, const json& scanSphere, ScanKind kind, double divisor,
                   json scanInfo) {
    const std::int64_t nC = r.shape[2];
    r.unit = valueUnit(engine, data, kind, static_cast<int>(nC), divisor);
    noteUnmatchedSpheres(data, r);
    if (!req.metadata) return;

    json meta = commonMeta(req.command, sys, src.label, engine, data, scanSphere, r);
    if (src.grid)
        meta["sources"]["grid"] = {{"min_mm", {src.grid->minCorner[0], src.grid->minCorner[1], src.grid->minCorner[2]}},
                                   {"max_mm", {src.grid->maxCorner[0], src.grid->maxCorner[1], src.grid->maxCorner[2]}},
                                   {"step_mm", src.grid->step},
                                   {"order", "x slowest, z fastest"}};
    scanInfo["function"] = req.unitMomentScan ? "gridDewarLfx" : "gridDewarLfd";
    scanInfo["method"] = req.unitMomentScan ? "field values of unit moments along each basis direction"
                                            : "leadfield formulas";
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    double outValues = 1.0;
    for (auto d : r.shape) outValues *= static_cast<double>(d);
    std::string storage = r.valuesInSink ? req.output.description : "one contiguous array in memory";
    if (scanInfo.contains("output_storage")) {  // the route chose among the caller's kinds of storage
        storage = scanInfo["output_storage"].get<std::string>();
        scanInfo.erase("output_storage");
    }
    scanInfo["memory"] = {{"output_bytes", outValues * 8.0},
                          {"output", storage},
                          {"peak_resident_bytes_so_far", static_cast<double>(usage.ru_maxrss) * 1024.0}};
    meta["scan"] = std::move(scanInfo);
    const bool matlabAxes = data.coordSystem == 1 && !data.isRestoreCoord;
    std::string comps;
    if (nC == 3)
        comps = std::string("unit dipoles along x, y and z of the ") +
                (matlabAxes ? "Matlab axes (z up)" : "host axes (OpenGL: x to the left ear, y up, z to the nose)");
    else
        comps = "unit dipoles along the two tangential directions q[0], q[1] of each source's basis (tangent rule " +
                tangentRuleName(engine.tangVectMethod) + ")" +
                (data.coordSystem == 1 && data.isRestoreCoord ? ", exchanged by the axis restore" : "");
    meta["array"] = {{"dtype", "float64"},
                     {"order", "C"},
                     {"shape", r.shape},
                     {"axes", req.layout == LeadfieldLayout::SensorMajor
                                  ? json{"sensor", "source", "component"}
                                  : json{"source", "sensor", "component"}},
                     {"components", comps}};
    if (nC == 2) {
        meta["array"]["component_directions"] =
            "sources.component_directions: per source, the moments (host axes) whose responses components 0 and 1 are; "
            "unit vectors except under the Nut tangent rule (lengths rho and rho |r| in the scan unit) unless the "
            "standard sensor model's Nut Sarvas formula normalised them";
        meta["sources"]["component_directions"] = componentDirections(engine, data, scanSphere, r.sourcePositions);
    }
    meta["values"] = {{"quantity", "leadfield"},
                      {"unit", r.unit.label},
                      {"to_SI_factor", r.unit.toSI},
                      {"SI_unit", r.unit.siUnit},
                      {"explanation", r.unit.explanation},
                      {"formula_factor", formulaFactor(engine, kind, static_cast<int>(nC))},
                      {"sensor_gain_signs_applied", data.isApplySnsGain != 0},
                      {"unit_leadfield", data.isUnitLf != 0},
                      {"rms_normalised", req.rmsNormalise},
                      {"divided_by", divisor},
                      {"si_option", req.settings.si},
                      {"out_of_scan_sources", "all values 0"}};
    meta["notes"] = r.notes;
    meta["warnings"] = r.warnings;
    r.meta = std::move(meta);
}

void fieldMeta(ForwardResult& r, const SystemRef& sys, const std::string& label, const LeadfieldRequest& req,
               CMForwardkw& engine, CMDataForwardkw& data, const json& scanSphere, const std::vector<double>& dipoles) {
    const std::int64_t n = static_cast<std::int64_t>(dipoles.size() / 6);
    r.unit = valueUnit(engine, data, ScanKind::Bcmp, 1);
    noteUnmatchedSpheres(data, r);

    json meta = commonMeta(req.command, sys, label, engine, data, scanSphere, r);
    json moments = json::array();
    for (std::int64_t i = 0; i < n; ++i)
        moments.push_back({dipoles[static_cast<std::size_t>(i * 6 + 3)], dipoles[static_cast<std::size_t>(i * 6 + 4)],
                           dipoles[static_cast<std::size_t>(i * 6 + 5)]});
    meta["sources"]["moments"] = moments;
    meta["scan"] = {{"function", "gridDewarBcmp"}, {"method", "field values of the given moments"}};
    meta["array"] = {{"dtype", "float64"}, {"order", "C"}, {"shape", r.shape}, {"axes", {"dipole", "sensor"}}};
    meta["values"] = {{"quantity", "field value along the sensors (bcmp)"},
                      {"unit", r.unit.label},
                      {"to_SI_factor", r.unit.toSI},
                      {"SI_unit", r.unit.siUnit},
                      {"explanation", r.unit.explanation},
                      {"formula_factor", formulaFactor(engine, ScanKind::Bcmp, 1)},
                      {"sensor_gain_signs_applied", data.isApplySnsGain != 0},
                      {"si_option", req.settings.si},
                      {"out_of_scan_sources", "all values 0"}};
    meta["notes"] = r.notes;
    meta["warnings"] = r.warnings;
    r.meta = std::move(meta);
}

}  // namespace megfwd::detail
