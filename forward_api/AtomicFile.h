// Output files that appear whole or not at all.
//
// An AtomicOutput writes into a temporary file in the directory of the final
// path and renames it over the final path only on commit(), so an interrupted
// or failed run never leaves a partial file and never damages an existing
// file of the same name. Creating one checks at once that the directory is
// writable (an InputError names the path otherwise), so a command can refuse
// an unwritable output before it computes anything; the temporary file is
// made with the first write.
//
// Renaming is what makes an output whole or absent; waiting for the disk is
// another matter. By default an output does not wait: like NumPy's and
// MNE's writers, the command ends once the bytes are in the system's cache,
// which for a leadfield of tens of megabytes saves about as long as its
// scan took. After setOutputsSynced(true) every output made from then on is
// flushed to the disk (fsync) before its rename, and its directory after
// it, so that a power cut right after the command cannot take the file.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace megfwd {

class AtomicOutput {
public:
    explicit AtomicOutput(std::string finalPath);
    ~AtomicOutput();  // removes the temporary file unless committed
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    void write(const void* data, std::size_t size);
    void write(const std::string& text) { write(text.data(), text.size()); }
    // Flushes and closes the temporary file (done by commit if not before).
    void close();
    // Renames the temporary file over the final path.
    void commit();

    const std::string& finalPath() const { return final; }
    // Whether this output waits for the disk (see setOutputsSynced).
    bool syncsToDisk() const { return synced; }
    const std::string& tempPath() const { return temp; }

private:
    void open();
    std::string final;
    std::string pattern;  // mkstemp pattern of the temporary file
    std::string temp;
    int fd = -1;
    bool closed = false;
    bool committed = false;
    int slot = -1;  // entry in the interrupt clean-up table
    bool synced = false;
};

// Whether the outputs made from now on wait for the disk (false at start).
void setOutputsSynced(bool synced);

// Closes every output and then renames them one after the other, so that a
// set of files that belong together (array and metadata) is only published
// once all of them are complete.
void commitAll(const std::vector<AtomicOutput*>& outputs);

// Installs handlers for SIGINT, SIGTERM and SIGHUP that remove the temporary
// files of all live AtomicOutputs before the process ends with the signal.
void installInterruptCleanup();

// The path with its extension replaced ("out.npy" -> "out.json"); a path
// without extension gets it appended.
std::string replaceExtension(const std::string& path, const std::string& ext);

}  // namespace megfwd
