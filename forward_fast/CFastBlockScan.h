// Leadfields of any number of sources, block by block, into storage the
// caller provides (one contiguous array, or a memory-mapped output file):
// memory stays near the size of the output, and an output larger than
// memory can be written while it is computed.
//
// The sensors are prepared once for the whole computation, in a
// CFastScanPlan (channel set, spheres, integration points, the
// post-processing's signs); the sources are prepared on flat arrays block by
// block (CFlatSources: stencil, centre shift, axes, unit), with no source or
// sensor record.
//
// Per block: prepare its sources, compute its leadfields with the plan
// straight into the sink's storage, apply the local post-processing (axis
// restore and sensor-gain signs), and hand the block to the sink (its
// figures, writing out, releasing pages) and to the caller's progress. The
// divisions (unit leadfield, RMS) need all values and are left to the
// caller (FlatPostProcess.h).
//
// Threads: numThreads workers take whole blocks, each preparing and
// computing its block alone, so the preparation runs in parallel too. The
// sink's finished is called on the worker's thread without the lock (several
// blocks at once); its target and done, and the progress, under the lock,
// blocks in the order they finish. Each source is computed by the same code
// whatever the thread, so the numbers do not depend on the number of
// threads.
#pragma once

#include <cstdint>
#include <functional>

#include "forward_fast/CFastScanPlan.h"

// Where the values of the blocks go.
class CFastBlockSink {
public:
    virtual ~CFastBlockSink() = default;
    // Room for the values of sources [first, first + count), count x
    // numSensors x numComponents; null refuses the block. Under the lock.
    virtual double* blockTarget(std::int64_t first, std::int64_t count) = 0;
    // The block's values are computed and post-processed; inScan holds its
    // sources' scan flags. On the worker's thread, for several blocks at
    // once. False stops the scan.
    virtual bool blockFinished(std::int64_t first, std::int64_t count, const double* values,
                               const std::int32_t* inScan) = 0;
    // The block is handed over and its room may be reused. Under the lock.
    // False stops the scan.
    virtual bool blockDone(std::int64_t first, std::int64_t count) = 0;
};

class CFastBlockScan {
public:
    // Sources done so far and in all; false asks the scan to stop.
    using ProgressFn = std::function<bool(std::int64_t done, std::int64_t total)>;
    // Why a scan stopped.
    enum class Failure {
        None,
        Preparation,  // no memory for a block's sources
        Target,       // the sink refused room for a block
        Scan,         // a source's leadfield could not be computed
        Sink,         // the sink stopped the scan
        Cancelled,    // the progress asked to stop
    };

    // Settings.
    std::int64_t blockSize = 256;
    int numThreads = 1;

    // Results.
    Failure failure = Failure::None;
    std::int64_t failedSource = -1;
    // Thread-seconds spent preparing blocks and in the fast path's loops,
    // and the wall time of the whole run.
    double prepareSeconds = 0.0, computeSeconds = 0.0, wallSeconds = 0.0;

    // Scans `numSources` sources given by their host positions (3 each, mm)
    // with `plan` into `sink`, writing each source's scan flag into inScan
    // (numSources of them). Returns 1 when every block was done.
    int run(const CFastScanPlan& plan, const double* hostPos, std::int64_t numSources, CFastBlockSink& sink,
            std::int32_t* inScan, const ProgressFn& progress = {});
};
