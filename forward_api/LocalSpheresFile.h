// The local-sphere file: one sphere per measurement sensor by name, and the
// global sphere that reference sensors take, as versioned JSON beside the
// sensor-array file; and the checks and metadata of a computation that
// uses such a table.
//
//   {"format": "megfwd-local-spheres", "version": 1, "unit": "mm",
//    "method": "nearby", "surface": "inner_skull.surf",
//    "options": {"radius": 85, "min_points": 11, "max_radius": 200},
//    "global_sphere": {"center": [x, y, z], "radius": r, "rms": e},
//    "sensors": [{"name": "MLC11", "center": [x, y, z], "radius": r,
//                 "points": 412, "rms": 0.8, "fallback": null}, ...]}
//
// Positions are in the sensor-array file's frame (host axes). `unit` is
// "mm" (default) or "m"; the table is held in millimetres. `method`,
// `surface`, `options`, `points`, `rms` and `fallback` (null, or the reason
// the sensor took the global sphere) describe the fit and are optional.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "forward_process/CMDataForwardkw.h"
#include "head_model/LocalSpheres.h"

namespace megfwd {

inline constexpr const char* kLocalSpheresFormat = "megfwd-local-spheres";
inline constexpr int kLocalSpheresVersion = 1;

nlohmann::json localSpheresToJson(const head::LocalSpheres& table);
// Checks and reads a table; an InputError names the file (`name`), the entry
// and what is wrong (a missing or non-finite centre, a radius that is not
// positive, a name given twice).
head::LocalSpheres localSpheresFromJson(const nlohmann::json& doc, const std::string& name);
head::LocalSpheres loadLocalSpheres(const std::string& path);
// Writes the file atomically.
void writeLocalSpheres(const head::LocalSpheres& table, const std::string& path);

// The measurement and reference sensors of a trial as the fit takes them:
// names and coil centres (mm, host axes). Only good channels when
// `goodOnly`.
std::vector<head::SensorSite> sensorSites(CMDTrialkw& trial, bool goodOnly);

// For a manager whose channel set is built and whose pLocalSpheres is set:
// an InputError naming the first measurement sensor that the table lacks.
void checkLocalSpheres(const CMDataForwardkw& data);

// What the metadata says of the local spheres a computation used: where
// they came from, each measurement sensor's sphere in channel-set order, the
// global sphere that the reference sensors took, which sensors fell back,
// and the table's entries that name no sensor of the channel set.
nlohmann::json localSpheresFacts(const CMDataForwardkw& data);
// The table's entries that name no measurement sensor of the channel set.
std::vector<std::string> unmatchedEntries(const CMDataForwardkw& data);

}  // namespace megfwd
