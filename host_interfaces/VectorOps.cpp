#include "host_interfaces/VectorOps.h"

#include <cmath>
#include <utility>

#include "host_interfaces/Afx.h"

int CVector01StatFunct::subAB2C(const double* a, const double* b, double* c, int n) {
    for (int i = 0; i < n; ++i) c[i] = a[i] - b[i];
    return 1;
}

int CVector01StatFunct::subAB2A(double* a, const double* b, int n) {
    for (int i = 0; i < n; ++i) a[i] -= b[i];
    return 1;
}

int CVector01StatFunct::addAB2Cf(const double* a, const double* b, double* c, int n) {
    for (int i = 0; i < n; ++i) c[i] = a[i] + b[i];
    return 1;
}

int CVector01StatFunct::addB2Af(double* a, const double* b, int n) {
    for (int i = 0; i < n; ++i) a[i] += b[i];
    return 1;
}

double* CVector01StatFunct::sub(const double* a, const double* b, int n) {
    double* c = megfwd::newArray<double>(n);
    if (c) subAB2C(a, b, c, n);
    return c;
}

int CVector01StatFunct::crossAB2C(const double* a, const double* b, double* c) {
    const double x = a[1] * b[2] - a[2] * b[1];
    const double y = a[2] * b[0] - a[0] * b[2];
    const double z = a[0] * b[1] - a[1] * b[0];
    c[0] = x;
    c[1] = y;
    c[2] = z;
    return 1;
}

double CVector01StatFunct::dotVct(const double* a, const double* b, int n) {
    double s = 0.0;
    for (int i = 0; i < n; ++i) s += a[i] * b[i];
    return s;
}

double CVector01StatFunct::normal(const double* a, int n) { return std::sqrt(dotVct(a, a, n)); }

int CVector01StatFunct::normalizeVect(double* a, int n) {
    const double len = normal(a, n);
    if (len == 0.0) return 0;
    for (int i = 0; i < n; ++i) a[i] /= len;
    return 1;
}

int CVector01StatFunct::scaleA(double* a, double s, int n) {
    for (int i = 0; i < n; ++i) a[i] *= s;
    return 1;
}

int CVector01StatFunct::scaleA2B(const double* a, double* b, double s, int n) {
    for (int i = 0; i < n; ++i) b[i] = s * a[i];
    return 1;
}

double* CVector01StatFunct::scale(double* a, double s, int n) {
    scaleA(a, s, n);
    return a;
}

int CVector01StatFunct::copyA2B(const double* a, double* b, int n) {
    for (int i = 0; i < n; ++i) b[i] = a[i];
    return 1;
}

double CVector02Mas::dot3(const double* a, const double* b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

double CVector02Mas::magnitude3(const double* a) { return std::sqrt(dot3(a, a)); }

int CVector02Mas::setVector3v(double* v, double x, double y, double z) {
    v[0] = x;
    v[1] = y;
    v[2] = z;
    return 1;
}

int CVector02Mas::matrixXvector3(const double M[3][3], const double* v, double* out) {
    double r[3];
    for (int i = 0; i < 3; ++i) r[i] = M[i][0] * v[0] + M[i][1] * v[1] + M[i][2] * v[2];
    return setVector3v(out, r[0], r[1], r[2]);
}

int CVector02Mas::matrixTXvector3(const double M[3][3], const double* v, double* out) {
    double r[3];
    for (int i = 0; i < 3; ++i) r[i] = M[0][i] * v[0] + M[1][i] * v[1] + M[2][i] * v[2];
    return setVector3v(out, r[0], r[1], r[2]);
}

double CVector02Mas::degToRad(double deg) { return deg * (3.141592653589793 / 180.0); }

double CVector02Mas::radToDeg(double rad) { return rad * (180.0 / 3.141592653589793); }

int CVector02Mas::xyzTospherical(const double* xyz, double* s) {
    const double r = magnitude3(xyz);
    const double phi = std::atan2(xyz[1], xyz[0]);
    const double theta = r > 0.0 ? std::acos(std::fmax(-1.0, std::fmin(1.0, xyz[2] / r))) : 0.0;
    return setVector3v(s, r, phi, theta);
}

int CVector02Mas::sphericalToxyz(const double* s, double* xyz) {
    const double r = s[0], phi = s[1], theta = s[2];
    return setVector3v(xyz, r * std::sin(theta) * std::cos(phi), r * std::sin(theta) * std::sin(phi),
                       r * std::cos(theta));
}

int CVector02Mas::swap2D(double* v) {
    std::swap(v[0], v[1]);
    return 1;
}

int CVector02Mas::xyzOpenGL2Matlab(const double* in, double* out) {
    return setVector3v(out, in[0], -in[2], in[1]);
}

int CVector02Mas::xyzMatlab2OpenGL(const double* in, double* out) {
    return setVector3v(out, in[0], in[2], -in[1]);
}

int CVector02Mas::xyzIOpenGL2Matlab(double* v) { return xyzOpenGL2Matlab(v, v); }

int CVector02Mas::xyzIMatlab2OpenGL(double* v) { return xyzMatlab2OpenGL(v, v); }

int CVector03Meg::SubtractVect3(const double* a, const double* b, double* c) {
    return CVector01StatFunct::subAB2C(a, b, c, 3);
}

double CVector03Meg::SDotProd3(const double* a, const double* b) { return CVector02Mas::dot3(a, b); }

int CVector03Meg::ScaleVect3(double* a, double s) { return CVector01StatFunct::scaleA(a, s, 3); }

int CVector03Meg::SCross_ProdBxA3(const double* a, const double* b, double* c) {
    return CVector01StatFunct::crossAB2C(a, b, c);
}
