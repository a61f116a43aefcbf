// Where the fast route's leadfield values go while they are computed: one
// small type per route behind one interface, chosen once from the caller's
// OutputSink and the post-processing.
//
//   CallerArrayRoute  the caller's array (OutputSink::allocate), written in
//                     place block by block; may be a memory-mapped file
//                     whose pages go back to the disk as blocks finish;
//   BlockCopyRoute    the caller's storage by copy (OutputSink::write), each
//                     block written from its own buffer as it finishes;
//                     only without the divisions, which pass over all values;
//   MemoryRoute       one array in memory, moved into ForwardResult::values,
//                     or written to the caller's storage in one call at the
//                     end when it takes copies but the divisions need every
//                     value held.
//
// A route is the block scan's sink: the scan computes each block (source,
// sensor, component) into the route's blockTarget; blockFinished then
// gathers the block's figures and runs the route's keepBlock on the
// worker's thread (several blocks at once), blockDone under the scan's
// lock. The passes of the divisions read the route's whole array. Routes are used for one
// computation and not shared.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "forward_api/Compute.h"
#include "forward_api/ValueStats.h"
#include "forward_fast/CFastBlockScan.h"

namespace megfwd::detail {

// The size of a leadfield: sources, sensors, components.
struct LeadfieldDims {
    std::int64_t numSources = 0, numSensors = 0, numComponents = 0;
    std::int64_t perSource() const { return numSensors * numComponents; }
    std::int64_t total() const { return numSources * perSource(); }
};

class OutputRoute : public CFastBlockSink {
public:
    explicit OutputRoute(const LeadfieldDims& dims) : dims(dims), figures(dims.numSources) {}
    virtual ~OutputRoute() = default;
    OutputRoute(const OutputRoute&) = delete;
    OutputRoute& operator=(const OutputRoute&) = delete;

    // Room for the values of sources [first, first + count), source by
    // source; null refuses the block (the reason, if any, in error()).
    // Called under the scan's lock.
    double* blockTarget(std::int64_t first, std::int64_t count) override = 0;
    // The block's values are final: their figures are gathered, then the
    // route keeps the block (keepBlock). On the worker's thread, for several
    // blocks at once. False stops the scan (the reason in error()).
    bool blockFinished(std::int64_t first, std::int64_t count, const double* values,
                       const std::int32_t* inScan) final;
    // The block is handed over and its room may be reused; under the scan's
    // lock. False stops the scan.
    bool blockDone(std::int64_t first, std::int64_t count) override = 0;
    // The figures of every finished block (range, RMS, the first value that
    // is not finite).
    const ValueStats& stats() const { return figures; }
    // Every value, for the passes of the divisions; null when the values
    // were handed over block by block.
    virtual double* values() = 0;
    // Values [first, first + count) of values() are written for now.
    virtual void passed(std::int64_t /*first*/, std::int64_t /*count*/) {}
    // Every value is final: hand them over; sets the result's values or
    // valuesInSink.
    virtual void finish(ForwardResult& r) = 0;
    // Where the values were stored, for the metadata.
    virtual std::string description() const = 0;

    // The first reason a block was refused, empty when none.
    std::string error() const;

protected:
    // The route's own work on a finished block (writing it out); false
    // stops the scan.
    virtual bool keepBlock(std::int64_t /*first*/, std::int64_t /*count*/, const double* /*values*/) {
        return true;
    }
    // Keeps the first reason; safe from any thread.
    void fail(std::string why);
    // The shape of the array the caller is given.
    virtual std::vector<std::int64_t> shape() const {
        return {dims.numSources, dims.numSensors, dims.numComponents};
    }

    LeadfieldDims dims;

private:
    ValueStats figures;
    std::mutex figuresLock;
    mutable std::mutex errorLock;
    std::string firstError;
};

// The route for a computation's sink; `divides`: the post-processing divides
// every value (unit leadfield, RMS normalisation), so the values must be
// held whole until the end. `blockSize`: the most sources a block has.
std::unique_ptr<OutputRoute> chooseRoute(const OutputSink& sink, const LeadfieldDims& dims, bool divides,
                                         std::int64_t blockSize, LeadfieldLayout layout);

// Whether a computation with this sink holds its values in memory (for the
// memory check before any work): the caller's array says so itself; storage
// taking copies holds nothing here unless the divisions need every value
// or the values are reordered.
bool valuesHeldInMemory(const OutputSink& sink, bool divides, LeadfieldLayout layout);

}  // namespace megfwd::detail
