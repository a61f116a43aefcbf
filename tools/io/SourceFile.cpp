#include "tools/io/SourceFile.h"

#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tools/io/Errors.h"
#include "tools/io/FileText.h"
#include "tools/io/Npy.h"

namespace megfwd::io {
namespace {

// Splits a line into fields at commas, blanks and tabs.
std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : line) {
        if (c == ',' || c == ' ' || c == '\t' || c == '\r' || c == ';') {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

bool parseNumber(const std::string& s, double& v) {
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return end && *end == '\0' && end != s.c_str();
}

}  // namespace

GridSpec parseGridSpec(const std::string& text) {
    const auto f = fields(text);
    if (f.size() != 7)
        throw InputError("--grid \"" + text + "\": expected 7 numbers xmin,ymin,zmin,xmax,ymax,zmax,step, got " +
                         std::to_string(f.size()));
    double v[7];
    for (int i = 0; i < 7; ++i)
        if (!parseNumber(f[static_cast<std::size_t>(i)], v[i]) || !std::isfinite(v[i]))
            throw InputError("--grid \"" + text + "\": '" + f[static_cast<std::size_t>(i)] + "' is not a finite number");
    GridSpec g;
    for (int a = 0; a < 3; ++a) {
        g.minCorner[a] = v[a];
        g.maxCorner[a] = v[a + 3];
    }
    g.step = v[6];
    if (!(g.step > 0.0)) throw InputError("--grid \"" + text + "\": the step must be greater than 0");
    const char* axis = "xyz";
    for (int a = 0; a < 3; ++a)
        if (g.minCorner[a] > g.maxCorner[a])
            throw InputError(std::string("--grid \"") + text + "\": " + axis[a] + "min " + exactNumber(g.minCorner[a]) +
                             " is greater than " + axis[a] + "max " + exactNumber(g.maxCorner[a]));
    return g;
}

double gridPointCount(const GridSpec& g) {
    double n = 1.0;
    for (int a = 0; a < 3; ++a) n *= std::floor((g.maxCorner[a] - g.minCorner[a]) / g.step + 1e-9) + 1.0;
    return n;
}

std::vector<double> readRows(const std::string& path, int columns) {
    const std::string bytes = readWholeFile(path);
    std::vector<double> out;
    if (bytes.size() >= 6 && bytes.compare(0, 6, "\x93NUMPY") == 0) {
        NpyArray a = parseNpy(bytes, path);
        if (a.shape.size() != 2 || a.shape[1] != columns)
            throw InputError(path + ": the array must have shape (n, " + std::to_string(columns) + ")");
        for (std::size_t i = 0; i < a.data.size(); ++i)
            if (!std::isfinite(a.data[i]))
                throw InputError(path + ": row " + std::to_string(i / static_cast<std::size_t>(columns) + 1) +
                                 ": a value is not finite");
        if (a.data.empty()) throw InputError(path + ": the array has no rows");
        return a.data;
    }
    std::istringstream in(bytes);
    std::string line;
    std::size_t lineNo = 0;
    bool first = true;
    while (std::getline(in, line)) {
        ++lineNo;
        const auto f = fields(line);
        if (f.empty() || f[0][0] == '#') continue;
        const bool header = first && !(std::isdigit(static_cast<unsigned char>(f[0][0])) || f[0][0] == '-' ||
                                       f[0][0] == '+' || f[0][0] == '.');
        first = false;
        if (header) continue;
        if (f.size() != static_cast<std::size_t>(columns))
            throw InputError(path + ":" + std::to_string(lineNo) + ": expected " + std::to_string(columns) +
                             " numbers, found " + std::to_string(f.size()));
        for (const auto& s : f) {
            double v;
            if (!parseNumber(s, v)) throw InputError(path + ":" + std::to_string(lineNo) + ": '" + s + "' is not a number");
            if (!std::isfinite(v)) throw InputError(path + ":" + std::to_string(lineNo) + ": '" + s + "' is not a finite number");
            out.push_back(v);
        }
    }
    if (out.empty()) throw InputError(path + ": no rows of " + std::to_string(columns) + " numbers found");
    return out;
}

double availableMemoryBytes() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    double kb = 0;
    std::string unit;
    while (in >> key >> kb >> unit)
        if (key == "MemAvailable:") return kb * 1024.0;
    const long pages = ::sysconf(_SC_PHYS_PAGES), size = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && size > 0 ? static_cast<double>(pages) * static_cast<double>(size) : 0.0;
}

std::string humanBytes(double bytes) {
    const char* units[] = {"bytes", "kB", "MB", "GB", "TB", "PB", "EB"};
    int u = 0;
    while (bytes >= 1000.0 && u < 6) {
        bytes /= 1000.0;
        ++u;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return buf;
}

void checkMemory(double bytes, const std::string& what) {
    const double avail = availableMemoryBytes();
    if (avail > 0.0 && bytes > avail)
        throw InputError(what + " would need about " + humanBytes(bytes) + " of memory, more than the " +
                         humanBytes(avail) + " available");
}

}  // namespace megfwd::io
