// The toolbox's gateway for Octave: an oct-file, so that results are made
// as Octave's own arrays and filled in place. (Octave's MEX layer copies
// every array a MEX function returns, element by element: for a 275 x 15000
// gain that copy took longer than the computation.) The commands are in
// Gateway.cpp, shared with the MATLAB MEX file megfwd_mex.cpp.
//
// Result arrays are allocated here without zero-filling (Octave's own
// constructors fill every element) and handed to Octave, which owns and
// frees them; the scan's threads write into them and make no Octave call.
// Octave's errors unwind through this function as C++ exceptions, so every
// object here is destroyed as usual.
// Octave's headers use a capture that C++20 deprecates.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated"
#include <octave/oct.h>
#include <octave/Cell.h>
#include <octave/quit.h>
#pragma GCC diagnostic pop

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Gateway.h"
#include "PointGain.h"
#include "forward_api/HugePages.h"

namespace tb = megfwd::toolbox;

namespace {

// An uninitialised rows x cols double array that Octave owns: Array's
// pointer constructor takes memory from operator new and frees it with
// delete.
octave_value freshMatrix(std::int64_t rows, std::int64_t cols, double** data) {
    const auto n = static_cast<std::size_t>(rows * cols);
    if (n == 0) {
        *data = nullptr;
        return octave_value(Matrix(rows, cols));
    }
    double* p = std::allocator<double>().allocate(n);
    megfwd::adviseHugePages(p, n * sizeof(double));
    *data = p;
    return octave_value(NDArray(Array<double>(p, dim_vector(rows, cols))));
}

class OctaveResults : public tb::Results {
public:
    OctaveResults(int wanted, octave_value_list& list) : Results(wanted), list(list) {}
    double* matrix(int index, std::int64_t rows, std::int64_t cols) override {
        double* p = nullptr;
        list(index) = freshMatrix(rows, cols, &p);
        return p;
    }
    // The filled entries are column slices of one array, which they share:
    // one allocation instead of one per source (thousands of small blocks
    // of fresh heap cost more in page faults than the values take to
    // compute).
    std::vector<double*> cells(int index, std::int64_t count, std::int64_t rows, std::int64_t cols,
                               const std::vector<char>& filled) override {
        const auto numFilled = static_cast<std::int64_t>(std::count(filled.begin(), filled.end(), 1));
        double* base = nullptr;
        const NDArray all = freshMatrix(rows, cols * numFilled, &base).array_value();
        Cell c(1, count);
        std::vector<double*> data(static_cast<std::size_t>(count), nullptr);
        const octave_value empty{Matrix()};
        for (std::int64_t i = 0, k = 0; i < count; ++i) {
            if (!filled[static_cast<std::size_t>(i)]) {
                c(i) = empty;
                continue;
            }
            c(i) = octave_value(NDArray(all.index(idx_vector::colon, idx_vector(cols * k, cols * (k + 1)))));
            data[static_cast<std::size_t>(i)] = base + rows * cols * k;
            ++k;
        }
        list(index) = octave_value(c);
        return data;
    }
    void text(int index, const std::string& value) override { list(index) = octave_value(value); }

private:
    octave_value_list& list;
};

tb::Arg argOf(const octave_value& v, std::vector<NDArray>& keep) {
    tb::Arg a;
    if (v.is_string()) {
        a.kind = tb::Arg::Kind::Text;
        a.text = v.string_value();
        return a;
    }
    a.rows = v.rows();
    a.cols = v.columns();
    if (v.is_double_type() && !v.iscomplex() && !v.issparse() && v.ndims() == 2) {
        keep.push_back(v.array_value());
        a.kind = tb::Arg::Kind::Doubles;
        a.data = keep.back().data();
        return a;
    }
    a.what = v.class_name() + (v.issparse() ? " (sparse)" : v.iscomplex() ? " (complex)" : "");
    return a;
}

bool interruptPending() { return octave_signal_caught != 0 || octave_interrupt_state > 0; }

}  // namespace

DEFUN_DLD(megfwd_mex, args, nargout,
          "-*- texinfo -*-\n@deftypefn {} {} megfwd_mex (@var{command}, @dots{})\n"
          "The compiled gateway of the megfwd toolbox; use megfwd_leadfield and megfwd_gain.\n@end deftypefn") {
    std::vector<NDArray> keep;
    keep.reserve(static_cast<std::size_t>(args.length()));  // the Args point into these
    std::vector<tb::Arg> in;
    for (int i = 0; i < args.length(); ++i) in.push_back(argOf(args(i), keep));
    octave_value_list out;
    OctaveResults results(std::max(nargout, 1), out);
    std::vector<tb::GatewayWarning> warnings;
    bool interrupted = false;
    tb::GatewayError failure;
    try {
        tb::runCommand(in, results, interruptPending, warnings);
    } catch (const tb::Interrupted&) {
        interrupted = true;
    } catch (const tb::GatewayError& e) {
        failure = e;
    }
    for (const tb::GatewayWarning& w : warnings) warning_with_id(w.id.c_str(), "%s", w.text.c_str());
    if (interrupted) {
        octave_quit();  // Octave's own interrupt, as if the user had pressed Ctrl-C at the prompt
        error_with_id("megfwd:interrupted", "megfwd: stopped by the user");
    }
    if (!failure.id.empty()) error_with_id(failure.id.c_str(), "%s", failure.text.c_str());
    return out;
}
