// The sensor-array file: a JSON description of an MEG system's channels,
// their pickup coils and reference weights, read into the host layer as a
// recording with one trial.
//
//   {"format": "megfwd-sensor-array", "version": 1, "unit": "mm",
//    "channels": [
//      {"name": "MLC11", "kind": 101, "good": true, "gain": 1.0,
//       "coils": [{"position": [x, y, z], "normal": [nx, ny, nz],
//                  "radius": 9.0, "turns": 1, "weight": 1.0}, ...],
//       "references": [{"channel": "BG1", "weight": 0.0123}, ...]}, ...]}
//
// Channel order in the file is the channel order. `kind` 100..103 is a
// measurement sensor, 10..13 a reference sensor; any other kind is kept as a
// channel that is not an MEG sensor (its coils are ignored). `good` (default
// true), `gain` (default 1.0), `turns` (default 1), `weight` (default: the
// value of `turns`) and `references` are optional. `unit` is "mm" (default)
// or "m"; positions and radii are kept in millimetres. `normal` sets both the
// coil's orientation and its normal; it need not have unit length.
// Positions must lie within kMaxCoordinateMm on every axis and radii be at
// most kMaxCoilRadiusMm (Sources.h says why), so that nothing computed from
// the file leaves the range of a double.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host_interfaces/Recording.h"

namespace megfwd {

inline constexpr const char* kSensorArrayFormat = "megfwd-sensor-array";
inline constexpr int kSensorArrayVersion = 1;

struct SensorArray {
    std::string path;
    std::string unit = "mm";          // unit of the file (values are held in mm)
    CMEGDatakw recording;             // one trial with every channel
    std::vector<std::string> notes;   // things worth knowing that are not errors

    CMDTrialkw* trial() { return recording.getTrial(0); }
};

// Reads and checks a sensor-array file. Every problem that makes the file
// unusable is an InputError with one line naming the file and the place
// (line and column for malformed JSON, channel name and number, coil number).
std::unique_ptr<SensorArray> loadSensorArray(const std::string& path);
// The same for text already in memory; `name` stands for the file in messages.
std::unique_ptr<SensorArray> parseSensorArray(const std::string& text, const std::string& name);

// A system held in arrays, as a program that already has its channels in
// memory gives it (the Python package, from its own dicts or from an MNE
// Info): one entry per channel, per coil (coils in channel order) and per
// reference weight (in channel order). Values mean what the file's keys of
// the same name mean; positions and radii are in `unit` ("mm" or "m").
struct SensorArrayColumns {
    std::vector<std::string> names;
    std::span<const int> kinds;
    std::span<const std::uint8_t> good;           // 0 or 1
    std::span<const double> gains;
    std::span<const std::int64_t> coilCounts;     // coils of each channel
    std::span<const double> positions;            // 3 per coil
    std::span<const double> normals;              // 3 per coil
    std::span<const double> radii;
    std::span<const int> turns;
    std::span<const double> weights;
    std::span<const std::int64_t> referenceCounts;  // reference weights of each channel
    std::span<const std::int64_t> referenceChannels; // index of the reference channel
    std::span<const double> referenceWeights;
    std::string unit = "m";
};

// Builds and checks a system from arrays with the file's checks; an
// InputError names `name`, the channel (name and number) and the coil as a
// file's message would, and a mismatch of the arrays' lengths.
std::unique_ptr<SensorArray> sensorArrayFromColumns(const SensorArrayColumns& columns, const std::string& name);

// A trial's channels in the file format (units mm), and the whole file text,
// one coil per line so that it is easy to edit.
nlohmann::json sensorArrayToJson(CMDTrialkw& trial);
std::string sensorArrayText(CMDTrialkw& trial);
// Writes the file atomically.
void writeSensorArray(CMDTrialkw& trial, const std::string& path);

// Problems that do not stop a computation but that a user should hear of
// (bad channels, measurement sensors without reference weights, coils that
// point inwards, ...), one line each.
std::vector<std::string> reviewSensorArray(SensorArray& array);

}  // namespace megfwd
