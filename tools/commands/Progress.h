// Progress of a long scan on stderr.
//
// Nothing is shown during the first second, so quick runs stay silent. On a
// terminal a one-line bar is redrawn at most ten times a second (sources
// done, rate, time left) and ended with a newline. On anything else (a pipe,
// a log file) at most four plain lines are written, at 25, 50, 75 and 100
// percent. Quiet mode shows nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace megfwd::io {

class Progress {
public:
    using Clock = std::function<double()>;  // seconds

    // `out` is stderr unless a test gives another stream; `terminal` -1 asks
    // isatty, 0/1 decides.
    Progress(std::int64_t total, std::string what, bool quiet, std::FILE* out = stderr, int terminal = -1,
             Clock clock = {});
    ~Progress();
    void update(std::int64_t done);
    // A progress callback for a computation that updates this display and
    // never cancels.
    std::function<bool(std::int64_t, std::int64_t)> callback() {
        return [this](std::int64_t done, std::int64_t) {
            update(done);
            return true;
        };
    }
    void finish();
    double elapsed() const;

private:
    void draw(std::int64_t done, bool final);
    std::int64_t total;
    std::string what;
    bool quiet;
    std::FILE* out;
    bool tty;
    Clock clock;
    double start;
    double lastDraw = -1.0;
    int quartersShown = 0;
    bool shownAny = false;
    bool finished = false;
};

// "1:05", "12:03:09"
std::string formatDuration(double seconds);

}  // namespace megfwd::io
