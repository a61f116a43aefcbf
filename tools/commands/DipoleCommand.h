// The dipole command: one current dipole per time point of a recording's
// data (.npy), fitted on the leadfields of a sensor-array file, written as a
// table (CSV) and printed.
#pragma once

#include <ostream>
#include <string>

#include "forward_api/Compute.h"

namespace megfwd::io {

struct DipoleArgs {
    std::string sensors;   // sensor-array file
    std::string data;      // .npy (channels, times), tesla
    std::string noiseCov;  // .npy (channels, channels), T^2; empty: every channel alike
    std::string out;       // .csv
    LeadfieldRequest request;  // settings and the single shell
    double minDist = 5.0;  // mm from the sphere's surface or the inner skull
    double sfreq = 1.0;    // Hz, for the times column
    double tmin = 0.0;     // s, time of the first sample
    int threads = 0;       // 0: every core
    bool quiet = false;
};

int runDipole(const DipoleArgs& args, std::ostream& out);

}  // namespace megfwd::io
