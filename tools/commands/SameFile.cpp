#include "tools/commands/SameFile.h"

#include <sys/stat.h>

#include <filesystem>

#include "base/Errors.h"

namespace megfwd::io {
namespace {

namespace fs = std::filesystem;

// The canonical form of a path that need not exist: its parent directory
// with every symlink and "." / ".." resolved, and its own name.
std::string canonicalName(const std::string& path) {
    std::error_code ec;
    const fs::path abs = fs::absolute(path, ec);
    if (ec) return path;
    const fs::path parent = fs::weakly_canonical(abs.parent_path(), ec);
    if (ec) return abs.lexically_normal().string();
    return (parent / abs.filename()).string();
}

}  // namespace

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    // stat follows symlinks, so an output that is a link to an input is
    // found through the file it points to.
    const bool ea = ::stat(a.c_str(), &sa) == 0, eb = ::stat(b.c_str(), &sb) == 0;
    if (ea && eb) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (ea != eb) return false;
    return canonicalName(a) == canonicalName(b);
}

void refuseOutputsOverInputs(const std::vector<RolePath>& inputs, const std::vector<RolePath>& outputs) {
    for (const RolePath& out : outputs) {
        if (out.path.empty()) continue;
        for (const RolePath& in : inputs) {
            if (in.path.empty() || !sameFile(out.path, in.path)) continue;
            std::string what = out.path + " (" + out.role + ") is the same file as " + in.path + " (" + in.role + ")";
            throw InputError(what + ": writing it would replace an input; choose another output name");
        }
    }
}

}  // namespace megfwd::io
