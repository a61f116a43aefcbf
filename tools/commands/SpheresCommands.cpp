// The spheres command (local spheres fitted to a head surface) and the
// picture of a local-sphere file.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "forward_api/AtomicFile.h"
#include "base/Errors.h"
#include "base/FileText.h"
#include "forward_api/LocalSpheresFile.h"
#include "forward_api/SensorArrayFile.h"
#include "tools/commands/Commands.h"
#include "tools/commands/SameFile.h"
#include "tools/formats/SphereMap.h"
#include "tools/formats/SurfaceFile.h"

namespace megfwd::io {
namespace {

std::string mm(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f mm", v);
    return buf;
}

std::string centreText(const Sphere& s) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "(%.1f, %.1f, %.1f)", s.centre[0], s.centre[1], s.centre[2]);
    return buf;
}

// Up to `limit` names, then how many more.
std::string nameList(const std::vector<std::string>& names, std::size_t limit = 8) {
    std::string s;
    for (std::size_t i = 0; i < names.size() && i < limit; ++i) s += (i ? ", " : "") + names[i];
    if (names.size() > limit) s += " and " + std::to_string(names.size() - limit) + " more";
    return s;
}

SurfaceRead readSurfaceNoting(const std::string& path, const std::string& triangles, const std::string& unit,
                              bool quiet) {
    SurfaceRead r = readSurface(path, triangles, unit);
    if (!quiet)
        for (const auto& n : r.notes) std::fprintf(stderr, "megfwd: note: %s\n", n.c_str());
    return r;
}

}  // namespace

int runSpheres(const SpheresArgs& a, std::ostream& stdOut) {
    static std::ostream discard(nullptr);
    std::ostream& out = a.quiet ? discard : stdOut;
    refuseOutputsOverInputs({{a.sensors, "--sensors"}, {a.surface, "--surface"}, {a.triangles, "--triangles"}},
                            {{a.out, "--out"}});
    AtomicOutput file(a.out);  // an unwritable path is refused before the fit
    auto sensors = loadSensorArray(a.sensors);
    const SurfaceRead surface = readSurfaceNoting(a.surface, a.triangles, a.surfaceUnit, a.quiet);
    const std::vector<head::SensorSite> sites = sensorSites(*sensors->trial(), !a.allChannels);
    head::LocalSpheres table = head::fitLocalSpheres(surface.surface, sites, a.options);
    if (table.spheres.empty()) throw InputError(a.sensors + ": no measurement sensor to fit a sphere for");
    file.write(readableJson(localSpheresToJson(table)) + "\n");
    file.commit();

    int references = 0;
    for (const auto& s : sites) references += s.reference;
    double rLo = 1e300, rHi = 0.0;
    std::vector<std::string> fell, outside, enclosed;
    const head::Point3 g = table.globalSphere.centre;
    // The head lies within the helmet: a global sphere that holds a
    // sensor's coil says that the surface is in another unit or frame.
    for (const auto& s : sites)
        for (const auto& c : s.coils) {
            const double d = std::sqrt((c[0] - g[0]) * (c[0] - g[0]) + (c[1] - g[1]) * (c[1] - g[1]) +
                                       (c[2] - g[2]) * (c[2] - g[2]));
            if (d <= table.globalSphere.radius) {
                enclosed.push_back(s.name);
                break;
            }
        }
    for (const head::LocalSphere& s : table.spheres) {
        rLo = std::min(rLo, s.sphere.radius), rHi = std::max(rHi, s.sphere.radius);
        if (s.fallback != head::Fallback::None) fell.push_back(s.name + " (" + s.reason + ")");
        else if (!head::insideSurface(surface.surface, s.sphere.centre, g))
            outside.push_back(s.name);
    }
    const int n = static_cast<int>(table.spheres.size());
    out << "megfwd: wrote " << a.out << ": local spheres (" << table.method << ") of " << n
        << " measurement sensors fitted to " << surface.surface.numVertices() << " points of " << a.surface << " ("
        << surface.kind << ")\n";
    out << "  global sphere: centre " << centreText(table.globalSphere) << " mm, radius " << mm(table.globalSphere.radius)
        << ", RMS residual " << mm(table.globalRms) << "; taken by " << references << " reference sensor(s)\n";
    out << "  fitted: " << n - static_cast<int>(fell.size()) << ", fell back to the global sphere: " << fell.size()
        << "\n";
    out << "  radii: " << mm(rLo) << " to " << mm(rHi) << "\n";
    if (!fell.empty()) out << "  fell back: " << nameList(fell, 5) << "\n";
    if (!enclosed.empty())
        std::fprintf(stderr,
                     "megfwd: warning: the global sphere (radius %.1f mm) holds a coil of %zu sensor(s) (%s): is the "
                     "surface in the sensor-array file's frame and unit (--surface-unit)?\n",
                     table.globalSphere.radius, enclosed.size(), nameList(enclosed, 3).c_str());
    if (!outside.empty())
        std::fprintf(stderr, "megfwd: warning: %zu sphere centre(s) lie outside the surface: %s\n", outside.size(),
                     nameList(outside).c_str());
    else if (n > static_cast<int>(fell.size()))
        out << "  every fitted centre lies inside the surface\n";
    return kExitOk;
}

int runPlotSpheres(const PlotSpheresArgs& a, std::ostream& stdOut) {
    static std::ostream discard(nullptr);
    std::ostream& out = a.quiet ? discard : stdOut;
    if (a.sensors.empty()) throw InputError("plot --spheres needs --sensors FILE for the sensor positions");
    refuseOutputsOverInputs({{a.spheres, "--spheres"}, {a.sensors, "--sensors"}, {a.surface, "--surface"}},
                            {{a.out, "--out"}});
    AtomicOutput svg(a.out);
    const head::LocalSpheres table = loadLocalSpheres(a.spheres);
    auto sensors = loadSensorArray(a.sensors);
    SphereMap map;
    if (!a.surface.empty())
        map.headPoints = readSurfaceNoting(a.surface, a.triangles, a.surfaceUnit, a.quiet).surface.points();
    map.globalSphere = table.globalSphere;
    std::vector<std::string> missing;
    CMDTrialkw* t = sensors->trial();
    for (int i = 0; i < t->getTotalChannel(); ++i) {
        CMDChannelkw* ch = t->getChannel(i);
        if (!ch->isMEGMeasureChannel() || !ch->pMEGSns || !ch->pMEGSns->getCoil(0)) continue;
        const head::LocalSphere* s = table.find(ch->chnlName);
        if (!s) {
            missing.push_back(ch->chnlName);
            continue;
        }
        const double* p = ch->pMEGSns->getCoil(0)->coilPos;
        map.sensors.push_back({p[0], p[1], p[2]});
        map.centres.push_back(s->sphere.centre);
        map.fallback.push_back(s->fallback != head::Fallback::None);
        map.names.push_back(ch->chnlName);
    }
    if (map.sensors.empty())
        throw InputError(a.spheres + ": no sphere names a measurement sensor of " + a.sensors);
    map.title = "Local spheres of " + std::to_string(map.sensors.size()) + " sensors (" + table.method + ")";
    map.subtitle = a.spheres + " with " + a.sensors + (a.surface.empty() ? "" : ", head points of " + a.surface);
    svg.write(sphereMapSvg(map));
    svg.commit();
    if (!missing.empty())
        std::fprintf(stderr, "megfwd: warning: %zu measurement sensor(s) have no sphere in %s: %s\n", missing.size(),
                     a.spheres.c_str(), nameList(missing).c_str());
    out << "megfwd: wrote " << a.out << ": " << map.sensors.size() << " sensors and their sphere centres\n";
    return kExitOk;
}

}  // namespace megfwd::io
