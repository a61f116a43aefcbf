// The readers of untrusted input files, each behind one function that takes
// the file's bytes. The libFuzzer harnesses (fuzz/Harness.cpp) and the replay
// of the saved inputs in the test suite call the same functions.
//
// An entry returns normally when the reader accepted the input and the
// result passed the entry's own checks (written back and read again, the
// same result), and throws InputError when the reader refused the input.
// Any other exception, a crash or a sanitizer report is a fault.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace megfwd::fuzz {

// A result that breaks an invariant of the reader (a fault, not bad input).
class InvariantBroken : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

using Entry = void (*)(const std::string& bytes);

struct Harness {
    const char* name;  // also the corpus directory tests/fuzz_corpus/<name>
    Entry entry;
};

// The sensor-array file (JSON).
void feedSensorArray(const std::string& bytes);
// A source positions file (rows of 3 numbers, text or .npy).
void feedSourceRows(const std::string& bytes);
// A dipole file (rows of 6 numbers, text or .npy).
void feedDipoleRows(const std::string& bytes);
// A .npy file: header and data.
void feedNpy(const std::string& bytes);
// The local-sphere file (JSON).
void feedLocalSpheres(const std::string& bytes);
// A FreeSurfer binary triangle surface.
void feedFreeSurfer(const std::string& bytes);

const std::vector<Harness>& harnesses();
Entry entryNamed(const std::string& name);  // nullptr when there is none

}  // namespace megfwd::fuzz
