#include "forward_api/LocalSpheresFile.h"

#include <cmath>
#include <set>
#include <unordered_set>

#include "forward_api/AtomicFile.h"
#include "base/Errors.h"
#include "base/FileText.h"
#include "forward_api/Sources.h"

namespace megfwd {
namespace {

using nlohmann::json;

json centreJson(const Sphere& s) { return json::array({s.centre[0], s.centre[1], s.centre[2]}); }

// A number at `key` of `obj`, scaled to mm, within `limit` mm: the bounds
// of sensor-array positions, so that nothing computed from it leaves the
// range of a double.
double number(const json& obj, const char* key, const std::string& where, double toMm, double limit) {
    if (!obj.contains(key)) throw InputError(where + ": '" + key + "' is missing");
    const json& v = obj[key];
    const double mm = v.is_number() ? v.get<double>() * toMm : 0.0;
    if (!v.is_number() || !std::isfinite(mm) || std::abs(mm) > limit)
        throw InputError(where + ": '" + key + "' must be a number of at most " + exactNumber(limit) +
                         " mm in size, got " + v.dump());
    return mm;
}

// Centre and radius of a sphere object: a centre of three finite numbers
// and a positive radius.
Sphere sphereOf(const json& obj, const std::string& where, double toMm) {
    if (!obj.is_object()) throw InputError(where + ": expected an object with 'center' and 'radius'");
    if (!obj.contains("center")) throw InputError(where + ": 'center' is missing");
    const json& c = obj["center"];
    if (!c.is_array() || c.size() != 3)
        throw InputError(where + ": 'center' must be three numbers [x, y, z], got " + c.dump());
    Sphere s;
    for (std::size_t a = 0; a < 3; ++a) {
        const double mm = c[a].is_number() ? c[a].get<double>() * toMm : 0.0;
        if (!c[a].is_number() || !std::isfinite(mm) || std::abs(mm) > kMaxCoordinateMm)
            throw InputError(where + ": 'center' must be three numbers within " + exactNumber(kMaxCoordinateMm) +
                             " mm of the origin, got " + c.dump());
        s.centre[a] = mm;
    }
    s.radius = number(obj, "radius", where, toMm, kMaxRadiusMm);
    if (!(s.radius > 0.0)) throw InputError(where + ": 'radius' must be positive, got " + exactNumber(s.radius / toMm));
    return s;
}

// A string member, or `otherwise` when it is absent or not a string.
std::string textOf(const json& obj, const char* key, const std::string& otherwise) {
    return obj.contains(key) && obj[key].is_string() ? obj[key].get<std::string>() : otherwise;
}

// A number member, or `otherwise` when it is absent or not a number (the
// fit's options only describe how a table was made).
double numberOr(const json& obj, const char* key, double otherwise) {
    return obj.contains(key) && obj[key].is_number() ? obj[key].get<double>() : otherwise;
}

std::string channelName(const CForwardChnlkw& set, const CForwardC0SnsCoilskw& entry) {
    CMDChannelkw* ch = set.pTrial ? set.pTrial->getChannel(static_cast<int>(entry.chnlID)) : nullptr;
    return ch ? std::string(ch->chnlName) : std::string();
}

}  // namespace

json localSpheresToJson(const head::LocalSpheres& t) {
    json doc;
    doc["format"] = kLocalSpheresFormat;
    doc["version"] = kLocalSpheresVersion;
    doc["unit"] = "mm";
    doc["method"] = t.method;
    doc["surface"] = t.surface;
    doc["options"] = {{"radius", t.options.radius},
                      {"min_points", t.options.minPoints},
                      {"max_radius", t.options.maxRadius}};
    doc["global_sphere"] = {{"center", centreJson(t.globalSphere)}, {"radius", t.globalSphere.radius}, {"rms", t.globalRms}};
    json sensors = json::array();
    for (const head::LocalSphere& s : t.spheres)
        sensors.push_back({{"name", s.name},
                           {"center", centreJson(s.sphere)},
                           {"radius", s.sphere.radius},
                           {"points", s.numPoints},
                           {"rms", s.rms},
                           {"fallback", s.fallback == head::Fallback::None ? json(nullptr) : json(s.reason)}});
    doc["sensors"] = sensors;
    return doc;
}

head::LocalSpheres localSpheresFromJson(const json& doc, const std::string& name) {
    if (!doc.is_object()) throw InputError(name + ": expected a JSON object");
    if (textOf(doc, "format", "") != kLocalSpheresFormat)
        throw InputError(name + ": 'format' must be \"" + kLocalSpheresFormat + "\" (is this a local-sphere file?)");
    if (!doc.contains("version") || !doc["version"].is_number_integer() || doc["version"].get<int>() != kLocalSpheresVersion)
        throw InputError(name + ": 'version' must be " + std::to_string(kLocalSpheresVersion) + ", got " +
                         (doc.contains("version") ? doc["version"].dump() : std::string("nothing")));
    if (doc.contains("unit") && !doc["unit"].is_string())
        throw InputError(name + ": 'unit' must be \"mm\" or \"m\", got " + doc["unit"].dump());
    const std::string unit = textOf(doc, "unit", "mm");
    if (unit != "mm" && unit != "m") throw InputError(name + ": 'unit' must be \"mm\" or \"m\", got \"" + unit + "\"");
    const double toMm = unit == "m" ? 1000.0 : 1.0;

    head::LocalSpheres t;
    t.label = name;
    t.method = textOf(doc, "method", "given");
    t.surface = textOf(doc, "surface", "");
    if (doc.contains("options") && doc["options"].is_object()) {
        const json& o = doc["options"];
        t.options.radius = numberOr(o, "radius", t.options.radius);
        const double minPoints = numberOr(o, "min_points", t.options.minPoints);
        if (minPoints >= 0.0 && minPoints <= 1e9) t.options.minPoints = static_cast<int>(minPoints);
        t.options.maxRadius = numberOr(o, "max_radius", t.options.maxRadius);
    }
    if (!doc.contains("global_sphere"))
        throw InputError(name + ": 'global_sphere' is missing (the sphere that reference sensors take)");
    t.globalSphere = sphereOf(doc["global_sphere"], name + ": global_sphere", toMm);
    if (doc["global_sphere"].contains("rms") && doc["global_sphere"]["rms"].is_number())
        t.globalRms = doc["global_sphere"]["rms"].get<double>() * toMm;
    if (!doc.contains("sensors") || !doc["sensors"].is_array())
        throw InputError(name + ": 'sensors' must be an array of {\"name\", \"center\", \"radius\"}");
    std::set<std::string> seen;
    std::size_t i = 0;
    for (const json& e : doc["sensors"]) {
        const std::string where = name + ": sensors[" + std::to_string(i++) + "]";
        if (!e.is_object() || !e.contains("name") || !e["name"].is_string())
            throw InputError(where + ": 'name' (a string) is missing");
        head::LocalSphere s;
        s.name = e["name"].get<std::string>();
        const std::string at = where + " '" + s.name + "'";
        if (!seen.insert(s.name).second) throw InputError(at + ": the name is given twice");
        s.sphere = sphereOf(e, at, toMm);
        if (e.contains("points") && e["points"].is_number_integer()) s.numPoints = e["points"].get<int>();
        if (e.contains("rms") && e["rms"].is_number()) s.rms = e["rms"].get<double>() * toMm;
        if (e.contains("fallback") && e["fallback"].is_string()) {
            s.fallback = head::Fallback::Given;
            s.reason = e["fallback"].get<std::string>();
        }
        t.spheres.push_back(std::move(s));
    }
    return t;
}

head::LocalSpheres loadLocalSpheres(const std::string& path) { return localSpheresFromJson(readJsonFile(path), path); }

void writeLocalSpheres(const head::LocalSpheres& table, const std::string& path) {
    AtomicOutput out(path);
    out.write(readableJson(localSpheresToJson(table)) + "\n");
    out.commit();
}

std::vector<head::SensorSite> sensorSites(CMDTrialkw& trial, bool goodOnly) {
    std::vector<head::SensorSite> out;
    for (int i = 0; i < trial.getTotalChannel(); ++i) {
        CMDChannelkw* ch = trial.getChannel(i);
        if (!ch || !ch->pMEGSns || !ch->isMEGChannel()) continue;
        if (ch->isMEGMeasureChannel() && goodOnly && !ch->isGood) continue;
        head::SensorSite s;
        s.name = ch->chnlName;
        s.reference = ch->isMEGReferenceChannel() != 0;
        for (int c = 0; c < ch->pMEGSns->getTotalCoils(); ++c)
            if (const CBscMagSnskw* coil = ch->pMEGSns->getCoil(c))
                s.coils.push_back({coil->coilPos[0], coil->coilPos[1], coil->coilPos[2]});
        out.push_back(std::move(s));
    }
    return out;
}

void checkLocalSpheres(const CMDataForwardkw& data) {
    if (!data.pLocalSpheres || !data.pFwdChnl) return;
    const CForwardChnlkw& set = *data.pFwdChnl;
    for (std::int64_t e = 0; e < set.numChnl; ++e) {
        const CForwardC0SnsCoilskw& entry = set.pSnsCoils[e];
        if (!entry.pMEGSns || !entry.isMEGMeasureSns()) continue;
        const std::string n = channelName(set, entry);
        if (!data.pLocalSpheres->find(n))
            throw InputError(data.pLocalSpheres->label + ": no local sphere for measurement sensor '" + n +
                             "' (every measurement sensor needs one; fit the spheres for this sensor-array file)");
    }
}

std::vector<std::string> unmatchedEntries(const CMDataForwardkw& data) {
    std::vector<std::string> out;
    if (!data.pLocalSpheres || !data.pFwdChnl) return out;
    std::unordered_set<std::string> names;
    const CForwardChnlkw& set = *data.pFwdChnl;
    for (std::int64_t e = 0; e < set.numChnl; ++e)
        if (set.pSnsCoils[e].pMEGSns && set.pSnsCoils[e].isMEGMeasureSns()) names.insert(channelName(set, set.pSnsCoils[e]));
    for (const head::LocalSphere& s : data.pLocalSpheres->spheres)
        if (!names.count(s.name)) out.push_back(s.name);
    return out;
}

json localSpheresFacts(const CMDataForwardkw& data) {
    if (!data.pLocalSpheres || !data.pFwdChnl) return nullptr;
    const head::LocalSpheres& t = *data.pLocalSpheres;
    const CForwardChnlkw& set = *data.pFwdChnl;
    json centres = json::array(), radii = json::array(), fallback = json::array();
    for (std::int64_t e = 0; e < set.numChnl; ++e) {
        const CForwardC0SnsCoilskw& entry = set.pSnsCoils[e];
        if (!entry.pMEGSns || !entry.isMEGMeasureSns()) continue;
        const std::string n = channelName(set, entry);
        const head::LocalSphere* s = t.find(n);
        if (!s) continue;
        centres.push_back(centreJson(s->sphere));
        radii.push_back(s->sphere.radius);
        if (s->fallback != head::Fallback::None) fallback.push_back({{"sensor", n}, {"reason", s->reason}});
    }
    return {{"from", t.label},
            {"method", t.method},
            {"rule", "each measurement sensor's own sphere by name, for every coil and integration point of it; "
                     "reference sensors take the global sphere"},
            {"centers_mm", centres},
            {"radii_mm", radii},
            {"order", "the measurement sensors of sensors.names"},
            {"global_sphere", {{"center_mm", centreJson(t.globalSphere)}, {"radius_mm", t.globalSphere.radius}}},
            {"reference_sensors", set.numRefSns > 0 ? "the global sphere" : "none in the channel set"},
            {"fell_back_to_global_sphere", fallback},
            {"unmatched_entries", unmatchedEntries(data)}};
}

}  // namespace megfwd
