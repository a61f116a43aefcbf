// The toolbox's gateway for MATLAB, as a MEX file (the interleaved-complex
// API, R2018a or later). The commands are in Gateway.cpp, shared with the
// Octave oct-file megfwd_oct.cpp; this file only turns mxArrays into Args
// and back.
//
// MATLAB's error call leaves the function without running destructors, so
// every C++ object is gone before an error is raised: run() returns the
// refusal, and mexFunction raises it. The scan's worker threads make no MEX
// call: they only write into the result arrays, and the library's messages
// are collected and raised as warnings here. While a computation runs this
// thread asks utIsInterruptPending (libut) for Ctrl-C.
#include <cstdio>
#include <string>
#include <vector>

#include "mex.h"

#include "Gateway.h"
#include "PointGain.h"

#if defined(MEGFWD_OCTAVE)
// Octave also builds MEX files; the toolbox's Octave gateway is the
// oct-file, and this build of the MEX file is kept for its tests.
#include "quit.h"
#else
extern "C" bool utIsInterruptPending(void);
#endif

namespace tb = megfwd::toolbox;

namespace {

// The refusal raised after run() has returned: static, so that no
// destructor is skipped when the error call leaves the gateway.
char gErrorId[64];
char gErrorText[4096];
// Warnings of the last command, raised once run() has returned.
std::vector<tb::GatewayWarning> gWarnings;

enum class Outcome { Done, Failed, Interrupted };

bool interruptPending() {
#if defined(MEGFWD_OCTAVE)
    return octave_signal_caught != 0 || octave_interrupt_state > 0;
#else
    return utIsInterruptPending();
#endif
}

double* values(mxArray* a) {
#if MX_HAS_INTERLEAVED_COMPLEX
    return mxGetDoubles(a);
#else
    return mxGetPr(a);
#endif
}

class MexResults : public tb::Results {
public:
    MexResults(int wanted, mxArray** plhs) : Results(wanted), plhs(plhs) {}
    double* matrix(int index, std::int64_t rows, std::int64_t cols) override {
        plhs[index] = mxCreateUninitNumericMatrix(static_cast<mwSize>(rows), static_cast<mwSize>(cols), mxDOUBLE_CLASS, mxREAL);
        return values(plhs[index]);
    }
    std::vector<double*> cells(int index, std::int64_t count, std::int64_t rows, std::int64_t cols,
                               const std::vector<char>& filled) override {
        plhs[index] = mxCreateCellMatrix(1, static_cast<mwSize>(count));
        std::vector<double*> data(static_cast<std::size_t>(count), nullptr);
        for (std::int64_t i = 0; i < count; ++i) {
            mxArray* m = filled[static_cast<std::size_t>(i)]
                             ? mxCreateUninitNumericMatrix(static_cast<mwSize>(rows), static_cast<mwSize>(cols),
                                                           mxDOUBLE_CLASS, mxREAL)
                             : mxCreateDoubleMatrix(0, 0, mxREAL);
            if (filled[static_cast<std::size_t>(i)]) data[static_cast<std::size_t>(i)] = values(m);
            mxSetCell(plhs[index], static_cast<mwIndex>(i), m);
        }
        return data;
    }
    void text(int index, const std::string& value) override { plhs[index] = mxCreateString(value.c_str()); }

private:
    mxArray** plhs;
};

tb::Arg argOf(const mxArray* a) {
    tb::Arg out;
    if (mxIsChar(a)) {
        out.kind = tb::Arg::Kind::Text;
        if (char* s = mxArrayToString(a)) {
            out.text = s;
            mxFree(s);
        }
        return out;
    }
    out.rows = static_cast<std::int64_t>(mxGetM(a));
    out.cols = static_cast<std::int64_t>(mxGetN(a));
    if (mxIsDouble(a) && !mxIsComplex(a) && !mxIsSparse(a) && mxGetNumberOfDimensions(a) == 2) {
        out.kind = tb::Arg::Kind::Doubles;
        out.data = values(const_cast<mxArray*>(a));
        return out;
    }
    out.what = std::string(mxGetClassName(a)) + (mxIsSparse(a) ? " (sparse)" : mxIsComplex(a) ? " (complex)" : "");
    return out;
}

// Runs a command; every refusal ends here, as an error to raise later.
Outcome run(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    std::vector<tb::Arg> in;
    for (int i = 0; i < nrhs; ++i) in.push_back(argOf(prhs[i]));
    MexResults results(nlhs > 1 ? nlhs : 1, plhs);
    try {
        tb::runCommand(in, results, interruptPending, gWarnings);
    } catch (const tb::Interrupted&) {
        return Outcome::Interrupted;
    } catch (const tb::GatewayError& e) {
        std::snprintf(gErrorId, sizeof gErrorId, "%s", e.id.c_str());
        std::snprintf(gErrorText, sizeof gErrorText, "%s", e.text.c_str());
        return Outcome::Failed;
    }
    return Outcome::Done;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    gWarnings.clear();
    const Outcome outcome = run(nlhs, plhs, nrhs, prhs);
    for (const tb::GatewayWarning& w : gWarnings) mexWarnMsgIdAndTxt(w.id.c_str(), "%s", w.text.c_str());
    if (outcome == Outcome::Failed) mexErrMsgIdAndTxt(gErrorId, "%s", gErrorText);
    if (outcome == Outcome::Interrupted) {
#if defined(MEGFWD_OCTAVE)
        octave_quit();  // Octave's own interrupt, as if the user had pressed Ctrl-C at the prompt
#endif
        mexErrMsgIdAndTxt("megfwd:interrupted", "megfwd: stopped by the user");
    }
}
