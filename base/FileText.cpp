#include "base/FileText.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Errors.h"

namespace megfwd {

std::string readWholeFile(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) throw InputError(path + ": cannot open the file: it is a directory");
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw InputError(path + ": cannot open the file: " + std::strerror(errno));
    // A regular file is read into a string of its size plus one byte (so
    // that the read which finds its end needs no more room); anything else,
    // a pipe or a file that grows meanwhile, into room that doubles.
    struct stat st {};
    const bool sized = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    std::string text(sized ? static_cast<std::size_t>(st.st_size) + 1 : std::size_t{1} << 16, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == text.size()) text.resize(2 * text.size());
        const ssize_t n = ::read(fd, text.data() + used, text.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            throw InputError(path + ": cannot read the file");
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(used);
    return text;
}

void lineAndColumn(const std::string& text, std::size_t offset, std::size_t& line, std::size_t& column) {
    line = 1;
    column = 1;
    const std::size_t end = offset < text.size() ? offset : text.size();
    for (std::size_t i = 0; i < end; ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
}

nlohmann::json parseJsonText(const std::string& text, const std::string& name) {
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        std::size_t line = 1, column = 1;
        lineAndColumn(text, e.byte > 0 ? e.byte - 1 : 0, line, column);
        std::string detail = e.what();
        const auto at = detail.find(": ", detail.find("parse error"));
        if (at != std::string::npos) detail = detail.substr(at + 2);
        throw InputError(name + ":" + std::to_string(line) + ":" + std::to_string(column) + ": malformed JSON: " + detail);
    } catch (const nlohmann::json::out_of_range& e) {
        // A number too large for a double ("1e999"): the parser names the
        // literal but not its place, so find it in the text.
        const std::string what = e.what();
        const auto q1 = what.find('\''), q2 = what.rfind('\'');
        const std::string literal = q1 != std::string::npos && q2 > q1 ? what.substr(q1 + 1, q2 - q1 - 1) : "";
        std::size_t line = 1, column = 1;
        if (!literal.empty()) lineAndColumn(text, text.find(literal), line, column);
        throw InputError(name + ":" + std::to_string(line) + ":" + std::to_string(column) + ": the number " + literal +
                         " is not finite (too large for a double)");
    }
}

nlohmann::json readJsonFile(const std::string& path) { return parseJsonText(readWholeFile(path), path); }

namespace {

bool isScalar(const nlohmann::json& v) { return !v.is_array() && !v.is_object(); }

bool isFlatArray(const nlohmann::json& v) {
    if (!v.is_array()) return false;
    for (const auto& e : v)
        if (!isScalar(e)) return false;
    return true;
}

// Scalars and keys are written by nlohmann's own serializer (the text of
// dump()), one for the whole document and writing straight into `out`: a
// dump() per scalar builds a serializer, and a string, each time, which was
// most of the time of a leadfield's metadata (5,000 source positions).
using Serializer = nlohmann::detail::serializer<nlohmann::json>;

void writeScalar(Serializer& scalar, const nlohmann::json& v) { scalar.dump(v, false, false, 0); }

void writeReadable(const nlohmann::json& v, int depth, std::string& out, Serializer& scalar) {
    const std::string pad(static_cast<std::size_t>(depth + 1), ' ');
    const std::string closePad(static_cast<std::size_t>(depth), ' ');
    if (v.is_object() && !v.empty()) {
        out += "{\n";
        std::size_t i = 0;
        for (auto it = v.begin(); it != v.end(); ++it, ++i) {
            out += pad;
            writeScalar(scalar, nlohmann::json(it.key()));
            out += ": ";
            writeReadable(it.value(), depth + 1, out, scalar);
            out += i + 1 < v.size() ? ",\n" : "\n";
        }
        out += closePad + "}";
    } else if (v.is_array() && !v.empty() && !isFlatArray(v)) {
        out += "[\n";
        for (std::size_t i = 0; i < v.size(); ++i) {
            out += pad;
            writeReadable(v[i], depth + 1, out, scalar);
            out += i + 1 < v.size() ? ",\n" : "\n";
        }
        out += closePad + "]";
    } else if (v.is_array()) {
        out += "[";
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (i) out += ", ";
            writeScalar(scalar, v[i]);
        }
        out += "]";
    } else {
        writeScalar(scalar, v);
    }
}

}  // namespace

std::string readableJson(const nlohmann::json& value) {
    std::string out;
    Serializer scalar(nlohmann::detail::output_adapter<char, std::string>(out), ' ');
    writeReadable(value, 0, out, scalar);
    out += "\n";
    return out;
}

std::string exactNumber(double v) {
    // The shortest text that reads back as the same double.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, res.ptr);
}

}  // namespace megfwd
