// The sensor-array file as plain tables, for the toolbox's gateway: the
// .m files turn them into a FieldTrip-style grad structure and back.
// Millimetres, the file's own unit. Arrays are column-major (row i, column
// k of an n-row table at i + n * k).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace megfwd::toolbox {

// Columns of the tables.
constexpr int kChannelColumns = 3;  // kind, good (0/1), gain
constexpr int kCoilColumns = 10;    // channel (1-based), x, y, z, nx, ny, nz, radius, turns, weight
constexpr int kReferenceColumns = 3;  // channel, reference channel (both 1-based), weight

struct SensorTables {
    std::vector<std::string> names;  // one per channel
    std::vector<double> channels;    // names.size() x kChannelColumns
    std::vector<double> coils;       // numCoils x kCoilColumns
    std::vector<double> references;  // numReferences x kReferenceColumns
    std::int64_t numCoils() const { return static_cast<std::int64_t>(coils.size()) / kCoilColumns; }
    std::int64_t numReferences() const { return static_cast<std::int64_t>(references.size()) / kReferenceColumns; }
};

// Reads and checks a sensor-array file (megfwd::InputError naming the file
// and the place for anything wrong).
SensorTables readSensorTables(const std::string& path);

// Checks the tables as the file reader checks a file, and writes them as a
// sensor-array file, atomically. InputError names the channel and coil.
void writeSensorTables(const SensorTables& tables, const std::string& path);

}  // namespace megfwd::toolbox
