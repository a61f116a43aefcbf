// The commands of the toolbox's compiled gateway, shared by its two
// front ends: the Octave oct-file (megfwd_oct.cpp) and the MATLAB MEX file
// (megfwd_mex.cpp). Each front end only turns its own arrays into Args,
// makes its own result arrays through Results, and raises the errors and
// warnings this code hands back; every command is here, once.
//
// The commands take plain arrays only (real doubles, and character rows for
// names and options); every structure is read and checked by the .m files.
// Arrays are column-major (row i, column k of an n-row array at i + n * k).
// Positions are millimetres.
//
//   G = megfwd_mex('gain', points, normals, spheres, rows, cols, weights,
//                  numChannels, outputRows, sources, threads, options...)
//       points, normals: P x 3; spheres: 1 x 4 (centre, radius), P x 4 (one
//       per point) or 0 x 4 (with a surface: its least-squares sphere);
//       rows, cols, weights: the non-zeros of the channel-by-point weights
//       (1-based); outputRows: the channels wanted (1-based); sources:
//       N x 3. G: numel(outputRows) x 3N, T/(A*m), column 3(s-1)+k for
//       source s and moment axis k. Options, as name-value pairs:
//         'surface', V (vertices, V x 3), 'triangles', T (1-based, T x 3):
//             the single shell; 'order', n ([]: the library's default),
//             'fit', 'galerkin' or 'lsq';
//         'names', text: the channels' names joined by newlines, for
//             messages.
//   L = megfwd_mex('leadfield', ...the same..., 'inside', idx, 'positions', M)
//       L: a 1 x M cell; L{idx(s)} is source s's numel(outputRows) x 3
//       leadfield, the other cells are empty (FieldTrip's layout).
//   [T, facts] = megfwd_mex('check_surface', V, T, order, fit)
//       the surface checked and its triangles wound outward (1-based);
//       facts = [turned (0/1), expansion centre (3), least-squares sphere (4)].
//   s = megfwd_mex('fit_sphere', P)        [centre radius rms], P: n x 3
//   [spheres, fallback, reasons, global] = megfwd_mex('fit_local_spheres',
//           surface, triangles, names, coils, coilSensor, radius, minPoints,
//           maxRadius, method)
//       one sphere per named sensor (names joined by newlines) whose coil
//       centres are the rows of `coils` with coilSensor (1-based) naming
//       it; spheres: n x 4; fallback: n x 1 (0/1); reasons: the fallbacks'
//       reasons joined by newlines; global: the global sphere and its rms.
//   limits = megfwd_mex('shell_limits')    [default order, highest order]
//   [names, channels, coils, refs] = megfwd_mex('read_sensors', file)
//   megfwd_mex('write_sensors', file, names, channels, coils, refs)
//       a sensor-array file as tables (SensorTables.h; names joined by
//       newlines)
//   v = megfwd_mex('version')
//
// A computation runs on its own threads while the caller's thread asks the
// front end, every few hundredths of a second, whether the user pressed
// Ctrl-C; if so the computation stops after the block of sources it is in.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace megfwd::toolbox {

// One argument of a call, as the front end found it.
struct Arg {
    enum class Kind { Doubles, Text, Other };
    Kind kind = Kind::Other;
    std::int64_t rows = 0, cols = 0;
    const double* data = nullptr;  // Doubles: full, real, column-major
    std::string text;              // Text
    std::string what;              // Other: what it is (a class name), for messages
    std::int64_t numel() const { return rows * cols; }
};

// The result arrays, made in the front end's own storage.
class Results {
public:
    explicit Results(int wanted) : wanted(wanted) {}
    virtual ~Results() = default;
    // How many results the caller asked for (a command always makes its
    // first).
    const int wanted;
    // A rows x cols double matrix as result `index`; its values are not set
    // (the command writes every one).
    virtual double* matrix(int index, std::int64_t rows, std::int64_t cols) = 0;
    // A 1 x count cell array as result `index`: entry i a rows x cols matrix
    // (values not set) where filled[i], else empty. Returns the matrices'
    // data, null for the empty ones.
    virtual std::vector<double*> cells(int index, std::int64_t count, std::int64_t rows, std::int64_t cols,
                                       const std::vector<char>& filled) = 0;
    virtual void text(int index, const std::string& value) = 0;
};

// A refusal, with the identifier the front end raises it under
// ("megfwd:input", "megfwd:surface", ...) and its one line.
struct GatewayError {
    std::string id, text;
};

// A warning for the front end to raise: the library's own
// ("megfwd:library"), or a source where the formula has no value
// ("megfwd:sourceAtCentre", "megfwd:sourceOnCoil").
struct GatewayWarning {
    std::string id, text;
};

// Runs the command named by args[0]. `interruptPending` is called on the
// caller's thread only. Throws GatewayError for every failure and
// Interrupted (PointGain.h) when the user stopped the computation.
void runCommand(const std::vector<Arg>& args, Results& out, const std::function<bool()>& interruptPending,
                std::vector<GatewayWarning>& warnings);

}  // namespace megfwd::toolbox
