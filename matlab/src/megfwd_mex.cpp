// The one compiled gateway of the MATLAB/Octave toolbox. It takes plain
// arrays only (real doubles, and character rows for the command and file
// names); every structure is read and checked by the toolbox's .m files.
//
//   gain = megfwd_mex('gain', points, normals, spheres, rows, cols, weights, ...
//                     numChannels, outputRows, sources, threads, batchSources)
//       points, normals: P x 3 (mm); spheres: 1 x 4 (centre, radius, mm);
//       rows, cols, weights: the non-zeros of the channel-by-point weights
//       (1-based); outputRows: the channels wanted (1-based); sources:
//       N x 3 (mm). gain: numel(outputRows) x 3N, T/(A*m), column 3(s-1)+k
//       for source s and moment axis k.
//   [names, channels, coils, refs] = megfwd_mex('read_sensors', file)
//   megfwd_mex('write_sensors', file, names, channels, coils, refs)
//       a sensor-array file as tables (SensorTables.h; names joined by
//       newlines), millimetres
//   v = megfwd_mex('version')
//
// Errors: every C++ exception is caught inside run(), whose objects are all
// destroyed before the error is raised after it; MATLAB's error call leaves
// the function without running destructors, so nothing may be alive then.
// The scan's worker threads make no MEX call: they only write into the
// output array and collect messages, which are turned into warnings here.
// Sources go to the library in batches; between batches the gateway checks
// for Ctrl-C (Octave: its signal flag; MATLAB: utIsInterruptPending from
// libut) and stops.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "mex.h"

#include "PointGain.h"
#include "SensorTables.h"
#include "forward_api/Errors.h"

#if defined(MEGFWD_OCTAVE)
#include "quit.h"
#else
extern "C" bool utIsInterruptPending(void);
#endif

// The build passes the version as a bare token (-DMEGFWD_VERSION_TOKEN=0.1.0):
// quotes do not survive the shells that mkoctfile and mex run.
#define MEGFWD_STRINGIFY2(x) #x
#define MEGFWD_STRINGIFY(x) MEGFWD_STRINGIFY2(x)
#if defined(MEGFWD_VERSION_TOKEN)
#define MEGFWD_TOOLBOX_VERSION MEGFWD_STRINGIFY(MEGFWD_VERSION_TOKEN)
#else
#define MEGFWD_TOOLBOX_VERSION "unknown"
#endif

namespace {

// The error raised after run() has returned: static, so that no destructor
// is skipped when the error call leaves the gateway.
char gErrorId[64];
char gErrorText[4096];
// Warnings of the last command, raised once run() has returned.
std::vector<std::string> gWarnings;

enum class Outcome { Done, Failed, Interrupted };

bool interruptPending() {
#if defined(MEGFWD_OCTAVE)
    return octave_signal_caught != 0 || octave_interrupt_state > 0;
#else
    return utIsInterruptPending();
#endif
}

void setError(const char* id, const std::string& text) {
    std::snprintf(gErrorId, sizeof gErrorId, "%s", id);
    std::snprintf(gErrorText, sizeof gErrorText, "%s", text.c_str());
}

struct Usage {
    std::string text;
};

const double* realDoubles(const mxArray* a, const char* name) {
    if (!mxIsDouble(a) || mxIsComplex(a) || mxIsSparse(a))
        throw Usage{std::string(name) + " must be a full real double array"};
#if MX_HAS_INTERLEAVED_COMPLEX
    return mxGetDoubles(a);
#else
    return mxGetPr(a);
#endif
}

void needShape(const mxArray* a, const char* name, std::int64_t rows, std::int64_t cols) {
    realDoubles(a, name);
    if ((rows >= 0 && static_cast<std::int64_t>(mxGetM(a)) != rows) ||
        (cols >= 0 && static_cast<std::int64_t>(mxGetN(a)) != cols))
        throw Usage{std::string(name) + " is " + std::to_string(mxGetM(a)) + " x " + std::to_string(mxGetN(a)) +
                    ", expected " + (rows >= 0 ? std::to_string(rows) : std::string("n")) + " x " +
                    (cols >= 0 ? std::to_string(cols) : std::string("n"))};
}

double scalar(const mxArray* a, const char* name) {
    needShape(a, name, 1, 1);
    return realDoubles(a, name)[0];
}

std::string text(const mxArray* a, const char* name) {
    if (!mxIsChar(a)) throw Usage{std::string(name) + " must be a character row"};
    char* s = mxArrayToString(a);
    if (!s) throw Usage{std::string(name) + " could not be read as text"};
    std::string out(s);
    mxFree(s);
    return out;
}

Outcome gain(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs != 12 || nlhs > 1) throw Usage{"'gain' takes 11 arguments and gives one result"};
    megfwd::toolbox::PointGainInput in;
    needShape(prhs[1], "points", -1, 3);
    in.numPoints = static_cast<std::int64_t>(mxGetM(prhs[1]));
    in.points = realDoubles(prhs[1], "points");
    needShape(prhs[2], "normals", in.numPoints, 3);
    in.normals = realDoubles(prhs[2], "normals");
    needShape(prhs[3], "spheres", -1, 4);
    in.numSpheres = static_cast<std::int64_t>(mxGetM(prhs[3]));
    in.spheres = realDoubles(prhs[3], "spheres");
    const std::int64_t nw = static_cast<std::int64_t>(mxGetNumberOfElements(prhs[4]));
    in.numWeights = nw;
    in.weightRows = realDoubles(prhs[4], "rows");
    in.weightCols = realDoubles(prhs[5], "cols");
    in.weights = realDoubles(prhs[6], "weights");
    if (static_cast<std::int64_t>(mxGetNumberOfElements(prhs[5])) != nw ||
        static_cast<std::int64_t>(mxGetNumberOfElements(prhs[6])) != nw)
        throw Usage{"rows, cols and weights must have as many elements"};
    const double nc = scalar(prhs[7], "numChannels");
    if (!(nc >= 1 && nc <= 1e9 && nc == static_cast<double>(static_cast<std::int64_t>(nc))))
        throw Usage{"numChannels must be a whole number >= 1"};
    in.numChannels = static_cast<std::int64_t>(nc);
    in.outputRows = realDoubles(prhs[8], "outputRows");
    in.numOutputs = static_cast<std::int64_t>(mxGetNumberOfElements(prhs[8]));
    needShape(prhs[9], "sources", -1, 3);
    in.numSources = static_cast<std::int64_t>(mxGetM(prhs[9]));
    in.sources = realDoubles(prhs[9], "sources");
    const double threads = scalar(prhs[10], "threads");
    if (!(threads >= 0 && threads <= 4096)) throw Usage{"threads must be from 0 to 4096"};
    in.threads = static_cast<int>(threads);
    const double batch = scalar(prhs[11], "batchSources");
    if (!(batch >= 0 && batch <= 1e15)) throw Usage{"batchSources must be >= 0"};
    in.batchSources = static_cast<std::int64_t>(batch);

    // Every value is written by the computation: no zero-filling first.
    plhs[0] = mxCreateUninitNumericMatrix(static_cast<mwSize>(in.numOutputs),
                                          static_cast<mwSize>(3 * in.numSources), mxDOUBLE_CLASS, mxREAL);
#if MX_HAS_INTERLEAVED_COMPLEX
    double* out = mxGetDoubles(plhs[0]);
#else
    double* out = mxGetPr(plhs[0]);
#endif
    try {
        megfwd::toolbox::pointGain(in, out, interruptPending, gWarnings);
    } catch (const megfwd::toolbox::Interrupted&) {
        return Outcome::Interrupted;
    }
    return Outcome::Done;
}

mxArray* columnMajor(const std::vector<double>& values, std::int64_t cols) {
    const std::int64_t rows = cols > 0 ? static_cast<std::int64_t>(values.size()) / cols : 0;
    mxArray* a = mxCreateDoubleMatrix(static_cast<mwSize>(rows), static_cast<mwSize>(cols), mxREAL);
#if MX_HAS_INTERLEAVED_COMPLEX
    double* p = mxGetDoubles(a);
#else
    double* p = mxGetPr(a);
#endif
    std::copy(values.begin(), values.end(), p);
    return a;
}

std::vector<double> table(const mxArray* a, const char* name, int cols) {
    const double* p = realDoubles(a, name);
    if (mxGetNumberOfElements(a) > 0 && static_cast<int>(mxGetN(a)) != cols)
        throw Usage{std::string(name) + " must have " + std::to_string(cols) + " columns"};
    return std::vector<double>(p, p + mxGetNumberOfElements(a));
}

Outcome readSensors(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs != 2 || nlhs > 4) throw Usage{"'read_sensors' takes a file name and gives 4 results"};
    const megfwd::toolbox::SensorTables t = megfwd::toolbox::readSensorTables(text(prhs[1], "file"));
    std::string names;
    for (const std::string& n : t.names) {
        if (n.find('\n') != std::string::npos)
            throw megfwd::InputError("channel '" + n + "': a name with a line break cannot be read here");
        names += (names.empty() ? "" : "\n") + n;
    }
    plhs[0] = mxCreateString(names.c_str());
    if (nlhs > 1) plhs[1] = columnMajor(t.channels, megfwd::toolbox::kChannelColumns);
    if (nlhs > 2) plhs[2] = columnMajor(t.coils, megfwd::toolbox::kCoilColumns);
    if (nlhs > 3) plhs[3] = columnMajor(t.references, megfwd::toolbox::kReferenceColumns);
    return Outcome::Done;
}

Outcome writeSensors(int nlhs, int nrhs, const mxArray* prhs[]) {
    if (nrhs != 6 || nlhs > 0) throw Usage{"'write_sensors' takes 5 arguments and gives no result"};
    megfwd::toolbox::SensorTables t;
    const std::string path = text(prhs[1], "file");
    const std::string names = text(prhs[2], "names");
    for (std::size_t b = 0;;) {
        const std::size_t e = names.find('\n', b);
        t.names.push_back(names.substr(b, e == std::string::npos ? std::string::npos : e - b));
        if (e == std::string::npos) break;
        b = e + 1;
    }
    t.channels = table(prhs[3], "channels", megfwd::toolbox::kChannelColumns);
    t.coils = table(prhs[4], "coils", megfwd::toolbox::kCoilColumns);
    t.references = table(prhs[5], "refs", megfwd::toolbox::kReferenceColumns);
    megfwd::toolbox::writeSensorTables(t, path);
    return Outcome::Done;
}

// Runs a command; every exception ends here, as an error to raise later.
Outcome run(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    try {
        if (nrhs < 1)
            throw Usage{"the first argument names the command ('gain', 'read_sensors', 'write_sensors' or 'version')"};
        const std::string command = text(prhs[0], "command");
        if (command == "gain") return gain(nlhs, plhs, nrhs, prhs);
        if (command == "read_sensors") return readSensors(nlhs, plhs, nrhs, prhs);
        if (command == "write_sensors") return writeSensors(nlhs, nrhs, prhs);
        if (command == "version") {
            plhs[0] = mxCreateString(MEGFWD_TOOLBOX_VERSION);
            return Outcome::Done;
        }
        throw Usage{"unknown command '" + command + "'"};
    } catch (const Usage& e) {
        setError("megfwd:mexUsage", "megfwd_mex: " + e.text);
    } catch (const megfwd::InputError& e) {
        setError("megfwd:input", e.what());
    } catch (const megfwd::ComputeError& e) {
        setError("megfwd:compute", e.what());
    } catch (const std::bad_alloc&) {
        setError("megfwd:memory", "not enough memory for the computation");
    } catch (const std::exception& e) {
        setError("megfwd:internal", std::string("unexpected error: ") + e.what());
    } catch (...) {
        setError("megfwd:internal", "unexpected error of an unknown kind");
    }
    return Outcome::Failed;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    gWarnings.clear();
    const Outcome outcome = run(nlhs, plhs, nrhs, prhs);
    for (const std::string& w : gWarnings) mexWarnMsgIdAndTxt("megfwd:library", "%s", w.c_str());
    if (outcome == Outcome::Failed) mexErrMsgIdAndTxt(gErrorId, "%s", gErrorText);
    if (outcome == Outcome::Interrupted) {
#if defined(MEGFWD_OCTAVE)
        octave_quit();  // Octave's own interrupt, as if the user had pressed Ctrl-C at the prompt
#endif
        mexErrMsgIdAndTxt("megfwd:interrupted", "megfwd: stopped by the user between batches of sources");
    }
}
