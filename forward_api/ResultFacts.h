// The facts a result's metadata records about how its numbers were made:
// the settings, the integration rule, the reference correction, the spheres,
// the sensors and sources used, the scan, the array's layout and the values'
// unit. Shared by the leadfield routes and the field values; not for the
// library's callers (they read ForwardResult::meta).
#pragma once

#include <array>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "forward_api/Compute.h"

namespace megfwd::detail {

// "(x, y, z) mm", for messages.
std::string positionText(const std::array<double, 3>& p);

// The names of the channel set's measurement sensors (from their owners in
// the trial) and their first-coil positions in host axes and millimetres
// (the channel set's copies may have been shifted), into the result.
void sensorInfo(CMDataForwardkw& data, const SystemRef& sys, ForwardResult& r);

// The source records' positions, into the result.
void sourceInfo(CMDataForwardkw& data, ForwardResult& r);

// The sphere the scan used, in host axes and millimetres: the one the sphere
// model selects, read before any later step could shift it.
nlohmann::json scanSphereJson(const CMDataForwardkw& data);

// The metadata every result shares: program, settings, integration,
// reference correction, spheres, sensors and sources.
nlohmann::json commonMeta(const std::string& command, const SystemRef& sys, const std::string& sourceLabel,
                          const CMForwardkw& engine, CMDataForwardkw& data, const nlohmann::json& scanSphere,
                          const ForwardResult& r);

// The leadfield's unit and metadata, the same for both routes: the common
// facts, the grid, the scan (`scanInfo`, completed here with the scan
// function and the memory figures; its "output_storage", when present,
// names where the values went), the array's layout and the values' unit.
// `divisor` is the product of the post-processing's scales. Without
// req.metadata only the unit and the notes are made.
void leadfieldMeta(ForwardResult& r, const SystemRef& sys, const SourceSpec& src, const LeadfieldRequest& req,
                   CMForwardkw& engine, CMDataForwardkw& data, const nlohmann::json& scanSphere, ScanKind kind,
                   double divisor, nlohmann::json scanInfo);

// The field values' unit and metadata; `dipoles` as computeField takes them.
void fieldMeta(ForwardResult& r, const SystemRef& sys, const std::string& label, const LeadfieldRequest& req,
               CMForwardkw& engine, CMDataForwardkw& data, const nlohmann::json& scanSphere,
               const std::vector<double>& dipoles);

}  // namespace megfwd::detail
