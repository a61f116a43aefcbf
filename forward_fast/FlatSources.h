// The per-source part of the scan preparation on flat arrays: from host
// positions to the scan frame's positions, the in-scan flags and the
// coordinate modes, with no source or sensor record.
//
// prepare4VoxSnsLfdScan does two kinds of work. The sphere choice, the local
// spheres and the frame changes of the channel set do not depend on the
// sources; they are done once, by the manager itself, on a manager holding
// one source. The rest is source by source and is done here, in the
// manager's order and with the manager's arithmetic, so that the numbers are
// the ones its records would hold:
//   stencil (isSpatConstrained): a source is out when no first coil of a
//     measurement sensor can be found (a coil closer than 1e-50 mm shows the
//     channel set's message), or when it lies less than minCoilSrcDist
//     deeper than its nearest first coil, seen from the dewar centre; then
//     out when it lies closer than minSrcSphDist to the scan sphere's
//     centre;
//   centre shift (isCentralizedLf): minus the scan sphere's centre;
//   Matlab axes (coordSystem 1): the axis change, coordinate mode 1;
//   unit change (isUnit2Meter): times spatUnit, for the source list's
//     coordinates.
// The geometry the stencil needs (first-coil positions, the dewar centre,
// the scan sphere's centre) is read in host axes and millimetres, from the
// scan's own manager between the two halves of its preparation.
//
// The anatomical stencil needs every source at once (it refuses a set
// without a qualified source) and is not done here: read() refuses a
// manager with an anatomical volume in use, and such a scan takes the
// record route.
#pragma once

#include <cstdint>
#include <vector>

#include "forward_process/CMDataForwardkw.h"

class CFlatSources {
public:
    // Settings, from the scan's manager.
    int isSpatConstrained = 1;
    int isCentralizedLf = 1;
    int isMatlabAxes = 0;
    int isUnit2Meter = 0;
    double minCoilSrcDist = 16.0;
    double minSrcSphDist = 0.0;
    double spatUnit = 1.0;
    std::int64_t numUnitCoords = 3;  // coordinates the unit change scales
    // Host-frame geometry.
    double dewarCentre[3] = {0.0, 0.0, 0.0};
    double sphereCentre[3] = {0.0, 0.0, 0.0};
    // First coils of the measurement sensors that have one, in channel order,
    // and each one's distance from the dewar centre.
    std::vector<double> coilX, coilY, coilZ, coilDepth;
    int isRead = 0;

    // Reads the settings and the host-frame geometry from `data`, the scan's
    // manager prepared up to its frame changes (prepareInHostFrame). 0 when
    // the stencil's dewar centre cannot be found (no measurement sensor with
    // a first coil) while the stencil is on, or when an anatomical volume is
    // in use.
    int read(const CMDataForwardkw& data);

    // Positions (3 per source, scan frame), in-scan flags (1 in, 0 out) and
    // coordinate modes (0 host axes, 1 Matlab axes) of `count` sources given
    // by their host positions (3 each, mm). Sources are independent, so any
    // block of a list gives what the whole list gives.
    void prepare(const double* hostPos, std::int64_t count, double* pos, std::int32_t* inScan,
                 std::int32_t* modes) const;
};

namespace megfwd::fast {

// Prepares the geometry of a flat scan on `data`, a manager with the scan's
// settings, its channel set and one source position (the preparation needs
// a source): the manager's own preparation in two halves, with `flat` read
// between them, so that the channel set is built once. Afterwards the
// manager holds the channel set and spheres in the scan's frame (for the
// plan and the post-processing). The stencil is not run on the manager:
// `flat` does it for every source. 0 when a preparation step or flat.read
// fails.
int prepareFlatGeometry(CMDataForwardkw& data, CFlatSources& flat);

}  // namespace megfwd::fast
