#include "tools/formats/MappedNpy.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/Errors.h"
#include "tools/formats/Npy.h"
#include "tools/formats/OutputSpace.h"

namespace megfwd::io {

MappedNpy::~MappedNpy() { unmap(); }

OutputSink MappedNpy::sink() {
    OutputSink s;
    s.allocate = [this](const std::vector<std::int64_t>& shape) { return map(shape); };
    s.release = [this](std::int64_t first, std::int64_t n) { release(first, n); };
    s.finish = [this] { finish(); };
    s.description = handBack ? "written in place through a memory-mapped file, block by block"
                             : "written in place through a memory-mapped file, each block sent to the disk as it "
                               "is finished";
    return s;
}

namespace {

// Writes the header for `shape` into the output's temporary file, reopens it
// and reserves room for every value (posix_fallocate, so that a full disk is
// found now and not in the middle of the values). Returns the open file;
// sets the header's and the whole file's size.
int openForValues(AtomicOutput& out, const std::vector<std::int64_t>& shape, std::int64_t& count,
                  std::size_t& headerBytes, std::size_t& length) {
    count = 1;
    for (auto s : shape) count *= s;
    const std::string header = npyHeader(shape);
    headerBytes = header.size();  // a multiple of 64, so the values are aligned
    length = headerBytes + static_cast<std::size_t>(count) * sizeof(double);
    try {
        out.write(header);  // makes the temporary file
        out.close();
    } catch (const std::exception& e) {
        const std::string shortage = roomShortage(out.finalPath(), static_cast<double>(length));
        if (shortage.empty()) throw;
        throw ComputeError(out.finalPath() + ": cannot write the output: " + shortage);
    }
    const int fd = ::open(out.tempPath().c_str(), O_RDWR);
    if (fd < 0) throw ComputeError(out.finalPath() + ": cannot reopen the output: " + std::strerror(errno));
    const int err = ::posix_fallocate(fd, 0, static_cast<off_t>(length));
    if (err != 0) {
        ::close(fd);
        const std::string shortage = roomShortage(out.finalPath(), static_cast<double>(length));
        throw ComputeError(out.finalPath() + ": cannot make room for the output: " +
                           (shortage.empty() ? std::string(std::strerror(err)) : shortage));
    }
    return fd;
}

}  // namespace

double* MappedNpy::map(const std::vector<std::int64_t>& shape) {
    finish();
    const int fd = openForValues(out, shape, count, headerBytes, length);
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        const int e = errno;
        ::close(fd);
        throw ComputeError(out.finalPath() + ": cannot map the output: " + std::strerror(e));
    }
    file = fd;
    base = static_cast<unsigned char*>(p);
    data = reinterpret_cast<double*>(base + headerBytes);
    return data;
}

void MappedNpy::release(std::int64_t first, std::int64_t n) {
    if (!base || n < 1) return;
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::size_t from = headerBytes + static_cast<std::size_t>(first) * sizeof(double);
    std::size_t to = from + static_cast<std::size_t>(n) * sizeof(double);
    from = (from + page - 1) / page * page;  // whole pages only: a neighbour may still write the edges
    to = to / page * page;
    if (to <= from) return;
    // Out of core the process stops holding the finished pages (the data
    // stays in the page cache and the file), and they start going to the
    // disk now, so that dirty pages do not pile up while the scan goes on;
    // an output that waits for the disk starts them too, so that the final
    // sync has little left to wait for (a failure here only means that
    // sync does all the work).
    if (handBack || out.syncsToDisk())
        ::sync_file_range(file, static_cast<off_t>(from), static_cast<off_t>(to - from), SYNC_FILE_RANGE_WRITE);
    if (handBack) ::madvise(base + from, to - from, MADV_DONTNEED);
}

void MappedNpy::finish() {
    if (!base) return;
    // The values are in the file once unmapped; an output that waits for
    // the disk is renamed only after both syncs succeed.
    const bool synced = !out.syncsToDisk() || (::msync(base, length, MS_SYNC) == 0 && ::fsync(file) == 0);
    const int e = errno;
    unmap();
    if (!synced) throw ComputeError(out.finalPath() + ": cannot write the output: " + std::strerror(e));
}

void MappedNpy::unmap() {
    if (!base) return;
    ::munmap(base, length);
    ::close(file);
    file = -1;
    base = nullptr;
    data = nullptr;
}


StreamedNpy::~StreamedNpy() {
    if (file >= 0) ::close(file);
}

OutputSink StreamedNpy::sink(MappedNpy& forPasses) {
    OutputSink s = forPasses.sink();
    s.begin = [this](const std::vector<std::int64_t>& shape) { begin(shape); };
    s.write = [this](std::int64_t first, const double* values, std::int64_t n) { write(first, values, n); };
    s.finish = [this, &forPasses] {
        forPasses.finish();
        finish();
    };
    s.writeDescription = "written into the output file block by block, each block as it is finished";
    return s;
}

void StreamedNpy::begin(const std::vector<std::int64_t>& shape) {
    if (file >= 0) ::close(file);
    file = -1;
    file = openForValues(out, shape, count, headerBytes, length);
}

void StreamedNpy::write(std::int64_t first, const double* values, std::int64_t n) {
    if (file < 0 || first < 0 || n < 0 || first + n > count)
        throw ComputeError(out.finalPath() + ": values outside the output array");
    const char* p = reinterpret_cast<const char*>(values);
    std::size_t left = static_cast<std::size_t>(n) * sizeof(double);
    off_t at = static_cast<off_t>(headerBytes + static_cast<std::size_t>(first) * sizeof(double));
    const off_t from = at;
    while (left > 0) {
        const ssize_t w = ::pwrite(file, p, left, at);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            const std::string why = w < 0 ? std::strerror(errno) : "nothing written";
            const std::string shortage = roomShortage(out.finalPath(), static_cast<double>(length));
            throw ComputeError(out.finalPath() + ": cannot write the output: " + (shortage.empty() ? why : shortage));
        }
        p += w, at += w, left -= static_cast<std::size_t>(w);
    }
    // For an output that waits for the disk, the block starts going there
    // now, while later blocks compute, so that the final sync has little
    // left to wait for.
    if (out.syncsToDisk()) ::sync_file_range(file, from, at - from, SYNC_FILE_RANGE_WRITE);
}

void StreamedNpy::finish() {
    if (file < 0) return;
    const bool synced = !out.syncsToDisk() || ::fsync(file) == 0;
    int e = errno;
    const bool closed = ::close(file) == 0;
    if (synced && !closed) e = errno;
    file = -1;
    if (!synced || !closed) throw ComputeError(out.finalPath() + ": cannot write the output: " + std::strerror(e));
}

}  // namespace megfwd::io
