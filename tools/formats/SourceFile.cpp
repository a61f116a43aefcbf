#include "tools/formats/SourceFile.h"

#include <cctype>
#include <cmath>
#include <sstream>

#include "forward_api/Errors.h"
#include "forward_api/FileText.h"
#include "forward_api/Sources.h"
#include "tools/formats/Npy.h"

namespace megfwd::io {

std::vector<double> readRows(const std::string& path, int columns) {
    const std::string bytes = readWholeFile(path);
    std::vector<double> out;
    if (bytes.size() >= 6 && bytes.compare(0, 6, "\x93NUMPY") == 0) {
        NpyArray a = parseNpy(bytes, path);
        if (a.shape.size() != 2 || a.shape[1] != columns)
            throw InputError(path + ": the array must have shape (n, " + std::to_string(columns) + ")");
        for (std::size_t i = 0; i < a.data.size(); ++i)
            if (!std::isfinite(a.data[i]))
                throw InputError(path + ": row " + std::to_string(i / static_cast<std::size_t>(columns) + 1) +
                                 ": a value is not finite");
        if (a.data.empty()) throw InputError(path + ": the array has no rows");
        return a.data;
    }
    std::istringstream in(bytes);
    std::string line;
    std::size_t lineNo = 0;
    bool first = true;
    while (std::getline(in, line)) {
        ++lineNo;
        const auto f = splitFields(line);
        if (f.empty() || f[0][0] == '#') continue;
        const bool header = first && !(std::isdigit(static_cast<unsigned char>(f[0][0])) || f[0][0] == '-' ||
                                       f[0][0] == '+' || f[0][0] == '.');
        first = false;
        if (header) continue;
        if (f.size() != static_cast<std::size_t>(columns))
            throw InputError(path + ":" + std::to_string(lineNo) + ": expected " + std::to_string(columns) +
                             " numbers, found " + std::to_string(f.size()));
        for (const auto& s : f) {
            double v;
            if (!parseNumber(s, v)) throw InputError(path + ":" + std::to_string(lineNo) + ": '" + s + "' is not a number");
            if (!std::isfinite(v)) throw InputError(path + ":" + std::to_string(lineNo) + ": '" + s + "' is not a finite number");
            out.push_back(v);
        }
    }
    if (out.empty()) throw InputError(path + ": no rows of " + std::to_string(columns) + " numbers found");
    return out;
}

}  // namespace megfwd::io
