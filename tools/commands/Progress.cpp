#include "tools/commands/Progress.h"

#include <unistd.h>

#include <cmath>

namespace megfwd::io {
namespace {

constexpr double kQuietStart = 1.0;    // seconds before anything is shown
constexpr double kRedrawPeriod = 0.1;  // seconds between terminal redraws
constexpr int kBarWidth = 30;

double steadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string formatDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) return "?";
    long s = std::lround(seconds);
    char buf[32];
    if (s >= 3600) std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    else std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

Progress::Progress(std::int64_t total_, std::string what_, bool quiet_, std::FILE* out_, int terminal, Clock clock_)
    : total(total_), what(std::move(what_)), quiet(quiet_), out(out_), clock(clock_ ? std::move(clock_) : Clock(steadySeconds)) {
    tty = terminal < 0 ? (out && ::isatty(::fileno(out))) : terminal != 0;
    start = clock();
}

Progress::~Progress() {
    if (!finished && shownAny && tty && out) std::fputc('\n', out);
}

double Progress::elapsed() const { return clock() - start; }

void Progress::update(std::int64_t done) {
    if (quiet || !out || total <= 0) return;
    const double t = elapsed();
    if (t < kQuietStart) return;
    if (tty) {
        if (lastDraw >= 0 && t - lastDraw < kRedrawPeriod) return;
        lastDraw = t;
        draw(done, false);
    } else {
        const int quarter = static_cast<int>((4 * done) / total);
        if (quarter > quartersShown && quarter < 4) {
            quartersShown = quarter;
            draw(done, false);
        }
    }
}

void Progress::finish() {
    if (finished) return;
    finished = true;
    if (quiet || !out || total <= 0) return;
    // The final state is shown only when progress was shown before, so quick
    // runs print nothing at all.
    if (!shownAny && elapsed() < kQuietStart) return;
    draw(total, true);
    if (tty) std::fputc('\n', out);
    std::fflush(out);
}

void Progress::draw(std::int64_t done, bool final) {
    const double t = elapsed();
    const double rate = t > 0 ? static_cast<double>(done) / t : 0.0;
    const double left = rate > 0 ? static_cast<double>(total - done) / rate : NAN;
    const int pct = static_cast<int>((100 * done) / total);
    char tail[160];
    if (final)
        std::snprintf(tail, sizeof tail, "%lld/%lld %s  %.0f/s  %s", static_cast<long long>(done),
                      static_cast<long long>(total), what.c_str(), rate, formatDuration(t).c_str());
    else
        std::snprintf(tail, sizeof tail, "%lld/%lld %s  %.0f/s  %s left", static_cast<long long>(done),
                      static_cast<long long>(total), what.c_str(), rate, formatDuration(left).c_str());
    if (tty) {
        const int filled = static_cast<int>((kBarWidth * done) / total);
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.append(static_cast<std::size_t>(kBarWidth - filled), '-');
        std::fprintf(out, "\r[%s] %3d%%  %s\033[K", bar.c_str(), pct, tail);
    } else {
        std::fprintf(out, "megfwd: %3d%%  %s\n", pct, tail);
    }
    std::fflush(out);
    shownAny = true;
}

}  // namespace megfwd::io
