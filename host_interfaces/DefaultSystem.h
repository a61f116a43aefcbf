// The embedded demonstration system: a deterministic whole-head MEG system
// that needs no files, for the demo, the tools and the tests.
//
// Geometry, in millimetres in the host frame (OpenGL axes: y vertical, z
// towards the nose, x to the left ear); the head centre is at the origin:
// - 275 first-order axial gradiometers (kind 101). The lower coil lies on a
//   helmet, a spherical cap of radius 120 mm about the origin that reaches
//   down to 110 degrees from the vertex at the back and sides and to 80
//   degrees over the face; the upper coil is 50 mm further out along the
//   outward radial normal. Coil radius 9 mm, nTurns +1 (lower) and -1
//   (upper), coil weights +1 and -1.
// - 29 reference sensors well above the head (lowest at y = 230 mm): three
//   orthogonal magnetometer triplets (kind 10, 9 sensors) and 20 first-order
//   gradiometers (kind 11) with 50 mm baselines.
// - 4 channels that are not MEG sensors (kind 200 and 300, no sensor), one of
//   them between the reference and the measurement channels.
// Every measurement channel carries synthetic reference weights on the three
// magnetometer triplets' centre sensors and on five gradiometers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host_interfaces/Recording.h"
#include "host_interfaces/SourceSpace.h"

namespace megfwd::demo {

constexpr int kNumMeasurement = 275;
constexpr int kNumReference = 29;
constexpr int kNumOther = 4;
constexpr double kHelmetRadius = 120.0;   // mm
constexpr double kBaseline = 50.0;        // mm
constexpr double kCoilRadius = 9.0;       // mm

// One trial with every channel of the system, in channel order: references,
// one non-MEG channel, measurement sensors, three further non-MEG channels.
CMDTrialkw makeDefaultTrial();

// A recording of `numTrials` identical trials of the default system.
CMEGDatakw makeDefaultRecording(int numTrials = 1);

// The points of a cubic grid with spacing `step` (centred on `center`) that
// lie inside the sphere of radius `radius` about `center`, in grid order
// (x slowest, z fastest).
CVirtSnsPOXlistkw makeSphereSourceList(const double center[3], double radius, double step);

// Counts of a trial's channels by kind code, in ascending order of the code;
// a channel without a sensor is counted under its kind all the same.
struct KindCount {
    int kind = 0;
    int count = 0;
};
std::vector<KindCount> countChannelsByKind(CMDTrialkw& trial);

// A short human name for a kind code ("axial gradiometer (1st order)", ...).
std::string kindName(int kind);

}  // namespace megfwd::demo
