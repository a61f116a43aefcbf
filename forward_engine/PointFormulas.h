// The arithmetic of the point-source field formulas, as small inline functions
// over plain double[3] vectors: no allocation, no state, every factor passed in.
// The engine's formula members call these; a vectorised fast path can call the
// very same functions, so both always compute the same physics.
//
// Notation: r the field point and r0 the source, both relative to the sphere
// centre; d = r - r0, a = |d|, rn = |r|; Q a current-dipole moment, m a
// magnetic moment or current element; k the factor that stands for mu0/4pi.
//
// Degenerate geometry never divides by zero here: where a formula has no
// finite value (field point at the source, field point at the sphere centre,
// F = 0) the *Geom functions report it and the callers return a zero field.
#pragma once

#include <cmath>

namespace megfwd::phys {

// Smallest squared length of r x r0 for which the Cuffin form divides by it;
// below it r and r0 count as parallel and the term they multiply is dropped.
constexpr double kCuffinParallelEps = 2.220446049250313e-16;
// Factor of the Grynszpan forms, fixed whatever the engine's mu0/4pi factor.
constexpr double kGrynszpanFactor = 1e-9;

// ---------------------------------------------------------------- vectors

inline double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline double norm(const double* a) { return std::sqrt(dot(a, a)); }
inline void zero(double* v) { v[0] = v[1] = v[2] = 0.0; }
inline void copy(const double* a, double* b) {
    b[0] = a[0];
    b[1] = a[1];
    b[2] = a[2];
}
inline void sub(const double* a, const double* b, double* c) {
    c[0] = a[0] - b[0];
    c[1] = a[1] - b[1];
    c[2] = a[2] - b[2];
}
// c = a x b; c may alias a or b.
inline void cross(const double* a, const double* b, double* c) {
    const double x = a[1] * b[2] - a[2] * b[1];
    const double y = a[2] * b[0] - a[0] * b[2];
    const double z = a[0] * b[1] - a[1] * b[0];
    c[0] = x;
    c[1] = y;
    c[2] = z;
}
// e_j x v for the coordinate axis e_j (j = 0, 1, 2), without multiplications.
inline void axisCross(int j, const double* v, double* c) {
    if (j == 0) {
        c[0] = 0.0, c[1] = -v[2], c[2] = v[1];
    } else if (j == 1) {
        c[0] = v[2], c[1] = 0.0, c[2] = -v[0];
    } else {
        c[0] = -v[1], c[1] = v[0], c[2] = 0.0;
    }
}
// a = a / |a|; a zero vector stays zero and false is returned.
inline bool normalize(double* a) {
    const double len = norm(a);
    if (len == 0.0) return false;
    a[0] /= len;
    a[1] /= len;
    a[2] /= len;
    return true;
}

// ---------------------------------------------------------------- Sarvas
//
// B = k/F^2 (F (Q x r0) - ((Q x r0) . r) grad F), with
// F = a (rn a + rn^2 - r0 . r) and
// grad F = (a^2/rn + (d . r)/a + 2a + 2rn) r - (a + 2rn + (d . r)/a) r0.

struct SarvasGeom {
    double F;
    double gradF[3];
};

// F and grad F of field point r for source r0. False when F = 0: the field
// point is at the source (a = 0), at the centre (rn = 0), or on the segment
// from the centre to the source, where the formula has no finite value.
// When true, a and rn are non-zero, so grad F is finite.
inline bool sarvasGeom(const double* r, const double* r0, SarvasGeom& g) {
    double d[3];
    sub(r, r0, d);
    const double a = norm(d);
    const double rn = norm(r);
    const double F = a * (rn * a + rn * rn - dot(r0, r));
    if (F == 0.0 || !std::isfinite(F)) return false;
    const double dr = dot(d, r) / a;
    const double cr = a * a / rn + dr + 2.0 * a + 2.0 * rn;
    const double c0 = a + 2.0 * rn + dr;
    g.F = F;
    g.gradF[0] = cr * r[0] - c0 * r0[0];
    g.gradF[1] = cr * r[1] - c0 * r0[1];
    g.gradF[2] = cr * r[2] - c0 * r0[2];
    return true;
}

// B = k/F^2 (F c - (c . r) grad F) for c = Q x r0.
inline void sarvasField(double k, const SarvasGeom& g, const double* r, const double* c, double* B) {
    const double f = k / (g.F * g.F);
    const double cr = dot(c, r);
    B[0] = f * (g.F * c[0] - cr * g.gradF[0]);
    B[1] = f * (g.F * c[1] - cr * g.gradF[1]);
    B[2] = f * (g.F * c[2] - cr * g.gradF[2]);
}

// n . B for c = Q x r0, with gn = grad F . n computed once by the caller.
inline double sarvasNormal(double k, const SarvasGeom& g, const double* r, const double* c, const double* n,
                           double gn) {
    return k / (g.F * g.F) * (g.F * dot(c, n) - dot(c, r) * gn);
}

// n . B for unit moments along the three axes: with c_j = e_j x r0, c_j . n is
// component j of r0 x n and c_j . r component j of r0 x r, so
// out = k/F^2 (F (r0 x n) - (grad F . n) (r0 x r)).
inline void sarvasAxesNormal(double k, const SarvasGeom& g, const double* r, const double* r0, const double* n,
                             double* out) {
    const double gn = dot(g.gradF, n);
    double cn[3], cp[3];
    cross(r0, n, cn);
    cross(r0, r, cp);
    const double f = k / (g.F * g.F);
    for (int j = 0; j < 3; ++j) out[j] = f * (g.F * cn[j] - gn * cp[j]);
}

// The whole Sarvas field of moment Q; zero where the formula has no value.
inline void sarvas(double k, const double* r, const double* r0, const double* Q, double* B) {
    SarvasGeom g;
    if (!sarvasGeom(r, r0, g)) return zero(B);
    double c[3];
    cross(Q, r0, c);
    sarvasField(k, g, r, c, B);
}

// ---------------------------------------------------------------- Cuffin
//
// The FieldTrip form: the leadfield row of orientation n is
// l = k ((alpha n + beta r) x r0) with alpha = -1/F, beta = (g . n)/t7 and
// g = A r + Bc r0 + Cd d, A = 1/a - 2 alpha |r0|^2 - 1/rn,
// Bc = 2 alpha (r0 . r), Cd = -(r0 . d)/a^3, t7 = |r x r0|^2.

struct CuffinGeom {
    double alpha;
    double g[3];
    double t7;
    bool parallel;  // t7 below the threshold: beta is taken as 0
};

// False where the form has no finite value (a = 0, rn = 0 or F = 0).
// t7 is formed as |r x r0|^2 rather than |r|^2 |r0|^2 - (r . r0)^2: the two are
// equal, but for parallel r and r0 the difference form leaves a rounding
// residue that can pass the threshold and blow up beta, while the cross
// product is exactly or very nearly zero.
inline bool cuffinGeom(const double* r, const double* r0, CuffinGeom& c) {
    double d[3];
    sub(r, r0, d);
    const double a = norm(d);
    const double rn = norm(r);
    const double den = -a * (dot(r, d) + a * rn);
    if (a == 0.0 || rn == 0.0 || den == 0.0 || !std::isfinite(den)) return false;
    const double alpha = 1.0 / den;
    const double A = 1.0 / a - 2.0 * alpha * dot(r0, r0) - 1.0 / rn;
    const double Bc = 2.0 * alpha * dot(r0, r);
    const double Cd = -dot(r0, d) / (a * a * a);
    c.alpha = alpha;
    for (int i = 0; i < 3; ++i) c.g[i] = A * r[i] + Bc * r0[i] + Cd * d[i];
    double rx[3];
    cross(r, r0, rx);
    c.t7 = dot(rx, rx);
    c.parallel = c.t7 < kCuffinParallelEps;
    return true;
}

// The leadfield row l = k ((alpha n + beta r) x r0) of orientation n.
inline void cuffinRow(double k, const CuffinGeom& c, const double* r, const double* r0, const double* n, double* l) {
    const double beta = c.parallel ? 0.0 : dot(c.g, n) / c.t7;
    double v[3];
    for (int i = 0; i < 3; ++i) v[i] = k * (c.alpha * n[i] + beta * r[i]);
    cross(v, r0, l);
}

// The field of moment Q: component j is row(e_j) . Q, which sums to
// B = k (alpha (r0 x Q) + ((r x r0) . Q / t7) g).
inline void cuffinField(double k, const CuffinGeom& c, const double* r, const double* r0, const double* Q,
                        double* B) {
    double rq[3];
    cross(r0, Q, rq);
    double s = 0.0;
    if (!c.parallel) {
        double rx[3];
        cross(r, r0, rx);
        s = dot(rx, Q) / c.t7;
    }
    for (int i = 0; i < 3; ++i) B[i] = k * (c.alpha * rq[i] + s * c.g[i]);
}

// ---------------------------------------------------------------- free space

// Biot-Savart field of current element Q at r0 in an unbounded medium (also
// the primary-current field of a magnetic source): k (Q x d)/a^3; zero at the
// source.
inline void biotSavart(double k, const double* r, const double* r0, const double* Q, double* B) {
    double d[3];
    sub(r, r0, d);
    const double a = norm(d);
    const double a3 = a * a * a;
    if (a3 == 0.0) return zero(B);
    cross(Q, d, B);
    const double f = k / a3;
    B[0] *= f;
    B[1] *= f;
    B[2] *= f;
}

// Magnetic dipole m at r0: k/a^3 (3 (m . u) u - m), u = d/a; zero at the source.
inline void magneticDipole(double k, const double* r, const double* r0, const double* m, double* B) {
    double d[3];
    sub(r, r0, d);
    const double a = norm(d);
    const double a3 = a * a * a;
    if (a3 == 0.0) return zero(B);
    const double u[3] = {d[0] / a, d[1] / a, d[2] / a};
    const double mu = 3.0 * dot(m, u);
    const double f = k / a3;
    for (int i = 0; i < 3; ++i) B[i] = f * (mu * u[i] - m[i]);
}

// The same field through the dipole tensor: k/a^5 (3 d (d . m) - a^2 m).
inline void magneticDipoleTensor(double k, const double* r, const double* r0, const double* m, double* B) {
    double d[3];
    sub(r, r0, d);
    const double a2 = dot(d, d);
    const double a5 = a2 * a2 * std::sqrt(a2);
    if (a5 == 0.0) return zero(B);
    const double f = k / a5;
    const double dm = 3.0 * dot(d, m);
    for (int i = 0; i < 3; ++i) B[i] = f * (dm * d[i] - a2 * m[i]);
}

// ---------------------------------------------------------------- Grynszpan
//
// Field of a tangential current dipole in a conducting sphere, worked in the
// source's own frame: M has the rows e_theta, e_phi, e_r of the source's
// spherical angles (phi the azimuth from +x in the x-y plane, theta the polar
// angle from +z), so the source lies on the local z axis at height r0 and the
// field point is p = M r. The field is linear in the tangential moment
// (q_theta, q_phi); the geometry below holds everything that does not depend
// on it, so one set-up serves any number of moments.

struct GrynszpanGeom {
    double M[3][3];
    double ca, sa;  // direction of the field point's offset from the local z axis
    double Z, E;    // local b_z and the in-plane radial part, per unit q_perp
    double G3;      // g3 per unit q_par
    bool isZero;    // degenerate geometry: the field is taken as zero
};

// The rows e_theta, e_phi, e_r of the local frame of angles (phi, theta).
inline void sphericalFrame(double phi, double theta, double M[3][3]) {
    const double cp = std::cos(phi), sp = std::sin(phi);
    const double ct = std::cos(theta), st = std::sin(theta);
    M[0][0] = ct * cp, M[0][1] = ct * sp, M[0][2] = -st;
    M[1][0] = -sp, M[1][1] = cp, M[1][2] = 0.0;
    M[2][0] = st * cp, M[2][1] = st * sp, M[2][2] = ct;
}

// Sets up field point r (Cartesian, R = |r|) for a source at spherical
// position (r0, phi, theta). False when r0 = 0 (the source at the centre has
// no tangent plane). A field point at the centre (R = 0) or at the source
// (D = 0) sets isZero: the formula has no finite value there. (A Cartesian
// caller tests r = r0 itself: the rotation into the source frame leaves a
// rounding residue in D.)
//
// Off the source axis the factor v = f/(r0 u^2), f = 1 + (r0 w - R)/D, is
// evaluated as r0/(D (D + R - r0 w)): since u^2 + w^2 = 1, D^2 - (R - r0 w)^2
// = r0^2 u^2, so both are the same number, but the literal form loses all its
// digits to cancellation near the axis (f and u^2 both tend to 0), while this
// one tends smoothly to the on-axis value r0/(2 (R - r0)^2).
inline bool grynszpanGeom(const double* r, double r0, double phi, double theta, double R, GrynszpanGeom& g) {
    sphericalFrame(phi, theta, g.M);
    g.ca = 1.0, g.sa = 0.0, g.Z = g.E = g.G3 = 0.0;
    g.isZero = true;
    if (r0 == 0.0) return false;
    if (R == 0.0) return true;
    double p[3];
    for (int i = 0; i < 3; ++i) p[i] = g.M[i][0] * r[0] + g.M[i][1] * r[1] + g.M[i][2] * r[2];
    const double rho = std::sqrt(p[0] * p[0] + p[1] * p[1]);
    if (rho > 1e-20) g.ca = p[0] / rho, g.sa = p[1] / rho;
    const double u = rho / R, w = p[2] / R;
    // D^2 = R^2 - 2 r0 p_z + r0^2, the squared distance from the source,
    // formed as rho^2 + (p_z - r0)^2 (the same number for R = |p|) so that it
    // does not cancel to noise next to the source.
    const double D2 = rho * rho + (p[2] - r0) * (p[2] - r0);
    if (!(D2 > 0.0)) return true;
    const double D = std::sqrt(D2);
    const double D3 = D2 * D;
    const double h = (r0 - p[2]) * r0 / D3;
    double v;
    if (rho == 0.0) {
        const double t = p[2] >= 0.0 ? R - r0 : R + r0;
        if (t == 0.0) return true;
        v = r0 / (2.0 * t * t);
    } else {
        const double den = D * (D + R - r0 * w);
        if (!(den > 0.0)) return true;
        v = r0 / den;
    }
    const double c2 = kGrynszpanFactor * r0 * u / D3;  // g2 per unit q_perp
    const double c1 = -kGrynszpanFactor * (v * w + h) / R;  // g1 per unit q_perp
    g.Z = c1 * u + c2 * w;
    g.E = c2 * u - c1 * w;
    g.G3 = kGrynszpanFactor * v / R;
    g.isZero = false;
    return true;
}

// B (Cartesian) of the tangential moment q_theta e_theta + q_phi e_phi.
inline void grynszpanField(const GrynszpanGeom& g, double qTheta, double qPhi, double* B) {
    if (g.isZero) return zero(B);
    const double qPerp = qTheta * g.sa - qPhi * g.ca;
    const double qPar = qPhi * g.sa + qTheta * g.ca;
    const double e = qPerp * g.E;
    const double g3 = qPar * g.G3;
    const double b[3] = {e * g.ca + g3 * g.sa, e * g.sa - g3 * g.ca, qPerp * g.Z};
    for (int i = 0; i < 3; ++i) B[i] = g.M[0][i] * b[0] + g.M[1][i] * b[1] + g.M[2][i] * b[2];
}

}  // namespace megfwd::phys
