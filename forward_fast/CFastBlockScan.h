// Leadfields of any number of sources, block by block, into storage the
// caller provides (one contiguous array, or a memory-mapped output file):
// memory stays near the size of the output, and an output larger than
// memory can be written while it is computed.
//
// A whole-list preparation would hold one source record with one sensor
// record per sensor for every source, several times the size of the
// leadfield itself. Here each block of sources gets its own manager,
// prepared by the caller exactly as it would prepare one manager for all
// sources (channel set, those sources, settings, prepare4VoxSnsLfdScan):
// every preparation step is either independent of the sources (spheres,
// sensor geometry) or works source by source (positions, stencils, shift,
// axes, unit), so the blocks see the geometry a single preparation would
// give. (One step is not source by source: the anatomical stencil asks its
// coregistration question and refuses a set without any qualified source,
// so with an anatomical volume each block would ask, and a block wholly
// outside the anatomy would fail; a caller with an anatomical stencil scans
// all sources in one block, blockSize >= numSources.) The plan is built once, on the first block's manager, which is kept
// (without its records) until the end because the engine's tangent rules
// and coil members read its coordinate system.
//
// Per block: prepare, copy the prepared positions, scan flags and coordinate
// modes, compute the block's leadfields with the plan straight into the
// caller's storage, apply the local post-processing (axis restore and
// sensor-gain signs, CFlatPostProcess), and hand the block over (progress,
// writing out, releasing pages). The divisions (unit leadfield, RMS) need
// all values and are left to the caller (FlatPostProcess.h).
//
// Threads: the first block (at most 32 sources) is prepared on the caller's
// thread (the plan is built on it); then numThreads workers take whole blocks, each preparing
// its own manager and computing its block alone, so the preparation runs in
// parallel too. The prepare function is therefore called from several
// threads at once, each time with its own manager: it must not write shared
// state (the engine included: set the engine before run). target and done
// are called under a lock, blocks in the order they finish. Each source is
// computed by the same code whatever the thread, so the numbers do not
// depend on the number of threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "forward_fast/CFastLeadfield.h"
#include "forward_fast/FlatPostProcess.h"

class CFastBlockScan {
public:
    // Prepares `data` (a fresh manager) for sources [first, first + count)
    // of the whole list; 1 on success.
    using PrepareFn = std::function<int(CMDataForwardkw& data, std::int64_t first, std::int64_t count)>;
    // Where the values of sources [first, first + count) go: count x numSns x
    // numLf doubles; null refuses the block. Called after the block is
    // prepared, so numSns and numLf are known.
    using TargetFn = std::function<double*(std::int64_t first, std::int64_t count)>;
    // The flat route's preparation of sources [first, first + count): their
    // positions in the scan's frame (3 each), scan flags and coordinate
    // modes, as the records of a prepared manager would hold them; 1 on
    // success (CFlatSources::prepare does this).
    using FlatPrepareFn = std::function<int(std::int64_t first, std::int64_t count, double* pos,
                                            std::int32_t* inScan, std::int32_t* modes)>;
    // A block's values are written (and post-processed); inScan holds its
    // sources' scan flags (isVoxIn). Returning 0 stops the scan.
    using DoneFn = std::function<int(std::int64_t first, std::int64_t count, const std::int32_t* inScan)>;

    // A block's values are computed and post-processed: called on the
    // worker's thread without the lock (several blocks at once), before
    // done, for work on the block alone (its figures, writing it out).
    // Returning 0 stops the scan.
    using FinishedFn = std::function<int(std::int64_t first, std::int64_t count, const double* values,
                                         const std::int32_t* inScan)>;

    // Settings.
    std::int64_t blockSize = 256;
    FinishedFn finished;          // optional
    int numThreads = 1;
    int isApplyLocalPost = 1;     // axis restore and sensor signs on each block
    // Called once the plan is built, before any block is computed, on the
    // caller's thread: the place to fit what depends on the plan (the
    // single-shell correction) and hand it to the plan. Returning 0 stops
    // the scan (failure "plan"). Optional.
    std::function<int(CFastLeadfield& plan, CMDataForwardkw& geometry)> planReady;

    // Results.
    std::int64_t numSns = 0, numLf = 0;
    const char* failure = nullptr;  // "preparation", "plan", "scan", "target" or "stopped"
    std::int64_t failedSource = -1;
    // Thread-seconds spent preparing blocks and in the fast path's loops,
    // and the wall time of the whole run.
    double prepareSeconds = 0.0, computeSeconds = 0.0, wallSeconds = 0.0;
    CFastLeadfield plan;
    CFlatPostProcess post;

    CFastBlockScan() = default;
    // Releases the first block's manager and clears the engine's pointer to it.
    ~CFastBlockScan();
    CFastBlockScan(const CFastBlockScan&) = delete;
    CFastBlockScan& operator=(const CFastBlockScan&) = delete;

    // Runs the scan of numSources sources; 1 when every block was done. The
    // engine's pDataFwd points to the first block's manager, held here.
    int run(CMForwardkw& engine, std::int64_t numSources, const PrepareFn& prepare, const TargetFn& target,
            const DoneFn& done = {});

    // The same scan without a manager per block: the plan and the
    // post-processing settings come from `geometry`, a manager prepared for
    // the scan (channel set, spheres, settings; one source record is enough,
    // its records are released here), kept until the end as the first
    // block's manager is; each block's sources come from `sources`, called
    // on the worker threads.
    int runFlat(CMForwardkw& engine, std::unique_ptr<CMDataForwardkw> geometry, std::int64_t numSources,
                const FlatPrepareFn& sources, const TargetFn& target, const DoneFn& done = {});

    // A block's positions, flags and modes.
    struct Buffers;

    // The first block's manager (prepared channel set and spheres, settings;
    // its records released), null before a run.
    CMDataForwardkw* firstManager() const { return pFirst.get(); }

private:
    // Fills a block's buffers: block index, first source, count.
    using FillFn = std::function<bool(std::int64_t block, std::int64_t first, std::int64_t count, Buffers& buf)>;
    int buildPlan(CMForwardkw& engine);
    // Forgets the previous run: its plan, manager, failure and figures.
    void startRun();
    // The blocks (the first of count0 sources, the others of `block`), on
    // numThreads workers.
    int scanBlocks(std::int64_t numSources, std::int64_t count0, std::int64_t block, const FillFn& fill,
                   const TargetFn& target, const DoneFn& done);
    void release();
    std::unique_ptr<CMDataForwardkw> pFirst;
    CMForwardkw* pEngine = nullptr;
};
