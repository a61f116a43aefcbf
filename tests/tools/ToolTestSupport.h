// Helpers of the tools' tests: scratch directories, files, running the megfwd
// binary and Debian's python3, and the system of the fixture sensor file.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "host_interfaces/Recording.h"

namespace megfwd::test {

namespace fs = std::filesystem;

// A fresh directory that is removed with everything in it at the end.
class ScratchDir {
public:
    ScratchDir() {
        static int counter = 0;
        path_ = fs::temp_directory_path() /
                ("megfwd-tools-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchDir() { fs::remove_all(path_, ec_); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& path() const { return path_; }
    // Files in the directory, including hidden (temporary) ones.
    int countFiles() const {
        return static_cast<int>(std::distance(fs::directory_iterator(path_), fs::directory_iterator()));
    }

private:
    fs::path path_;
    std::error_code ec_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

inline std::string dataFile(const std::string& name) {
    return std::string(MEGFWD_SOURCE_DIR) + "/tests/tools/data/" + name;
}

inline std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct RunResult {
    int code = -1;
    std::string out, err;
};

// Runs a shell command line, capturing stdout and stderr.
inline RunResult runShell(const std::string& cmd, const ScratchDir& scratch) {
    const std::string o = scratch / ".stdout", e = scratch / ".stderr";
    const int status = std::system((cmd + " >" + quote(o) + " 2>" + quote(e)).c_str());
    RunResult r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readFile(o);
    r.err = readFile(e);
    fs::remove(o);
    fs::remove(e);
    return r;
}

// Runs the megfwd binary with the given (already quoted) arguments.
inline RunResult runCli(const std::string& args, const ScratchDir& scratch) {
    return runShell(quote(MEGFWD_CLI) + " " + args, scratch);
}

// Debian's python3, not whatever python3 comes first on PATH.
constexpr const char* kPython = "/usr/bin/python3";

inline bool pythonHasNumpy() {
    return std::system((std::string(kPython) + " -c 'import numpy' >/dev/null 2>&1").c_str()) == 0;
}

inline RunResult runPython(const std::string& script, const ScratchDir& scratch) {
    const std::string file = scratch / ".script.py";
    writeFile(file, script);
    RunResult r = runShell(std::string(kPython) + " " + quote(file), scratch);
    fs::remove(file);
    return r;
}

// The number of sensor marks in an SVG file as Python's XML parser counts
// them, with a newline; the parser's complaint if the file is not well formed.
inline std::string svgSensorMarks(const std::string& svg, const ScratchDir& scratch) {
    const RunResult r = runPython("import xml.etree.ElementTree as ET\n"
                                  "root = ET.parse(" + quote(svg) + ").getroot()\n"
                                  "print(sum(1 for c in root.iter('{http://www.w3.org/2000/svg}circle')"
                                  " if c.get('class') == 'sensor'))\n",
                                  scratch);
    return r.code == 0 ? r.out : r.err;
}

// A coil at a position in metres, as the file gives it; weight = turns.
inline CBscMagSnskw coil(std::array<double, 3> metres, std::array<double, 3> normal, double radius, int turns) {
    for (double& p : metres) p *= 1000.0;
    CBscMagSnskw c;
    c.setCoil(metres.data(), normal.data(), radius, turns, turns);
    return c;
}

inline CMDChannelkw channel(const std::string& name, int kind, const std::vector<CBscMagSnskw>& coils, double gain = 1.0) {
    CMDChannelkw ch;
    ch.chnlName = name;
    ch.snsKind = kind;
    if (coils.empty()) return ch;
    CMEGSensorkw s;
    s.sensorGain = gain;
    for (const CBscMagSnskw& c : coils) s.addCoil(c);
    ch.setSensor(s);
    return ch;
}

// The system of tests/tools/data/small_array.json built directly in the host
// layer: two reference magnetometers, one EEG channel and seven first-order
// gradiometers on a 110 mm helmet, MEG4 with gain -2 and MEG6 marked bad.
inline CMEGDatakw makeSmallRecording() {
    auto r6 = [](double v) { return std::round(v * 1e6) / 1e6; };  // the file's six decimals
    CMDTrialkw trial;
    trial.addChannel(channel("RM1", 10, {coil({0.0, 0.21, 0.0}, {0, 1, 0}, 9.0, 1)}));
    trial.addChannel(channel("RM2", 10, {coil({0.03, 0.22, 0.01}, {1, 0, 0}, 9.0, 1)}));
    trial.addChannel(channel("EEG1", 200, {}));
    const double dirs[7][2] = {{0, 90}, {60, 0}, {60, 120}, {60, 240}, {100, 60}, {100, 180}, {100, 300}};
    for (int i = 0; i < 7; ++i) {
        const double t = dirs[i][0] * M_PI / 180, p = dirs[i][1] * M_PI / 180;
        const std::array<double, 3> d = {r6(std::sin(t) * std::sin(p)), r6(std::cos(t)), r6(std::sin(t) * std::cos(p))};
        std::array<double, 3> lower, upper;
        for (int k = 0; k < 3; ++k) {
            lower[k] = r6(0.11 * d[k]);
            upper[k] = r6(lower[k] + 0.04 * d[k]);
        }
        CMDChannelkw ch = channel("MEG" + std::to_string(i + 1), 101, {coil(lower, d, 8.0, 1), coil(upper, d, 8.0, -1)},
                                  i == 3 ? -2.0 : 1.0);
        ch.isGood = i == 5 ? 0 : 1;
        ch.setRefCoefs({{std::round(0.01 * (i + 1) * 1e4) / 1e4, 0, "RM1"}, {-0.02, 1, "RM2"}});
        trial.addChannel(ch);
    }
    CMEGDatakw rec;
    rec.addTrial(trial);
    return rec;
}

}  // namespace megfwd::test
