// The library's whole-computation API: a system (a recording and one of its
// trials), sources, settings in; leadfields or field values, the in-scan
// flags, the positions used, the value unit and the metadata facts out, in
// the host's order: channel set, sources, settings, preparation, scan,
// post-processing, normalisation. The command-line program, the Python
// module and the settings window are thin layers over it.
//
// Errors are exceptions (Errors.h): InputError for input the computation
// cannot take, ComputeError when the library refuses a step (its own
// message has then gone through the message box; the error names the step
// and, for a scan, the source) or when a computed value is not finite (the
// error names the source and the sensor: no result ever holds such values),
// Cancelled when the progress callback asked to stop.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "forward_process/CMDataForwardkw.h"
#include "forward_api/Settings.h"
#include "forward_api/ValueStats.h"
#include "forward_api/Sources.h"
#include "forward_engine/CMForwardkw.h"

namespace megfwd {

namespace head {
struct SingleShell;
}

// Progress of a computation: `done` of `total` sources. Returning false
// cancels it (the computation then throws Cancelled). The fast route calls
// it from its worker threads, one call at a time and with `done` growing;
// it must not call back into the computation.
using ProgressFn = std::function<bool(std::int64_t done, std::int64_t total)>;

// Storage of a computation's values given by the caller: one contiguous
// float64 array in C order. Without `allocate` the values go into
// ForwardResult::values.
struct OutputSink {
    // Room for an array of `shape`; called once, on the first finished block
    // and before any value is written. Throws (ComputeError) or returns null
    // to refuse.
    std::function<double*(const std::vector<std::int64_t>& shape)> allocate;
    // allocate's array takes memory (not a file mapping): the memory check
    // before the computation counts it.
    bool inMemory = false;
    // Values [first, first + count) are written for now (the post-processing
    // may pass over them again, in order); a memory-mapped file can send them
    // to the disk and hand the pages back. Optional.
    std::function<void(std::int64_t first, std::int64_t count)> release;
    // Storage that takes the values by copy instead of lending an array (a
    // file written with pwrite): `begin` is told the shape once, before any
    // value; `write` gets values [first, first + count), final, as each
    // block of sources is finished, from the scan's threads (calls for
    // different blocks may come at once). Used when it is set and the
    // computation makes no pass over all values (no unit leadfield, no RMS
    // normalisation); otherwise the values are held in `allocate`'s array,
    // or else in memory and written in one call at the end. Errors are
    // thrown as ComputeError.
    std::function<void(const std::vector<std::int64_t>& shape)> begin;
    std::function<void(std::int64_t first, const double* values, std::int64_t count)> write;
    // Every value is final. Optional.
    std::function<void()> finish;
    // How the values are stored, for the metadata: in the array of
    // `allocate`, and when taken by `write`.
    std::string description = "a caller's contiguous array";
    std::string writeDescription = "the caller's storage, block by block";

    // A caller's buffer of `size` doubles; a computation whose array does
    // not have exactly that many values is refused.
    static OutputSink buffer(double* data, std::size_t size);
};

// Runs one grid scan of `kind` over the manager's source records, source by
// source, reporting progress after every block of `blockSize` sources.
//
// The grid scans of the engine report no progress, so this loop does what
// one call of gridDewarLfd, gridDewarLfx or gridDewarBcmp does, record for
// record: the same checks first (and the engine's manager pointer set), then
// for each record in index order either the clearing of an out-of-scan
// record or the same public dewar scan with the same arguments (with or
// without reference correction as the engine's isUseRefSns says, the
// manager's singleSphere, the engine's orderCoilIntg). The numbers are
// therefore identical to the engine's own scan. Returns 1 when every source
// was done, 0 at the first failure (as the grid scans do). A record whose
// sensor records are too short for the scan's components is refused before
// anything is written past them.
// A progress callback that returns false makes it return 0 at once.
// `failedSource`, when given, is set to the index of the source whose scan
// failed, or -1 (the checks before the loop, or a stop).
int scanSources(CMForwardkw& engine, CMDataForwardkw& data, ScanKind kind, const ProgressFn& progress = {},
                std::int64_t blockSize = 32, std::int64_t* failedSource = nullptr);

class SensorPlanCache;

// The system a computation runs on: a recording and the trial whose channels
// are used, with a label for the metadata ("sensors.json", "embedded default
// system"). `plans`, when given, keeps the fast route's sensor plans of this
// system between computations (SensorPlan.h); it must belong to this
// recording and trial, which must not change while it does.
struct SystemRef {
    CMEGDatakw* recording = nullptr;
    CMDTrialkw* trial = nullptr;
    std::string label;
    SensorPlanCache* plans = nullptr;
};

// The source space: a grid, or a list of positions (x, y, z rows, mm).
struct SourceSpec {
    std::optional<GridSpec> grid;
    std::vector<double> positions;  // 3 per source
    std::string label;              // file name or "--grid ..."
    std::int64_t count() const;
};

// The order of a leadfield array's axes. SourceMajor is (sources, sensors,
// components). SensorMajor is (sensors, sources, components): each sensor's
// row holds every source's components, so the array is the (sensors,
// components x sources) gain matrix of MNE-Python and of linear inverse
// methods as it stands, with no transpose after the computation.
enum class LeadfieldLayout { SourceMajor, SensorMajor };

struct LeadfieldRequest {
    SettingOverrides settings;
    // The fast route writes a sensor-major array block by block into the
    // caller's array; the record-by-record route reorders its values at the
    // end. Field values are always (dipoles, sensors).
    LeadfieldLayout layout = LeadfieldLayout::SourceMajor;
    bool unitMomentScan = false;  // gridDewarLfx instead of gridDewarLfd
    bool rmsNormalise = false;    // normVoxSnsLfd_rootMeanSquare after post-processing
    std::string command = "leadfield";  // for the metadata: what made the values
    // Whether the result carries its metadata (ForwardResult::meta): a
    // caller that does not keep it saves making it, most of a small
    // computation's fixed cost. The unit, the notes and the warnings are
    // made either way.
    bool metadata = true;
    // The fast path (flat integration points, vectorised loops, threads over
    // blocks of sources, one contiguous output array) serves every leadfield
    // scan but the unit-moment one; recordScan asks for the record-by-record
    // scan instead. threads: 0 uses every core.
    int threads = 0;
    bool recordScan = false;
    // The single-shell head model (null: the sphere model of the settings):
    // every leadfield or field value is the scan sphere's, corrected for the
    // shape of the inner skull (head_model/SingleShell.h). It takes
    // three-component leadfields of current dipoles. Without a sphere in
    // the settings the scan sphere is the surface's least-squares sphere.
    std::shared_ptr<const head::SingleShell> singleShell;
    // The caller's storage for the values (the fast route only; the
    // record-by-record route and field values fill ForwardResult::values).
    OutputSink output;
    ProgressFn progress;
};

struct ForwardResult {
    // (sources, sensors, components), (sensors, sources, components) in the
    // sensor-major layout, or (dipoles, sensors)
    std::vector<std::int64_t> shape;
    std::vector<double> values;          // C order
    std::vector<int> inScan;             // one flag per source
    std::vector<std::array<double, 3>> sourcePositions;  // host axes, mm
    std::vector<std::string> sensorNames;
    std::vector<std::array<double, 3>> sensorPositions;  // first coils, host axes, mm
    ValueUnit unit;
    nlohmann::json meta;                 // everything needed to tell how the numbers were made
    double seconds = 0;                  // scan time
    // The values are in the caller's OutputSink, not in `values`.
    bool valuesInSink = false;
    // The range of the values and their RMS over the sources in the scan,
    // when the computation gathered them (the fast path does, block by
    // block, while each block is still in the cache); see valueSummary.
    std::optional<ValueSummary> summary;
    // Things about the result that a user should hear of although it was
    // computed (every source out of the scan, every value 0), one sentence
    // each; also in meta["warnings"].
    std::vector<std::string> warnings;
    // Things worth knowing about how the values were made that are no
    // problem (a chosen formula that ignores the moments' sizes), one
    // sentence each; also in meta["notes"].
    std::vector<std::string> notes;
    std::int64_t numIn() const;
};

// The result's summary: the one its computation gathered, or else one made
// from its values.
ValueSummary valueSummary(const ForwardResult& r);

// Estimated peak memory of a computation with these counts, in bytes.
double estimateBytes(std::int64_t numSources, std::int64_t numSensors, std::int64_t numComponents);

// Counts the sensors that the channel set will take (measurement channels
// that are good, or all measurement channels).
std::int64_t countMeasurementSensors(CMDTrialkw& trial, bool goodOnly);

// The shape of the leadfield array that computeLeadfield gives for these
// inputs: (sources, measurement sensors of the channel set, components), or
// (sensors, sources, components) in the sensor-major layout.
std::vector<std::int64_t> leadfieldShape(const SystemRef& system, const SourceSpec& sources,
                                         const LeadfieldRequest& request);

// The whole leadfield chain. Throws ComputeError when the library refuses a
// step (its message has then been shown), InputError for sources that do not
// fit in memory, Cancelled when the progress callback stops it.
ForwardResult computeLeadfield(const SystemRef& system, const SourceSpec& sources, const LeadfieldRequest& request);

// Field values of dipoles (x, y, z mm and moment qx, qy, qz per row): one
// value per dipole and measurement sensor, by the engine's field-value scan.
// With sensor gains on, sensors whose gain is not positive change sign, as
// the leadfields' post-processing does.
ForwardResult computeField(const SystemRef& system, const std::vector<double>& dipoles, const std::string& dipoleLabel,
                           const LeadfieldRequest& request);

}  // namespace megfwd
