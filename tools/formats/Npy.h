// NumPy's .npy format, version 1.0: the magic string, a header dictionary
// ('descr', 'fortran_order', 'shape') padded with blanks and a newline so
// that the data starts at a multiple of 64 bytes, then the values in C order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace megfwd::io {

// The complete header (magic, version, length, dictionary) for little-endian
// float64 values in C order.
std::string npyHeader(const std::vector<std::int64_t>& shape);

// Header and data of a float64 array as one byte string.
std::string npyBytes(const std::vector<std::int64_t>& shape, const double* data);

struct NpyArray {
    std::vector<std::int64_t> shape;
    std::vector<double> data;  // C order, converted to double
    std::int64_t size() const;
};

// Reads a version 1.x or 2.x .npy file of little-endian float64, float32,
// int32 or int64 values in C order; anything else is an InputError that
// names the file.
NpyArray readNpy(const std::string& path);
NpyArray parseNpy(const std::string& bytes, const std::string& nameForMessages);

}  // namespace megfwd::io
