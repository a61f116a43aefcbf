// Errors of the megfwd library's computations and files.
//
// Bad input (a file that cannot be read or is malformed, a bad value, an
// output path that cannot be written) is an InputError, raised before any
// output is written. A computation that the library refuses (its own
// message has already gone through the message box) is a ComputeError. The
// command-line program maps them to exit codes 2 and 1, the Python module
// to ValueError and RuntimeError.
#pragma once

#include <stdexcept>
#include <string>

namespace megfwd {

class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ComputeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The caller's progress callback asked the computation to stop.
class Cancelled : public std::runtime_error {
public:
    Cancelled() : std::runtime_error("the computation was cancelled") {}
};

}  // namespace megfwd
