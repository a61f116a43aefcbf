#include "tools/formats/OutputSpace.h"

#include <sys/resource.h>
#include <sys/statvfs.h>

#include <filesystem>

#include "base/Errors.h"
#include "forward_api/Sources.h"

namespace megfwd::io {

double freeBytesFor(const std::string& path) {
    std::filesystem::path dir = std::filesystem::path(path).parent_path();
    if (dir.empty()) dir = ".";
    struct statvfs st {};
    if (::statvfs(dir.c_str(), &st) != 0) return -1.0;
    return static_cast<double>(st.f_bavail) * static_cast<double>(st.f_frsize);
}

double fileSizeLimit() {
    struct rlimit lim {};
    if (::getrlimit(RLIMIT_FSIZE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return -1.0;
    return static_cast<double>(lim.rlim_cur);
}

std::string roomShortage(const std::string& path, double bytes) {
    const double limit = fileSizeLimit();
    if (limit >= 0.0 && bytes > limit)
        return "file too large: needs " + humanBytes(bytes) + ", the file-size limit (ulimit -f) is " +
               humanBytes(limit);
    const double free = freeBytesFor(path);
    if (free >= 0.0 && bytes > free)
        return "no space left on device: needs " + humanBytes(bytes) + ", " + humanBytes(free) + " free";
    return {};
}

void checkRoomFor(const std::string& path, double bytes, const std::string& what) {
    const std::string shortage = roomShortage(path, bytes);
    if (!shortage.empty()) throw InputError(path + " (" + what + "): " + shortage);
}

}  // namespace megfwd::io
