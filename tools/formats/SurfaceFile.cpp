#include "tools/formats/SurfaceFile.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/Errors.h"
#include "base/FileText.h"
#include "tools/formats/Npy.h"
#include "tools/formats/SourceFile.h"

namespace megfwd::io {
namespace {

bool endsWith(const std::string& s, const char* tail) {
    const std::size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

bool isFreeSurfer(const std::string& bytes) {
    return bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
           static_cast<unsigned char>(bytes[1]) == 0xFF && static_cast<unsigned char>(bytes[2]) == 0xFE;
}

// Big-endian 32-bit words, as FreeSurfer writes them.
std::uint32_t bigEndian32(const std::string& b, std::size_t at) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3]));
}

// A surface of a head spans about 150 mm; one that spans less than a
// millimetre was probably written in metres.
void noteSize(SurfaceRead& r, const std::string& name) {
    double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
    for (std::int64_t i = 0; i < r.surface.numVertices(); ++i)
        for (int a = 0; a < 3; ++a)
            lo[a] = std::min(lo[a], r.surface.vertex(i)[a]), hi[a] = std::max(hi[a], r.surface.vertex(i)[a]);
    double span = 0.0;
    for (int a = 0; a < 3; ++a) span = std::max(span, hi[a] - lo[a]);
    if (!r.surface.vertices.empty() && span < 1.0) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.3g mm", span);
        r.notes.push_back(name + ": the points span only " + buf + "; if the file is in metres, say --surface-unit m");
    }
}

}  // namespace

SurfaceRead parseFreeSurfer(const std::string& b, const std::string& name) {
    if (!isFreeSurfer(b)) throw InputError(name + ": not a FreeSurfer triangle surface (it does not start with FF FF FE)");
    // After the magic: a comment ("created by ... on ...") ended by two
    // newlines, then the counts.
    const std::size_t end = b.find("\n\n", 3);
    if (end == std::string::npos) throw InputError(name + ": FreeSurfer surface without the end of its comment line");
    std::size_t at = end + 2;
    if (b.size() < at + 8) throw InputError(name + ": FreeSurfer surface ends before its vertex and triangle counts");
    const std::uint32_t nv = bigEndian32(b, at), nt = bigEndian32(b, at + 4);
    at += 8;
    const double need = 12.0 * nv + 12.0 * nt;
    if (static_cast<double>(b.size() - at) < need)
        throw InputError(name + ": FreeSurfer surface of " + std::to_string(nv) + " vertices and " + std::to_string(nt) +
                         " triangles ends early (" + std::to_string(b.size()) + " bytes)");
    SurfaceRead r;
    r.kind = "FreeSurfer surface";
    r.surface.label = name;
    r.surface.vertices.resize(3 * static_cast<std::size_t>(nv));
    for (double& x : r.surface.vertices) {
        const std::uint32_t w = bigEndian32(b, at);
        at += 4;
        float f;
        std::memcpy(&f, &w, sizeof f);
        x = f;
    }
    r.surface.triangles.resize(3 * static_cast<std::size_t>(nt));
    for (std::size_t k = 0; k < r.surface.triangles.size(); ++k, at += 4)
        r.surface.triangles[k] = head::vertexIndex(bigEndian32(b, at), static_cast<std::int64_t>(k / 3), nv, name);
    head::checkSurface(r.surface);
    noteSize(r, name);
    return r;
}

SurfaceRead readSurface(const std::string& path, const std::string& trianglesPath, const std::string& unit) {
    if (!unit.empty() && unit != "mm" && unit != "m")
        throw InputError("--surface-unit '" + unit + "': expected mm or m");
    const std::string bytes = readWholeFile(path);
    if (isFreeSurfer(bytes)) {
        if (unit == "m") throw InputError(path + ": a FreeSurfer surface is in millimetres; --surface-unit m does not apply");
        if (!trianglesPath.empty())
            throw InputError(path + ": a FreeSurfer surface holds its own triangles; --triangles does not apply");
        return parseFreeSurfer(bytes, path);
    }
    const double toMm = unit == "m" ? 1000.0 : 1.0;
    SurfaceRead r;
    r.surface.label = path;
    const bool npy = endsWith(path, ".npy") || bytes.compare(0, 6, "\x93NUMPY") == 0;
    if (npy) {
        const NpyArray v = parseNpy(bytes, path);
        if (v.shape.size() != 2 || v.shape[1] != 3)
            throw InputError(path + ": vertices must have shape (n, 3)");
        r.kind = ".npy vertices";
        r.surface.vertices.resize(v.data.size());
        for (std::size_t k = 0; k < v.data.size(); ++k) r.surface.vertices[k] = v.data[k] * toMm;
    } else {
        if (!trianglesPath.empty())
            throw InputError(path + ": head-shape points in text have no triangles; --triangles needs .npy vertices");
        r.kind = "head-shape points";
        const std::vector<double> rows = parseRows(bytes, path, 3);
        r.surface.vertices.resize(rows.size() / 3 * 3);
        for (std::size_t k = 0; k < r.surface.vertices.size(); ++k) r.surface.vertices[k] = rows[k] * toMm;
    }
    if (!trianglesPath.empty()) {
        const NpyArray t = readNpy(trianglesPath);
        if (t.shape.size() != 2 || t.shape[1] != 3)
            throw InputError(trianglesPath + ": triangles must have shape (m, 3)");
        // The triangles' file names the triangles' faults, the vertices'
        // file the vertices'.
        r.surface.triangles.resize(t.data.size());
        for (std::size_t k = 0; k < t.data.size(); ++k)
            r.surface.triangles[k] =
                head::vertexIndex(t.data[k], static_cast<std::int64_t>(k / 3), r.surface.numVertices(), trianglesPath);
        r.kind += " with triangles";
    }
    head::checkSurface(r.surface);
    noteSize(r, path);
    return r;
}

}  // namespace megfwd::io
