#include "forward_api/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "base/Errors.h"

namespace megfwd {
namespace {

// Temporary paths that an interrupt must remove. Plain arrays written before
// the slot is marked used, so the signal handler only reads finished strings
// and calls async-signal-safe functions.
constexpr int kSlots = 16;
constexpr std::size_t kPathMax = 4096;
char gTempPaths[kSlots][kPathMax];
volatile std::sig_atomic_t gSlotUsed[kSlots];

int claimSlot(const std::string& path) {
    if (path.size() + 1 > kPathMax) return -1;
    for (int i = 0; i < kSlots; ++i)
        if (!gSlotUsed[i]) {
            std::memcpy(gTempPaths[i], path.c_str(), path.size() + 1);
            gSlotUsed[i] = 1;
            return i;
        }
    return -1;
}

void releaseSlot(int slot) {
    if (slot >= 0) gSlotUsed[slot] = 0;
}

extern "C" void removeTempsAndReraise(int sig) {
    for (int i = 0; i < kSlots; ++i)
        if (gSlotUsed[i]) ::unlink(gTempPaths[i]);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

std::string errnoText() { return std::strerror(errno); }

std::atomic<bool> gSynced{false};

// Flushes the directory entry of a rename to the disk. A file system that
// cannot sync a directory (EINVAL) has nothing more to wait for.
int syncDirectoryOf(const std::string& path) {
    std::string dir = std::filesystem::path(path).parent_path().string();
    if (dir.empty()) dir = ".";
    const int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (d < 0) return -1;
    const int r = ::fsync(d);
    const int e = errno;
    ::close(d);
    errno = e;
    return r != 0 && e == EINVAL ? 0 : r;
}

}  // namespace

std::string replaceExtension(const std::string& path, const std::string& ext) {
    std::filesystem::path p(path);
    p.replace_extension(ext);
    return p.string();
}

void setOutputsSynced(bool synced) { gSynced.store(synced); }

AtomicOutput::AtomicOutput(std::string finalPath) : final(std::move(finalPath)), synced(gSynced.load()) {
    namespace fs = std::filesystem;
    if (final.empty()) throw InputError("output path is empty");
    std::error_code ec;
    if (fs::is_directory(final, ec)) throw InputError(final + ": cannot write the output: it is a directory");
    fs::path dir = fs::path(final).parent_path();
    if (dir.empty()) dir = ".";
    pattern = (dir / ("." + fs::path(final).filename().string() + ".tmp-XXXXXX")).string();
    // Check now that the directory takes a new file, so that a command can
    // refuse the path before it computes anything; the temporary file itself
    // is made only when the first bytes are written, so that a run killed
    // during a long computation leaves nothing behind.
    std::string probe = pattern;
    const int pfd = ::mkstemp(probe.data());
    if (pfd < 0) throw InputError(final + ": cannot write the output: " + errnoText());
    ::close(pfd);
    ::unlink(probe.c_str());
}

void AtomicOutput::open() {
    std::string name = pattern;
    fd = ::mkstemp(name.data());
    if (fd < 0) throw InputError(final + ": cannot write the output: " + errnoText());
    temp = name;
    slot = claimSlot(temp);
    // mkstemp creates the file for the owner only; give it the permissions a
    // normally created file would have.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
}

AtomicOutput::~AtomicOutput() {
    if (fd >= 0) ::close(fd);
    if (!committed && !temp.empty()) ::unlink(temp.c_str());
    releaseSlot(slot);
}

void AtomicOutput::write(const void* data, std::size_t size) {
    if (closed) throw ComputeError(final + ": output already closed");
    if (fd < 0) open();
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw InputError(final + ": cannot write the output: " + errnoText());
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

void AtomicOutput::close() {
    if (closed) return;
    if (fd < 0) open();  // an empty output is still an output
    closed = true;
    const int syncResult = synced ? ::fsync(fd) : 0;
    const int syncErr = errno;
    const int closeResult = ::close(fd);
    fd = -1;
    if (syncResult != 0 && syncErr != EINVAL && syncErr != EROFS)
        throw InputError(final + ": cannot write the output: " + std::strerror(syncErr));
    if (closeResult != 0) throw InputError(final + ": cannot write the output: " + errnoText());
}

void AtomicOutput::commit() {
    if (committed) return;
    close();
    if (::rename(temp.c_str(), final.c_str()) != 0)
        throw InputError(final + ": cannot write the output: " + errnoText());
    committed = true;
    releaseSlot(slot);
    slot = -1;
    if (synced && syncDirectoryOf(final) != 0)
        throw InputError(final + ": written, but its directory could not be flushed to the disk: " + errnoText());
}

void commitAll(const std::vector<AtomicOutput*>& outputs) {
    for (AtomicOutput* o : outputs) o->close();
    for (AtomicOutput* o : outputs) o->commit();
}

void installInterruptCleanup() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, removeTempsAndReraise);
}

}  // namespace megfwd
