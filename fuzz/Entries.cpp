#include "fuzz/Entries.h"

#include <cmath>
#include <cstring>

#include "base/Errors.h"
#include "base/FileText.h"
#include "forward_api/LocalSpheresFile.h"
#include "forward_api/SensorArrayFile.h"
#include "tools/formats/Npy.h"
#include "tools/formats/SourceFile.h"
#include "tools/formats/SurfaceFile.h"

namespace megfwd::fuzz {

namespace {

void require(bool ok, const std::string& what) {
    if (!ok) throw InvariantBroken(what);
}

void feedRows(const std::string& bytes, int columns) {
    // No extension: the reader decides between text and .npy by the bytes.
    const std::vector<double> rows = io::parseRows(bytes, "input", columns);
    require(!rows.empty() && rows.size() % static_cast<std::size_t>(columns) == 0,
            "the rows do not fill whole rows of " + std::to_string(columns));
    for (double v : rows) require(std::isfinite(v), "a value that is not finite was accepted");
}

}  // namespace

void feedSensorArray(const std::string& bytes) {
    auto array = parseSensorArray(bytes, "input.json");
    reviewSensorArray(*array);
    // What is written back reads back as the same system.
    const std::string text = sensorArrayText(*array->trial());
    std::unique_ptr<SensorArray> again;
    try {
        again = parseSensorArray(text, "written.json");
    } catch (const InputError& e) {
        throw InvariantBroken(std::string("the written file is refused: ") + e.what());
    }
    require(sensorArrayText(*again->trial()) == text, "the written file reads back as a different system");
}

void feedSourceRows(const std::string& bytes) { feedRows(bytes, 3); }

void feedDipoleRows(const std::string& bytes) { feedRows(bytes, 6); }

void feedNpy(const std::string& bytes) {
    const io::NpyArray a = io::parseNpy(bytes, "input.npy");
    require(a.size() >= 0 && static_cast<std::size_t>(a.size()) == a.data.size(),
            "the data does not match the shape");
    // Written as float64 and read again: the same shape and bits.
    const io::NpyArray b = io::parseNpy(io::npyBytes(a.shape, a.data.data()), "written.npy");
    require(b.shape == a.shape, "the written array reads back with another shape");
    require(b.data.size() == a.data.size() &&
                (a.data.empty() || std::memcmp(a.data.data(), b.data.data(), a.data.size() * sizeof(double)) == 0),
            "the written array reads back with other values");
}

void feedLocalSpheres(const std::string& bytes) {
    const head::LocalSpheres t = localSpheresFromJson(parseJsonText(bytes, "input.json"), "input.json");
    for (const head::LocalSphere& s : t.spheres)
        require(std::isfinite(s.sphere.centre[0] + s.sphere.centre[1] + s.sphere.centre[2]) && s.sphere.radius > 0.0 &&
                    std::isfinite(s.sphere.radius),
                "a sphere that is not finite or not positive was accepted");
    // What is written back reads back as the same table.
    const std::string text = localSpheresToJson(t).dump();
    head::LocalSpheres again;
    try {
        again = localSpheresFromJson(parseJsonText(text, "written.json"), "written.json");
    } catch (const InputError& e) {
        throw InvariantBroken(std::string("the written file is refused: ") + e.what());
    }
    require(localSpheresToJson(again).dump() == text, "the written file reads back as a different table");
}

void feedFreeSurfer(const std::string& bytes) {
    const io::SurfaceRead r = io::parseFreeSurfer(bytes, "input.surf");
    for (double x : r.surface.vertices) require(std::isfinite(x), "a point that is not finite was accepted");
    for (std::int32_t v : r.surface.triangles)
        require(v >= 0 && v < r.surface.numVertices(), "a triangle names no vertex");
}

const std::vector<Harness>& harnesses() {
    static const std::vector<Harness> all = {
        {"sensor_array", feedSensorArray},
        {"source_rows", feedSourceRows},
        {"dipole_rows", feedDipoleRows},
        {"npy", feedNpy},
        {"local_spheres", feedLocalSpheres},
        {"freesurfer", feedFreeSurfer},
    };
    return all;
}

Entry entryNamed(const std::string& name) {
    for (const Harness& h : harnesses())
        if (name == h.name) return h.entry;
    return nullptr;
}

}  // namespace megfwd::fuzz
