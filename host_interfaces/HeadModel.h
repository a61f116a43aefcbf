// Spheres of the spherical head model.
#pragma once

#include "host_interfaces/Afx.h"
#include "host_interfaces/Sphere.h"

class CSphere {
public:
    double center[3] = {0.0, 0.0, 0.0};
    double radius = 0.0;
    // Coordinate state (0 host axes, 1 Matlab axes) and unit state (0 mm,
    // 2 multiplied by the manager's spatial-unit factor).
    int coordMode = 0;
    int unitMode = 0;
    CString name;

    CSphere() = default;
    CSphere(const CSphere&) = default;
    CSphere& operator=(const CSphere&) = default;
    virtual ~CSphere() = default;

    int setSphere(double x, double y, double z, double r) {
        center[0] = x;
        center[1] = y;
        center[2] = z;
        radius = r;
        return 1;
    }
    int zeroSphere() { return setSphere(0.0, 0.0, 0.0, 0.0); }
    // The sphere as a value, and a value's centre and radius taken over (the
    // coordinate and unit state and the name stay).
    megfwd::Sphere value() const { return {{center[0], center[1], center[2]}, radius}; }
    void set(const megfwd::Sphere& s) { setSphere(s.centre[0], s.centre[1], s.centre[2], s.radius); }
    // Diagnostic only: a no-op that a debugger can break on (the library keeps
    // no log and must not print).
    int traceValue() const { return 1; }
};

class CSpherekw : public CSphere {};
