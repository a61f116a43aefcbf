// The commands of the megfwd program. Each takes its parsed arguments, writes
// its report to `out` and its output files atomically, and throws an
// InputError (bad input, exit code 2) or a ComputeError (the library refused,
// exit code 1); runGuarded turns those into one line on stderr and the exit
// code.
#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "forward_api/Compute.h"
#include "base/Errors.h"
#include "head_model/LocalSpheres.h"

namespace megfwd::io {

// Exit codes: success, the library refused the computation, bad input.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitBadInput = 2;

struct LeadfieldArgs {
    std::string sensors;   // sensor-array file
    std::string grid;      // --grid value, or empty
    std::string sources;   // --sources file, or empty
    std::string out;       // .npy path; the metadata goes beside it as .json
    LeadfieldRequest request;
    bool quiet = false;    // errors and warnings only: no progress, notes or report
    // Write the values into the output file as they are computed instead of
    // holding them in memory; also chosen when they would not fit in memory.
    bool outOfCore = false;
    // Derivatives of the leadfields in the source position instead:
    // (sources, sensors, 3, 3), per metre (per mm with the library's scale).
    bool gradient = false;
    // Ends the process (endProcess) once the outputs are in place.
    bool endProcess = false;
};

struct FieldArgs {
    std::string sensors;
    std::string dipoles;
    std::string out;
    LeadfieldRequest request;
    bool quiet = false;    // errors and warnings only
    bool endProcess = false;  // as LeadfieldArgs::endProcess
};

struct InfoArgs {
    std::string sensors;
};

struct PlotArgs {
    std::string input;         // .npy written by leadfield or field
    std::string out;           // .svg
    std::string sensors;       // optional sensor-array file for the positions
    long long source = 0;
    std::string component;     // index, "norm", or empty: the strongest component
    bool allChannels = false;  // the array was made with --all-channels
    bool quiet = false;        // no report on stdout
};

struct SpheresArgs {
    std::string sensors;       // sensor-array file
    std::string surface;       // FreeSurfer surface, .npy vertices or text points
    std::string triangles;     // optional .npy of triangles for .npy vertices
    std::string surfaceUnit;   // "mm", "m" or empty (mm)
    head::LocalSphereOptions options;
    std::string out;           // the local-sphere file (.json)
    bool allChannels = false;  // fit bad channels too
    bool quiet = false;        // errors and warnings only
};

// A picture of the local spheres: the head (points of --surface, or the
// global sphere's outline), the sensors and each one's sphere centre, in
// three views.
struct PlotSpheresArgs {
    std::string spheres;       // local-sphere file
    std::string sensors;       // sensor-array file
    std::string surface, triangles, surfaceUnit;  // optional head points
    std::string out;           // .svg
    bool quiet = false;
};

struct DemoArgs {
    std::string outDir = "megfwd-demo-output";
    std::string writeSensors;  // only write the default system to this file
    bool quiet = false;        // errors and warnings only
    int order = 2;
    std::string program = "megfwd";  // how the printed hints run this program (programForHints)
};

// How a user types this program in a command: "megfwd" when it was found on
// the PATH (argv0 without a slash), otherwise the path of the running
// program, relative to `cwd` when it lies inside it ("build/release/megfwd",
// "./megfwd") and absolute when not; quoted for the shell when needed.
std::string programForHints(const std::string& argv0, const std::string& exe, const std::string& cwd);
// The same for this process (/proc/self/exe and the current directory).
std::string programForHints(const std::string& argv0);

int runLeadfield(const LeadfieldArgs& args, std::ostream& out);
int runField(const FieldArgs& args, std::ostream& out);
int runInfo(const InfoArgs& args, std::ostream& out);
int runPlot(const PlotArgs& args, std::ostream& out);
int runDemo(const DemoArgs& args, std::ostream& out);
int runSpheres(const SpheresArgs& args, std::ostream& out);
int runPlotSpheres(const PlotSpheresArgs& args, std::ostream& out);

// Runs a command and maps its errors to exit codes (0, 1, 2), printing
// "megfwd: <message>" on stderr, after the count of repeated library
// messages (reportRepeatedMessages).
int runGuarded(const std::function<int()>& command);

// Shows the library's messages as "megfwd: <text>" on stderr and answers its
// one Yes/No question with `answerYes` (the tools' default is No). A text is
// shown once; reportRepeatedMessages tells how often each came again and
// starts the counts afresh.
void installMessageHandler(bool answerYes);
void reportRepeatedMessages();

// Ends a command-line process that has written its outputs: reports the
// repeated messages, flushes stdout and stderr and exits with `code` without
// freeing what the command built (the sensors, the metadata tree, the plan:
// 1.5 to 2.5 ms of destructors for the demo system, a few percent of the
// whole command). The kernel takes the memory back at once. Under
// AddressSanitizer it returns instead, so that the leak check at exit runs.
void endProcess(int code);

}  // namespace megfwd::io
