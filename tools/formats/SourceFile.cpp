#include "tools/formats/SourceFile.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <string_view>

#include "base/Errors.h"
#include "base/FileText.h"
#include "forward_api/Sources.h"
#include "tools/formats/Npy.h"

namespace megfwd::io {

namespace {

// Positions in mm and, in dipole rows, moments: within the physical bounds
// (Sources.h). `where()` gives "FILE:LINE" or "FILE: row N" for a message.
template <class Where>
void checkRow(const double* row, int columns, const Where& where) {
    std::string problem = positionProblem(row);
    if (problem.empty() && columns >= 6) problem = momentProblem(row + 3);
    if (!problem.empty()) throw InputError(where() + ": " + problem);
}

// A file meant to be .npy: by its extension, or by a first byte or a name
// that only a .npy header has. Such a file is read as .npy (and refused as
// a corrupt one if it is not), never as text.
bool meantAsNpy(const std::string& name, const std::string& bytes) {
    std::string ext = std::filesystem::path(name).extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".npy") return true;
    if (!bytes.empty() && static_cast<unsigned char>(bytes[0]) == 0x93) return true;
    return bytes.starts_with("NUMPY") || (bytes.size() > 1 && bytes.compare(1, 5, "NUMPY") == 0);
}

}  // namespace

std::vector<double> readRows(const std::string& path, int columns) {
    return parseRows(readWholeFile(path), path, columns);
}

std::vector<double> parseRows(const std::string& bytes, const std::string& path, int columns) {
    std::vector<double> out;
    if (meantAsNpy(path, bytes)) {
        NpyArray a = parseNpy(bytes, path);
        if (a.shape.size() != 2 || a.shape[1] != columns)
            throw InputError(path + ": the array must have shape (n, " + std::to_string(columns) + ")");
        for (std::size_t i = 0; i < a.data.size(); ++i)
            if (!std::isfinite(a.data[i]))
                throw InputError(path + ": row " + std::to_string(i / static_cast<std::size_t>(columns) + 1) +
                                 ": a value is not finite");
        if (a.data.empty()) throw InputError(path + ": the array has no rows");
        for (std::size_t i = 0; i < a.data.size(); i += static_cast<std::size_t>(columns))
            checkRow(&a.data[i], columns,
                     [&] { return path + ": row " + std::to_string(i / static_cast<std::size_t>(columns) + 1); });
        return a.data;
    }
    out.reserve(bytes.size() / 8);
    std::vector<std::string_view> f;
    std::size_t lineNo = 0, at = 0;
    bool first = true;
    while (at < bytes.size()) {
        const std::size_t end = std::min(bytes.find('\n', at), bytes.size());
        const std::string_view line(bytes.data() + at, end - at);
        at = end + 1;
        ++lineNo;
        splitFields(line, f);
        if (f.empty() || f[0][0] == '#') continue;
        const bool header = first && !(std::isdigit(static_cast<unsigned char>(f[0][0])) || f[0][0] == '-' ||
                                       f[0][0] == '+' || f[0][0] == '.');
        first = false;
        if (header) continue;
        if (f.size() != static_cast<std::size_t>(columns))
            throw InputError(path + ":" + std::to_string(lineNo) + ": expected " + std::to_string(columns) +
                             " numbers, found " + std::to_string(f.size()));
        auto where = [&] { return path + ":" + std::to_string(lineNo); };
        for (const std::string_view s : f) {
            double v;
            if (!parseNumber(s, v)) throw InputError(where() + ": '" + std::string(s) + "' is not a number");
            if (!std::isfinite(v)) throw InputError(where() + ": '" + std::string(s) + "' is not a finite number");
            out.push_back(v);
        }
        checkRow(&out[out.size() - static_cast<std::size_t>(columns)], columns, where);
    }
    if (out.empty()) throw InputError(path + ": no rows of " + std::to_string(columns) + " numbers found");
    return out;
}

}  // namespace megfwd::io
