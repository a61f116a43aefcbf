#include "forward_api/Sources.h"

#include <locale.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>

#include "base/Errors.h"
#include "base/FileText.h"

namespace megfwd {

std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> out;
    splitFields(line, out);
    return out;
}

void splitFields(std::string_view line, std::vector<std::string_view>& out) {
    out.clear();
    auto separator = [](char c) { return c == ',' || c == ' ' || c == '\t' || c == '\r' || c == ';'; };
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && separator(line[i])) ++i;
        const std::size_t start = i;
        while (i < line.size() && !separator(line[i])) ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
}

bool parseNumber(std::string_view s, double& v) {
    // from_chars takes no leading '+' and no leading blanks, and reads up to
    // the first character that does not belong to the number; the whole
    // field has to be that number (the field's size, not a C string's end,
    // so that a NUL byte inside it is not mistaken for its end).
    const char* first = s.data();
    const char* last = s.data() + s.size();
    if (first != last && *first == '+') {
        ++first;
        if (first != last && *first == '-') return false;
    }
    double value = 0.0;
    const auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
    if (first == last || end != last) return false;
    if (ec == std::errc::result_out_of_range) {
        // Overflow or underflow of a valid number: its nearest double
        // (+-HUGE_VAL, 0 or a subnormal) from strtod in the C locale.
        static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(0));
        const std::string text(s.data(), last);
        value = strtod_l(text.c_str(), nullptr, cLocale);
    } else if (ec != std::errc()) {
        return false;
    }
    v = value;
    return true;
}

namespace {

std::string boundProblem(const double v[3], double bound, const char* unit, const char* const names[3]) {
    for (int a = 0; a < 3; ++a)
        if (!(std::fabs(v[a]) <= bound)) {
            char buf[160];
            std::snprintf(buf, sizeof buf, "%s = %.6g%s is outside -%.6g..%.6g%s", names[a], v[a], unit, bound, bound,
                          unit);
            return buf;
        }
    return {};
}

}  // namespace

std::string positionProblem(const double p[3]) {
    static const char* const names[3] = {"x", "y", "z"};
    const std::string s = boundProblem(p, kMaxCoordinateMm, " mm", names);
    return s.empty() ? s : s + " (10 m)";
}

std::string momentProblem(const double q[3]) {
    static const char* const names[3] = {"qx", "qy", "qz"};
    return boundProblem(q, kMaxMoment, "", names);
}

GridSpec parseGridSpec(const std::string& text) {
    const auto f = splitFields(text);
    if (f.size() != 7)
        throw InputError("--grid \"" + text + "\": expected 7 numbers xmin,ymin,zmin,xmax,ymax,zmax,step, got " +
                         std::to_string(f.size()));
    double v[7];
    for (int i = 0; i < 7; ++i)
        if (!parseNumber(f[static_cast<std::size_t>(i)], v[i]) || !std::isfinite(v[i]))
            throw InputError("--grid \"" + text + "\": '" + std::string(f[static_cast<std::size_t>(i)]) +
                             "' is not a finite number");
    GridSpec g;
    for (int a = 0; a < 3; ++a) {
        g.minCorner[a] = v[a];
        g.maxCorner[a] = v[a + 3];
    }
    g.step = v[6];
    if (!(g.step > 0.0)) throw InputError("--grid \"" + text + "\": the step must be greater than 0");
    for (const double* corner : {g.minCorner, g.maxCorner}) {
        const std::string problem = positionProblem(corner);
        if (!problem.empty()) throw InputError("--grid \"" + text + "\": " + problem);
    }
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

namespace {

double readAvailableMemory() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    double kb = 0;
    std::string unit;
    while (in >> key >> kb >> unit)
        if (key == "MemAvailable:") return kb * 1024.0;
    const long pages = ::sysconf(_SC_PHYS_PAGES), size = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && size > 0 ? static_cast<double>(pages) * static_cast<double>(size) : 0.0;
}

// How long a reading of the available memory stands for later ones.
constexpr std::chrono::milliseconds kMemoryReadingLife{50};

}  // namespace

double availableMemoryBytes() {
    // Reading /proc/meminfo took about 10 us, a quarter of a one-source
    // Python call; a burst of small computations (a fit's steps, a task
    // graph's blocks) shares one reading. The check it serves is an
    // estimate: memory that changes within 50 ms is beyond it anyway.
    using Clock = std::chrono::steady_clock;
    constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::min();
    static std::atomic<double> reading{0.0};
    static std::atomic<std::int64_t> readAt{kNever};
    const std::int64_t now = Clock::now().time_since_epoch().count();
    const std::int64_t life = std::chrono::duration_cast<Clock::duration>(kMemoryReadingLife).count();
    const std::int64_t at = readAt.load(std::memory_order_acquire);
    if (at != kNever && now - at < life) return reading.load(std::memory_order_relaxed);
    const double bytes = readAvailableMemory();
    reading.store(bytes, std::memory_order_relaxed);
    readAt.store(now, std::memory_order_release);
    return bytes;
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

}  // namespace megfwd
