#include "tools/formats/MappedNpy.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "forward_api/Errors.h"
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

double* MappedNpy::map(const std::vector<std::int64_t>& shape) {
    finish();
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
    // posix_fallocate reserves the blocks, so a full disk is found now and
    // not as a fault while writing through the mapping.
    const int err = ::posix_fallocate(fd, 0, static_cast<off_t>(length));
    if (err != 0) {
        ::close(fd);
        const std::string shortage = roomShortage(out.finalPath(), static_cast<double>(length));
        throw ComputeError(out.finalPath() + ": cannot make room for the output: " +
                           (shortage.empty() ? std::string(std::strerror(err)) : shortage));
    }
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
    // The finished pages start going to the disk now, while the scan goes
    // on, so that the final sync has little left to wait for (a failure here
    // only means the final sync does all the work); out of core the process
    // stops holding them (the data stays in the page cache and the file).
    ::sync_file_range(file, static_cast<off_t>(from), static_cast<off_t>(to - from), SYNC_FILE_RANGE_WRITE);
    if (handBack) ::madvise(base + from, to - from, MADV_DONTNEED);
}

void MappedNpy::finish() {
    if (!base) return;
    // The rename that publishes the file must never show values that are
    // not on the disk: both syncs have to succeed.
    const bool synced = ::msync(base, length, MS_SYNC) == 0 && ::fsync(file) == 0;
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

}  // namespace megfwd::io
