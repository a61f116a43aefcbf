// Errors of the megfwd tools and the exit codes they map to.
//
// Bad input (a file that cannot be read or is malformed, a bad option value,
// an output path that cannot be written) is an InputError and ends the
// program with exit code 2 before any output is written. A computation that
// the library refuses (its own message has already been shown) is a
// ComputeError, exit code 1.
#pragma once

#include <stdexcept>
#include <string>

namespace megfwd::io {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitBadInput = 2;

class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ComputeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace megfwd::io
