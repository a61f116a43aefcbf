// Refusing outputs that would replace an input of the same run.
//
// A command writes its outputs by renaming a finished temporary file over
// the final path, so an output path that names one of the run's inputs would
// silently replace that input (`--out meg.npy` writes its metadata to
// meg.json, which may be the sensor-array file). Files are compared, not
// spellings: two paths name the same file when both exist and have the same
// device and inode (a symlink, a hard link, `dir/../x`), or when neither
// exists and their canonical parent directories and names agree.
#pragma once

#include <string>
#include <vector>

namespace megfwd::io {

// A path with the role it plays in the run, for messages: "--sensors",
// "the metadata written beside --out".
struct RolePath {
    std::string path;
    std::string role;
};

// True when the two paths name the same file (see above).
bool sameFile(const std::string& a, const std::string& b);

// Throws an InputError naming both roles for the first output that is the
// same file as an input; empty paths are skipped.
void refuseOutputsOverInputs(const std::vector<RolePath>& inputs, const std::vector<RolePath>& outputs);

}  // namespace megfwd::io
