// Head surfaces and head-shape points from files, for fitting spheres to
// the head (and any other head model built on a surface).
//
// Three kinds of file:
//   - a FreeSurfer binary triangle surface (lh.white, inner_skull.surf,
//     ...: its first three bytes are FF FF FE): vertices and triangles, in
//     millimetres by definition;
//   - a NumPy .npy of vertices, shape (n, 3), with an optional second .npy
//     of triangles, shape (m, 3), holding 0-based vertex indices;
//   - a text file of head-shape points, one x, y, z row each, as the
//     source-row files (commas and/or blanks, '#' comments, an optional
//     header row): points without triangles.
// The points must already be in the frame of the sensors they are used
// with (the sensor-array file's host axes).
#pragma once

#include <string>
#include <vector>

#include "head_model/LocalSpheres.h"

namespace megfwd::io {

struct SurfaceRead {
    head::Surface surface;            // millimetres
    std::string kind;                 // "FreeSurfer surface", ".npy vertices", "head-shape points"
    std::vector<std::string> notes;   // things worth a look (a size that suggests the other unit)
};

// Reads `path` (and `trianglesPath`, a .npy of triangles, when not empty).
// `unit` is "mm", "m" or empty: empty means mm; a FreeSurfer surface is in
// mm and refuses "m". Every problem is an InputError naming the file: a
// malformed file, a coordinate that is not finite, a triangle whose index
// is not a whole number or names no vertex, triangles with head-shape
// points or a FreeSurfer surface.
SurfaceRead readSurface(const std::string& path, const std::string& trianglesPath = {},
                        const std::string& unit = {});
// The same for a FreeSurfer surface's bytes in memory.
SurfaceRead parseFreeSurfer(const std::string& bytes, const std::string& name);

}  // namespace megfwd::io
