// Helpers of the tools' tests: scratch directories, running the megfwd
// binary and Debian's python3 (with numpy), reading files.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& path() const { return path_; }
    // Files in the directory, including hidden (temporary) ones.
    int countFiles() const {
        int n = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(path_)) ++n;
        return n;
    }

private:
    fs::path path_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

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

}  // namespace megfwd::test
