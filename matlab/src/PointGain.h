// The computation behind the MATLAB/Octave toolbox, free of any MEX call so
// that it can run on the scan's worker threads.
//
// The toolboxes describe a system as coil points (position, orientation) and
// a channel-by-point weight matrix `tra`; a channel's value is
//   sum over points p of tra(c, p) * (B(p) . ori(p)),
// with the orientation taken at its given length. The points are grouped
// into the library's sensors made of weighted points (PointSensor, the
// points one channel weighs most, see groupPoints in the .cpp), the library
// computes the leadfield of every sensor with computeLeadfield, and each
// channel's sum of sensor values is formed here, block by block on the
// scan's threads as each block of sources is finished.
//
// Every source is computed: the library's stencils (near a coil, towards the
// dewar) are off.
//
// With a single shell (head_model/SingleShell.h) the library corrects each
// of its sensors' sphere leadfields for the shape of the inner skull; the
// correction is linear in a sensor's leadfields, so the channels' sums of
// corrected sensor values are the channels' corrected values.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace megfwd::head {
struct SingleShell;
}

namespace megfwd::toolbox {

// The inputs, in millimetres; arrays are column-major as MATLAB holds them
// (row i, column k of an n-row array at i + n * k).
struct PointGainInput {
    std::int64_t numPoints = 0;
    const double* points = nullptr;   // numPoints x 3
    const double* normals = nullptr;  // numPoints x 3, any length but 0
    // One sphere (centre x, y, z, radius) for every point (numSpheres 1), or
    // one per point (numSpheres == numPoints); with a shell also none
    // (numSpheres 0): the shell then corrects the surface's own
    // least-squares sphere.
    std::int64_t numSpheres = 0;
    const double* spheres = nullptr;  // numSpheres x 4
    // The non-zero weights: channel and point (1-based, as MATLAB's find
    // gives them) and weight, numWeights each.
    std::int64_t numWeights = 0;
    const double* weightRows = nullptr;
    const double* weightCols = nullptr;
    const double* weights = nullptr;
    std::int64_t numChannels = 0;
    // The channels whose values are wanted (1-based), in the order of the
    // gain's rows. Every channel's weights count in the choice of which
    // channel a shared point belongs to, so that a selection of channels
    // gives the values the whole system gives.
    std::int64_t numOutputs = 0;
    const double* outputRows = nullptr;
    // The channels' names (numChannels, or none), for messages.
    std::vector<std::string> channelNames;
    std::int64_t numSources = 0;
    const double* sources = nullptr;  // numSources x 3
    // The single-shell model (millimetres, the sensors' frame), or null.
    std::shared_ptr<const head::SingleShell> shell;
    int threads = 0;                  // 0: every core
    // Set by another thread to stop the computation (it then throws
    // Interrupted within one block of sources).
    const std::atomic<bool>* cancel = nullptr;
};

struct Interrupted {};

// Each source's values go to out[s]: a numOutputs x 3 column-major block
// (column k the moment along axis k), in T/(A*m); the blocks of a gain
// matrix (numOutputs x 3 * numSources) are its column triples, so
// out[s] = gain + 3 * numOutputs * s. Written from the scan's threads, each
// block once. Throws megfwd::InputError for input the computation cannot
// take (naming the argument and the row), SensorInside for a coil point
// inside or on the shell's surface, megfwd::ComputeError when the library
// refuses, and Interrupted. `warnings` receives the library's messages and
// warnings.
void pointGain(const PointGainInput& in, double* const* out, std::vector<std::string>& warnings);

// A coil point inside or on the single shell's surface, named by its
// channel.
struct SensorInside {
    std::string text;
};

}  // namespace megfwd::toolbox
