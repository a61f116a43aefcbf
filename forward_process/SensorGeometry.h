// Geometry changes of sensors, coils and spheres shared by the pre- and
// post-forward stages: axis changes between the host frame and the Matlab
// frame, the shift to a sphere centre, and the change of spatial unit.
//
// A coil's normal and its prepared integration points are geometry in the
// same frame as its centre, so every change moves them together:
//   - the axis changes convert coilPos, coilOrient, coilNormal and, once the
//     coil's integration points are prepared (isB12Set), every b12Pts[k].pos;
//   - the centre shift moves coilPos and the prepared b12Pts[k].pos (the
//     directions coilOrient and coilNormal do not move under a shift);
//   - the unit changes scale coilPos, coilRadius (the double right after
//     coilPos) and the prepared b12Pts[k].pos.
// The field computations read coilNormal and the integration points; left in
// the old frame or unit, every leadfield computed in Matlab axes or in metres
// would be wrong, and one computed after a restore would mix frames.
// All twelve point slots are converted: unused slots are plain storage, and
// treating them alike keeps the conversion free of the sensor's point count.
// The value slots b12Pts[k].val are results of the last computation, not
// geometry, and are left alone.
#pragma once

#include <cstdint>

#include "forward_data/CForwardChnlkw.h"
#include "host_interfaces/HeadModel.h"
#include "host_interfaces/MagSensor.h"

namespace megfwd::geom {

enum class Axes { toMatlab, toHost };

// A change of spatial unit: forward multiplies by the factor, back divides
// by it (the restore divides so that the forward change is undone exactly as
// far as the arithmetic allows).
struct UnitChange {
    double factor = 1.0;
    bool back = false;
    double apply(double v) const { return back ? v / factor : v * factor; }
};

// |a - b| of two points.
double distance(const double* a, const double* b);

// One triple through the axis change.
void changeAxes(double* v, Axes dir);

void changeAxes(CBscMagSnskw& coil, Axes dir);
// Every coil (null coil slots skipped) and the local sphere's centre.
void changeAxes(CMEGSensorkw& sensor, Axes dir);
// The centre only.
void changeAxes(CSpherekw& sphere, Axes dir);

void shift(CBscMagSnskw& coil, const double cen[3]);
// Every coil and the local sphere's centre (the radius is kept).
void shift(CMEGSensorkw& sensor, const double cen[3]);

void changeUnit(CBscMagSnskw& coil, const UnitChange& u);
// Every coil, and the local sphere's centre and radius.
void changeUnit(CMEGSensorkw& sensor, const UnitChange& u);
// Centre and radius.
void changeUnit(CSpherekw& sphere, const UnitChange& u);

// Calls fn(sensor) for the sensor of every entry that has one, measurement
// and reference alike. The caller checks the entry array first.
template <class F>
void forEachSensor(CForwardChnlkw& set, F&& fn) {
    if (!set.pSnsCoils) return;
    for (std::int64_t i = 0; i < set.numChnl; ++i)
        if (CMEGSensorkw* s = set.pSnsCoils[i].pMEGSns) fn(*s);
}

// Whether the entry array can be walked: present and at least one entry.
inline bool hasEntries(const CForwardChnlkw* set) { return set && set->pSnsCoils && set->numChnl >= 1; }

}  // namespace megfwd::geom
