// A float64 .npy output written in place: the header goes into the output's
// temporary file, the file is extended to its full size and mapped, and the
// computation writes its values straight into the mapping, block by block.
// Pages that are finished are sent to the disk at once and handed back
// (they stay in the file and the page cache, not in the process), so an array larger than the memory can be
// written while the resident memory stays small. Used by the leadfield
// command for grids whose leadfield does not fit in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "forward_api/AtomicFile.h"
#include "forward_api/Compute.h"

namespace megfwd::io {

class MappedNpy {
public:
    // handBack: finished pages leave the process (out of core).
    explicit MappedNpy(AtomicOutput& output, bool handBack = true) : out(output), handBack(handBack) {}
    ~MappedNpy();
    MappedNpy(const MappedNpy&) = delete;
    MappedNpy& operator=(const MappedNpy&) = delete;

    // Writes the header for `shape` and maps room for the values; the values
    // read 0 until written. Throws a ComputeError when the file cannot be
    // extended or mapped (a full disk, for instance).
    double* map(const std::vector<std::int64_t>& shape);
    double* values() const { return data; }
    std::int64_t size() const { return count; }
    // Starts the write-back of the whole pages inside values [first,
    // first + n) and, out of core, hands them back. The values may still be
    // written again (the post-processing's passes): they are simply written
    // back once more.
    void release(std::int64_t first, std::int64_t n);
    // Unmaps; the values are in the file, which the AtomicOutput then
    // renames into place. An output that waits for the disk is first
    // written there (msync, fsync).
    // Throws a ComputeError when the disk refuses the values.
    void finish();
    // This file as a computation's output storage (map, release, finish).
    OutputSink sink();

private:
    void unmap();
    AtomicOutput& out;
    bool handBack = true;
    int file = -1;                  // the temporary file, open while mapped
    unsigned char* base = nullptr;  // start of the mapping (the file's first byte)
    std::size_t length = 0;
    std::size_t headerBytes = 0;
    double* data = nullptr;
    std::int64_t count = 0;
};

// The same file written with pwrite: each block of values is copied into the
// temporary file as it is finished and its write-back starts at once; no
// page of the array is ever mapped or held by the process. Cheaper than the
// mapping (no page faults on the array), but it needs final values: a
// computation that passes over all values again (unit leadfield, RMS
// normalisation) gets the mapped file instead (see sink()).
class StreamedNpy {
public:
    explicit StreamedNpy(AtomicOutput& output) : out(output) {}
    ~StreamedNpy();
    StreamedNpy(const StreamedNpy&) = delete;
    StreamedNpy& operator=(const StreamedNpy&) = delete;

    // Writes the header for `shape` and reserves room for the values.
    // Throws a ComputeError when the room cannot be had.
    void begin(const std::vector<std::int64_t>& shape);
    // Values [first, first + n) of the array. Calls for different ranges
    // may come from several threads at once.
    void write(std::int64_t first, const double* values, std::int64_t n);
    // Closes the file (after fsync, for an output that waits for the disk);
    // throws a ComputeError when the disk refuses.
    void finish();
    // Output storage that takes finished blocks by copy, and lends the
    // mapping of `forPasses` to a computation that needs an array.
    OutputSink sink(MappedNpy& forPasses);

private:
    AtomicOutput& out;
    int file = -1;
    std::size_t headerBytes = 0;
    std::size_t length = 0;
    std::int64_t count = 0;
};

}  // namespace megfwd::io
