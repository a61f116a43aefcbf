#include "tools/formats/Npy.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/Errors.h"

namespace megfwd::io {
namespace {

constexpr char kMagic[] = "\x93NUMPY";
constexpr std::size_t kMagicLen = 6;

template <class T>
T readLittle(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        char* b = reinterpret_cast<char*>(&v);
        for (std::size_t i = 0; i < sizeof v / 2; ++i) std::swap(b[i], b[sizeof v - 1 - i]);
    }
    return v;
}

template <class T>
void appendLittle(std::string& out, T v) {
    char b[sizeof v];
    std::memcpy(b, &v, sizeof v);
    if constexpr (std::endian::native == std::endian::big)
        for (std::size_t i = 0; i < sizeof v / 2; ++i) std::swap(b[i], b[sizeof v - 1 - i]);
    out.append(b, sizeof v);
}

// The text after `key` up to the closing character `close`, or empty.
std::string dictValue(const std::string& dict, const std::string& key, char close, bool& found) {
    const auto k = dict.find("'" + key + "'");
    found = false;
    if (k == std::string::npos) return {};
    auto colon = dict.find(':', k);
    if (colon == std::string::npos) return {};
    auto start = dict.find_first_not_of(' ', colon + 1);
    if (start == std::string::npos) return {};
    auto end = dict.find(close, start + 1);
    if (end == std::string::npos) return {};
    found = true;
    return dict.substr(start, end - start + 1);
}

// Bytes as text for a message: printable ASCII as it is, others as \xNN.
std::string printable(const std::string& bytes) {
    std::string s;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            s += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            s += buf;
        }
    }
    return s;
}

}  // namespace

std::int64_t NpyArray::size() const {
    std::int64_t n = 1;
    for (auto s : shape) n *= s;
    return n;
}

std::string npyHeader(const std::vector<std::int64_t>& shape) {
    std::string dict = "{'descr': '<f8', 'fortran_order': False, 'shape': (";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        dict += std::to_string(shape[i]);
        if (shape.size() == 1 || i + 1 < shape.size()) dict += ",";
        if (i + 1 < shape.size()) dict += " ";
    }
    dict += "), }";
    // magic (6) + version (2) + length (2) + dictionary + blanks + newline
    const std::size_t unpadded = kMagicLen + 4 + dict.size() + 1;
    dict.append((64 - unpadded % 64) % 64, ' ');
    dict += '\n';
    std::string out(kMagic, kMagicLen);
    out += '\x01';
    out += '\x00';
    appendLittle<std::uint16_t>(out, static_cast<std::uint16_t>(dict.size()));
    out += dict;
    return out;
}

std::string npyBytes(const std::vector<std::int64_t>& shape, const double* data) {
    std::string out = npyHeader(shape);
    std::int64_t n = 1;
    for (auto s : shape) n *= s;
    out.reserve(out.size() + static_cast<std::size_t>(n) * 8);
    if constexpr (std::endian::native == std::endian::little) {
        if (n > 0) out.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n) * 8);
    } else {
        for (std::int64_t i = 0; i < n; ++i) appendLittle<double>(out, data[i]);
    }
    return out;
}

NpyArray parseNpy(const std::string& bytes, const std::string& name) {
    auto bad = [&](const std::string& what) { return InputError(name + ": corrupt .npy file: " + what); };
    auto unsupported = [&](const std::string& what) { return InputError(name + ": unsupported .npy array: " + what); };
    if (bytes.size() < 10)
        throw bad("it has " + std::to_string(bytes.size()) + " bytes, fewer than the 10 of the shortest .npy header");
    if (bytes.compare(0, kMagicLen, kMagic, kMagicLen) != 0)
        throw bad("it starts with \"" + printable(bytes.substr(0, kMagicLen)) +
                  "\" instead of the .npy magic string \"\\x93NUMPY\"");
    const int major = static_cast<unsigned char>(bytes[6]);
    std::size_t headerLen = 0, dataStart = 0;
    if (major == 1) {
        headerLen = readLittle<std::uint16_t>(bytes.data() + 8);
        dataStart = 10 + headerLen;
    } else if (major == 2 || major == 3) {
        if (bytes.size() < 12) throw bad("the header is cut short");
        headerLen = readLittle<std::uint32_t>(bytes.data() + 8);
        dataStart = 12 + headerLen;
    } else {
        throw bad("unknown format version " + std::to_string(major));
    }
    if (dataStart > bytes.size()) throw bad("the header is cut short");
    const std::string dict = bytes.substr(dataStart - headerLen, headerLen);

    bool found = false;
    const std::string descr = dictValue(dict, "descr", '\'', found);
    if (!found) throw bad("header without 'descr'");
    const std::string fortran = dictValue(dict, "fortran_order", 'e', found);
    if (!found) throw bad("header without 'fortran_order'");
    if (fortran != "False") throw unsupported("Fortran-ordered arrays are not supported; save with C order");
    std::string shapeText = dictValue(dict, "shape", ')', found);
    if (!found) throw bad("header without 'shape'");

    NpyArray a;
    std::string inner = shapeText.substr(1, shapeText.size() - 2);
    for (char& c : inner)
        if (c == ',') c = ' ';
    std::istringstream in(inner);
    long long dim;
    while (in >> dim) {
        if (dim < 0) throw bad("negative dimension");
        a.shape.push_back(dim);
    }
    if (!in.eof()) throw bad("unreadable shape " + shapeText);
    // The product of the non-zero dimensions must fit in 64 bits, so that the
    // shape multiplies out without overflow wherever it is used (an empty
    // array may have any other dimensions).
    std::uint64_t nonZeroProduct = 1;
    for (std::int64_t d : a.shape)
        if (d > 0) {
            if (nonZeroProduct > static_cast<std::uint64_t>(INT64_MAX) / static_cast<std::uint64_t>(d))
                throw bad("the shape " + shapeText + " is too large");
            nonZeroProduct *= static_cast<std::uint64_t>(d);
        }

    std::size_t itemSize = 0;
    if (descr == "'<f8'" || descr == "'<i8'") itemSize = 8;
    else if (descr == "'<f4'" || descr == "'<i4'") itemSize = 4;
    else throw unsupported("element type " + descr + " is not supported (use float64)");

    // The number of values, checked against the bytes there are before it is
    // multiplied out, so that no product of dimensions can overflow.
    const std::size_t available = (bytes.size() - dataStart) / itemSize;
    std::size_t count = 1;
    bool tooShort = false;
    for (std::int64_t d : a.shape) {
        if (d == 0) {
            count = 0;
            tooShort = false;
            break;
        }
        if (!tooShort && static_cast<std::uint64_t>(d) > available / count) tooShort = true;
        if (!tooShort) count *= static_cast<std::size_t>(d);
    }
    if (tooShort || count > available) throw bad("the data is shorter than its shape " + shapeText + " says");
    const auto n = static_cast<std::int64_t>(count);
    a.data.resize(static_cast<std::size_t>(n));
    const char* p = bytes.data() + dataStart;
    for (std::int64_t i = 0; i < n; ++i, p += itemSize) {
        double v;
        if (descr == "'<f8'") v = readLittle<double>(p);
        else if (descr == "'<f4'") v = readLittle<float>(p);
        else if (descr == "'<i8'") v = static_cast<double>(readLittle<std::int64_t>(p));
        else v = readLittle<std::int32_t>(p);
        a.data[static_cast<std::size_t>(i)] = v;
    }
    return a;
}

NpyArray readNpy(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError(path + ": cannot open the file: " + std::strerror(errno));
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) throw InputError(path + ": cannot read the file");
    return parseNpy(ss.str(), path);
}

}  // namespace megfwd::io
