// Source positions and dipoles from files.
//
// A positions file (--sources) and a dipole file (--dipoles) are either
//   - text: one row per source, numbers separated by commas and/or blanks;
//     lines that are empty or start with '#' are skipped, and a first row
//     that does not start with a number is taken as a column header; or
//   - NumPy .npy (a file named *.npy, or one whose first bytes are those of
//     a .npy header): a float64 (or float32/int) array of shape (n, columns);
//     such a file that is not a valid .npy is refused as a corrupt one.
// Positions have 3 columns x, y, z in millimetres (host axes); dipoles 6:
// x, y, z in millimetres and the moment qx, qy, qz. Both must lie within the
// physical bounds of forward_api/Sources.h.
#pragma once

#include <string>
#include <vector>

namespace megfwd::io {

// Rows of `columns` numbers from a text or .npy file, row after row.
std::vector<double> readRows(const std::string& path, int columns);
// The same for a file's bytes already in memory; `name` stands for the file
// in messages, and its extension (.npy) counts as the file's.
std::vector<double> parseRows(const std::string& bytes, const std::string& name, int columns);

}  // namespace megfwd::io
