// Local spheres: one sphere per MEG measurement sensor, fitted to the part
// of a head surface (or of digitised head-shape points) that the sensor
// sees best, and the table by sensor name that carries them into a scan.
//
// A sphere fitted to the whole head is far off on a head that is not round;
// a sphere fitted near each sensor follows the head where that sensor is
// most sensitive. Reference sensors, far from the head, take the sphere
// fitted to all points (the global sphere).
//
// Millimetres, in the frame of the sensors (the host's axes).
#pragma once

#include <array>
#include <string>
#include <vector>

#include "head_model/SphereFit.h"
#include "head_model/Surface.h"

namespace megfwd::head {

// What a fit needs of a sensor.
struct SensorSite {
    std::string name;
    std::vector<Point3> coils;  // coil centres
    bool reference = false;
};

enum class LocalSphereMethod {
    // A sphere fitted to the surface points within `radius` of the sensor.
    Nearby,
    // A weighted geometric fit of all points started from the nearby
    // sphere: each point counts by the surface area it stands for divided
    // by the fourth power of its distance to the sensor's coil nearest the
    // head. The sensor's sensitivity to a current element falls as 1/d^2,
    // and the fit squares the residuals, so the weight is that sensitivity
    // squared; on boundary-element references it came closest to the best
    // sphere per sensor, closer than Gaussian distance weights.
    Weighted,
};

struct LocalSphereOptions {
    LocalSphereMethod method = LocalSphereMethod::Nearby;
    double radius = 85.0;      // mm: points this near the sensor are fitted
    int minPoints = 11;        // fewer selected points: the global sphere
    double maxRadius = 200.0;  // mm: a larger fitted sphere is replaced by the global one
    bool operator==(const LocalSphereOptions&) const = default;
};

// Why a sensor took the global sphere instead of its own.
enum class Fallback {
    None,
    TooFewPoints,     // fewer than minPoints surface points within radius
    Degenerate,       // the selected points lie on a line or a plane
    TooLarge,         // the fitted radius exceeds maxRadius
    EnclosesSensor,   // the fitted sphere reaches the sensor's coil
    NotConverged,     // the weighted fit did not settle
    Given,            // a table read from a file says the sensor fell back
};

struct LocalSphere {
    std::string name;
    Sphere sphere;
    Fallback fallback = Fallback::None;
    std::string reason;   // one sentence when fallback is not None
    int numPoints = 0;    // surface points the fit used (0: from a file)
    double rms = 0.0;     // the fit's RMS residual (0: from a file)
    bool operator==(const LocalSphere&) const = default;
};

// The table a scan takes: measurement sensors by name, and the global
// sphere for reference sensors and for sensors whose own fit failed.
struct LocalSpheres {
    std::vector<LocalSphere> spheres;
    Sphere globalSphere;
    double globalRms = 0.0;
    std::string method;   // "nearby", "weighted", or what a file says
    LocalSphereOptions options;
    std::string surface;  // what the spheres were fitted to (a surface's label), if known
    std::string label;    // where the table came from, for messages (a file name, a surface's label)

    // The entry named `name`, or null.
    const LocalSphere* find(const std::string& name) const;
    int numFallback() const;
    bool operator==(const LocalSpheres&) const = default;
};

std::string methodName(LocalSphereMethod m);
// "nearby" or "weighted" (any case); InputError naming the choices otherwise.
LocalSphereMethod parseMethod(const std::string& text);

// One sphere per measurement sensor of `sensors` (reference sensors are
// skipped: they take the global sphere). Throws InputError when the surface
// fails checkSurface or cannot give a global sphere (see fitSphere), when an option is out of
// range, or when a sensor has no coil.
LocalSpheres fitLocalSpheres(const Surface& surface, const std::vector<SensorSite>& sensors,
                             const LocalSphereOptions& options);

// The area each point of a mesh stands for: a third of the area of every
// triangle it belongs to. 1 for every point of a surface without triangles.
std::vector<double> pointAreas(const Surface& surface);

// Whether `p` lies inside `surface`: for a mesh by the parity of a ray's
// crossings; for points without triangles, seen from `centre` (a point
// inside the head, such as the global sphere's centre), whether `p` is
// nearer than the mean distance of the points within 20 degrees of its
// direction (true when no point is in that cone).
bool insideSurface(const Surface& surface, const Point3& p, const Point3& centre);

}  // namespace megfwd::head
