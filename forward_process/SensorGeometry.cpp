#include "forward_process/SensorGeometry.h"

#include <cmath>

#include "host_interfaces/VectorOps.h"

namespace megfwd::geom {

namespace {

template <class F>
void forEachCoil(CMEGSensorkw& sensor, F&& fn) {
    const int n = sensor.getTotalCoils();
    for (int i = 0; i < n; ++i)
        if (CBscMagSnskw* c = sensor.getCoil(i)) fn(*c);
}

}  // namespace

double distance(const double* a, const double* b) {
    const double d[3] = {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
    return std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
}

void changeAxes(double* v, Axes dir) {
    if (dir == Axes::toMatlab)
        CVector02Mas::xyzIOpenGL2Matlab(v);
    else
        CVector02Mas::xyzIMatlab2OpenGL(v);
}

void changeAxes(CBscMagSnskw& coil, Axes dir) {
    changeAxes(coil.coilPos, dir);
    changeAxes(coil.coilOrient, dir);
    changeAxes(coil.coilNormal, dir);
    if (coil.isB12Set)
        for (B12PT& p : coil.b12Pts) changeAxes(p.pos, dir);
}

void changeAxes(CMEGSensorkw& sensor, Axes dir) {
    forEachCoil(sensor, [dir](CBscMagSnskw& c) { changeAxes(c, dir); });
    changeAxes(sensor.localSphere, dir);  // the centre: its first three doubles
}

void changeAxes(CSpherekw& sphere, Axes dir) { changeAxes(sphere.center, dir); }

void shift(CBscMagSnskw& coil, const double cen[3]) {
    for (int a = 0; a < 3; ++a) coil.coilPos[a] -= cen[a];
    if (coil.isB12Set)
        for (B12PT& p : coil.b12Pts)
            for (int a = 0; a < 3; ++a) p.pos[a] -= cen[a];
}

void shift(CMEGSensorkw& sensor, const double cen[3]) {
    forEachCoil(sensor, [cen](CBscMagSnskw& c) { shift(c, cen); });
    for (int a = 0; a < 3; ++a) sensor.localSphere[a] -= cen[a];
}

void changeUnit(CBscMagSnskw& coil, const UnitChange& u) {
    for (double& x : coil.coilPos) x = u.apply(x);
    coil.coilRadius = u.apply(coil.coilRadius);
    if (coil.isB12Set)
        for (B12PT& p : coil.b12Pts)
            for (double& x : p.pos) x = u.apply(x);
}

void changeUnit(CMEGSensorkw& sensor, const UnitChange& u) {
    forEachCoil(sensor, [&u](CBscMagSnskw& c) { changeUnit(c, u); });
    for (double& x : sensor.localSphere) x = u.apply(x);
}

void changeUnit(CSpherekw& sphere, const UnitChange& u) {
    for (double& x : sphere.center) x = u.apply(x);
    sphere.radius = u.apply(sphere.radius);
}

}  // namespace megfwd::geom
