#include "head_model/LocalSpheres.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/Errors.h"
#include "base/FileText.h"

namespace megfwd::head {
namespace {

// Distances below this count as this in the weighted method's 1/d^4, so a
// surface point on a coil cannot take all the weight (mm).
constexpr double kMinWeightDistance = 1.0;

double dist2(const Point3& a, const Point3& b) {
    const double d[3] = {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
    return d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
}

std::string mm(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4g mm", v);
    return buf;
}

void checkOptions(const LocalSphereOptions& o) {
    if (!(o.radius > 0.0) || !std::isfinite(o.radius))
        throw InputError("radius " + exactNumber(o.radius) + ": expected a positive number of millimetres");
    if (o.minPoints < 4) throw InputError("min_points " + std::to_string(o.minPoints) + ": expected at least 4");
    if (!(o.maxRadius > 0.0) || !std::isfinite(o.maxRadius))
        throw InputError("max_radius " + exactNumber(o.maxRadius) + ": expected a positive number of millimetres");
}

// The coil of a sensor nearest the head: the one nearest the global
// sphere's centre (the lower coil of a gradiometer).
const Point3& nearestCoil(const SensorSite& s, const Point3& centre) {
    std::size_t best = 0;
    for (std::size_t c = 1; c < s.coils.size(); ++c)
        if (dist2(s.coils[c], centre) < dist2(s.coils[best], centre)) best = c;
    return s.coils[best];
}

void fallBack(LocalSphere& out, const LocalSpheres& table, Fallback why, std::string reason) {
    out.sphere = table.globalSphere;
    out.fallback = why;
    out.reason = std::move(reason);
}

// A fitted sphere is kept unless it is larger than maxRadius or reaches the
// coil: the sensor must lie outside its sphere, or the field formulas are
// taken where they do not hold.
bool acceptable(LocalSphere& out, const LocalSpheres& table, const SphereFit& fit, const Point3& coil,
                const LocalSphereOptions& o) {
    if (fit.radius > o.maxRadius) {
        fallBack(out, table, Fallback::TooLarge,
                 "the fitted radius " + mm(fit.radius) + " exceeds max_radius " + mm(o.maxRadius));
        return false;
    }
    if (std::sqrt(dist2(coil, fit.centre)) <= fit.radius) {
        fallBack(out, table, Fallback::EnclosesSensor,
                 "the fitted sphere (radius " + mm(fit.radius) + ") reaches the sensor's coil");
        return false;
    }
    return true;
}

}  // namespace

const LocalSphere* LocalSpheres::find(const std::string& name) const {
    for (const LocalSphere& s : spheres)
        if (s.name == name) return &s;
    return nullptr;
}

int LocalSpheres::numFallback() const {
    int n = 0;
    for (const LocalSphere& s : spheres) n += s.fallback != Fallback::None;
    return n;
}

std::string methodName(LocalSphereMethod m) { return m == LocalSphereMethod::Weighted ? "weighted" : "nearby"; }

LocalSphereMethod parseMethod(const std::string& text) {
    std::string t = text;
    for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (t == "nearby") return LocalSphereMethod::Nearby;
    if (t == "weighted") return LocalSphereMethod::Weighted;
    throw InputError("local-sphere method '" + text + "': expected nearby or weighted");
}

std::vector<double> pointAreas(const Surface& surface) {
    const auto numPoints = static_cast<std::size_t>(surface.numVertices());
    if (surface.triangles.empty()) return std::vector<double>(numPoints, 1.0);
    std::vector<double> area(numPoints, 0.0);
    for (std::int64_t i = 0; i < surface.numTriangles(); ++i) {
        const std::int32_t* t = surface.triangles.data() + 3 * i;
        const double *a = surface.vertex(t[0]), *b = surface.vertex(t[1]), *c = surface.vertex(t[2]);
        const double u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]}, v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
        const double x = u[1] * v[2] - u[2] * v[1], y = u[2] * v[0] - u[0] * v[2], z = u[0] * v[1] - u[1] * v[0];
        const double third = std::sqrt(x * x + y * y + z * z) / 6.0;
        for (int k = 0; k < 3; ++k) area[static_cast<std::size_t>(t[k])] += third;
    }
    return area;
}

LocalSpheres fitLocalSpheres(const Surface& surface, const std::vector<SensorSite>& sensors,
                             const LocalSphereOptions& options) {
    checkOptions(options);
    checkSurface(surface);
    const std::vector<Point3> points = surface.points();
    LocalSpheres table;
    table.method = methodName(options.method);
    table.options = options;
    table.label = surface.label;
    table.surface = surface.label;
    SphereFit global;
    try {
        global = fitSphere(points);
    } catch (const InputError& e) {
        throw InputError(surface.label + ": no sphere can be fitted to the surface: " + e.what());
    }
    table.globalSphere = global;
    table.globalRms = global.rms;

    const std::vector<double> area =
        options.method == LocalSphereMethod::Weighted ? pointAreas(surface) : std::vector<double>{};
    const double r2 = options.radius * options.radius;
    std::vector<Point3> near;
    std::vector<double> weight(options.method == LocalSphereMethod::Weighted ? points.size() : 0);
    for (const SensorSite& s : sensors) {
        if (s.reference) continue;
        if (s.coils.empty()) throw InputError("sensor '" + s.name + "' has no coil to fit a local sphere for");
        LocalSphere out;
        out.name = s.name;
        const Point3& coil = nearestCoil(s, global.centre);

        near.clear();
        for (const Point3& p : points)
            if (dist2(p, coil) <= r2) near.push_back(p);
        out.numPoints = static_cast<int>(near.size());
        SphereFit fit;
        if (static_cast<int>(near.size()) < options.minPoints) {
            fallBack(out, table, Fallback::TooFewPoints,
                     std::to_string(near.size()) + " surface points within " + mm(options.radius) + ", fewer than " +
                         std::to_string(options.minPoints));
            table.spheres.push_back(std::move(out));
            continue;
        }
        try {
            fit = fitSphere(near);
        } catch (const InputError& e) {
            fallBack(out, table, Fallback::Degenerate,
                     std::string("the surface points within ") + mm(options.radius) + ": " + e.what());
            table.spheres.push_back(std::move(out));
            continue;
        }
        if (options.method == LocalSphereMethod::Weighted) {
            // Start from the nearby sphere when it is usable, from the global
            // one otherwise; the weights reach beyond `radius`, so every
            // point takes part.
            const SphereFit start = fit.radius <= options.maxRadius ? fit : global;
            constexpr double floor2 = kMinWeightDistance * kMinWeightDistance;
            int counted = 0;
            for (std::size_t i = 0; i < points.size(); ++i) {
                const double d2 = std::max(dist2(points[i], coil), floor2);
                weight[i] = area[i] / (d2 * d2);
                counted += weight[i] > 0.0;
            }
            SphereFit refined;
            if (!fitSphereWeighted(points.data(), weight.data(), points.size(), start, refined)) {
                fallBack(out, table, Fallback::NotConverged, "the weighted fit did not settle");
                table.spheres.push_back(std::move(out));
                continue;
            }
            fit = refined;
            out.numPoints = counted;
        }
        out.rms = fit.rms;
        if (acceptable(out, table, fit, coil, options)) out.sphere = fit;
        table.spheres.push_back(std::move(out));
    }
    return table;
}

bool insideSurface(const Surface& surface, const Point3& p, const Point3& centre) {
    if (!surface.triangles.empty()) {
        // Crossings of the ray from p along a direction no mesh is likely
        // to hold an edge in (Moller-Trumbore).
        const double dir[3] = {0.5773502691896258, 0.5773502691896257, 0.5773502691896259 + 1e-7};
        int crossings = 0;
        for (std::int64_t i = 0; i < surface.numTriangles(); ++i) {
            const std::int32_t* t = surface.triangles.data() + 3 * i;
            const double *a = surface.vertex(t[0]), *b = surface.vertex(t[1]), *c = surface.vertex(t[2]);
            const double e1[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
            const double e2[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
            const double h[3] = {dir[1] * e2[2] - dir[2] * e2[1], dir[2] * e2[0] - dir[0] * e2[2],
                                 dir[0] * e2[1] - dir[1] * e2[0]};
            const double det = e1[0] * h[0] + e1[1] * h[1] + e1[2] * h[2];
            if (std::abs(det) < 1e-300) continue;
            const double s[3] = {p[0] - a[0], p[1] - a[1], p[2] - a[2]};
            const double u = (s[0] * h[0] + s[1] * h[1] + s[2] * h[2]) / det;
            if (u < 0.0 || u > 1.0) continue;
            const double q[3] = {s[1] * e1[2] - s[2] * e1[1], s[2] * e1[0] - s[0] * e1[2], s[0] * e1[1] - s[1] * e1[0]};
            const double v = (dir[0] * q[0] + dir[1] * q[1] + dir[2] * q[2]) / det;
            if (v < 0.0 || u + v > 1.0) continue;
            const double t2 = (e2[0] * q[0] + e2[1] * q[1] + e2[2] * q[2]) / det;
            crossings += t2 > 0.0;
        }
        return crossings % 2 == 1;
    }
    const double d[3] = {p[0] - centre[0], p[1] - centre[1], p[2] - centre[2]};
    const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    if (!(len > 0.0)) return true;
    const double cosCone = std::cos(20.0 * 3.14159265358979323846 / 180.0);
    double sum = 0.0;
    int n = 0;
    for (std::int64_t i = 0; i < surface.numVertices(); ++i) {
        const double* q = surface.vertex(i);
        const double e[3] = {q[0] - centre[0], q[1] - centre[1], q[2] - centre[2]};
        const double l = std::sqrt(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
        if (!(l > 0.0) || (d[0] * e[0] + d[1] * e[1] + d[2] * e[2]) < cosCone * len * l) continue;
        sum += l;
        ++n;
    }
    return n == 0 || len < sum / n;
}

}  // namespace megfwd::head
