#include "head_model/SingleShell.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <numeric>
#include <sstream>
#include <utility>

#include "base/Errors.h"
#include "head_model/SphereFit.h"

namespace megfwd::head {
namespace {

const double* vtx(const TriSurface& s, std::int64_t i) { return s.vertices.data() + 3 * i; }

void sub(const double* a, const double* b, double* out) {
    out[0] = a[0] - b[0], out[1] = a[1] - b[1], out[2] = a[2] - b[2];
}
void cross(const double* a, const double* b, double* out) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}
double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double norm(const double* a) { return std::sqrt(dot(a, a)); }

std::string pointText(const double* p) {
    std::ostringstream o;
    o.precision(6);
    o << "(" << p[0] << ", " << p[1] << ", " << p[2] << ")";
    return o.str();
}

// In-place Cholesky factor (lower triangle) of the n x n symmetric matrix
// a; false when a pivot is not positive.
bool cholesky(std::vector<double>& a, int n) {
    for (int j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (int k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
        if (!(d > 0.0)) return false;
        d = std::sqrt(d);
        a[j * n + j] = d;
        for (int i = j + 1; i < n; ++i) {
            double v = a[i * n + j];
            for (int k = 0; k < j; ++k) v -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = v / d;
        }
    }
    return true;
}

// Solves (L L^T) x = b in place with the factor of cholesky().
void choleskySolve(const std::vector<double>& l, int n, double* b) {
    for (int i = 0; i < n; ++i) {
        double v = b[i];
        for (int k = 0; k < i; ++k) v -= l[i * n + k] * b[k];
        b[i] = v / l[i * n + i];
    }
    for (int i = n - 1; i >= 0; --i) {
        double v = b[i];
        for (int k = i + 1; k < n; ++k) v -= l[k * n + i] * b[k];
        b[i] = v / l[i * n + i];
    }
}

// The 2-norm condition number of the symmetric positive definite matrix a
// (n x n) with Cholesky factor l: its largest eigenvalue by power iteration,
// its smallest by inverse iteration. An estimate from below, to a few per
// cent after these iterations, which is all the metadata needs.
double conditionEstimate(const std::vector<double>& a, const std::vector<double>& l, int n) {
    if (n == 0) return 1.0;
    constexpr int kIterations = 100;
    std::vector<double> x(n), y(n);
    auto normalise = [&](std::vector<double>& v) {
        const double s = std::sqrt(std::inner_product(v.begin(), v.end(), v.begin(), 0.0));
        for (double& e : v) e /= s;
        return s;
    };
    for (int i = 0; i < n; ++i) x[i] = 1.0 + 0.1 * std::sin(1.0 + i);
    normalise(x);
    double hi = 0.0;
    for (int it = 0; it < kIterations; ++it) {
        for (int i = 0; i < n; ++i) y[i] = std::inner_product(a.begin() + i * n, a.begin() + (i + 1) * n, x.begin(), 0.0);
        hi = normalise(y);
        std::swap(x, y);
    }
    for (int i = 0; i < n; ++i) x[i] = 1.0 + 0.1 * std::cos(2.0 + i);
    normalise(x);
    double inv = 0.0;
    for (int it = 0; it < kIterations; ++it) {
        choleskySolve(l, n, x.data());
        inv = normalise(x);
    }
    return hi * inv;
}

}  // namespace

double enclosedVolume(const TriSurface& s) {
    double v = 0.0;
    for (std::int64_t t = 0; t < s.numTriangles(); ++t) {
        const std::int32_t* tri = s.triangles.data() + 3 * t;
        double c[3];
        cross(vtx(s, tri[1]), vtx(s, tri[2]), c);
        v += dot(vtx(s, tri[0]), c);
    }
    return v / 6.0;
}

double windingNumber(const TriSurface& s, const double p[3]) {
    double total = 0.0;
    for (std::int64_t t = 0; t < s.numTriangles(); ++t) {
        const std::int32_t* tri = s.triangles.data() + 3 * t;
        double a[3], b[3], c[3], bc[3];
        sub(vtx(s, tri[0]), p, a);
        sub(vtx(s, tri[1]), p, b);
        sub(vtx(s, tri[2]), p, c);
        const double la = norm(a), lb = norm(b), lc = norm(c);
        cross(b, c, bc);
        const double num = dot(a, bc);
        const double den = la * lb * lc + dot(a, b) * lc + dot(a, c) * lb + dot(b, c) * la;
        total += 2.0 * std::atan2(num, den);
    }
    return total / (4.0 * M_PI);
}

TriSurface checkClosedSurface(TriSurface s, bool* turned) {
    const std::string& name = s.label;
    if (s.vertices.size() % 3 != 0 || s.triangles.size() % 3 != 0)
        throw InputError(name + ": vertices and triangles must have 3 entries each");
    const std::int64_t nv = s.numVertices(), nt = s.numTriangles();
    if (nv < 4 || nt < 4)
        throw InputError(name + ": a closed surface needs at least 4 vertices and 4 triangles, got " +
                         std::to_string(nv) + " and " + std::to_string(nt));
    for (std::int64_t i = 0; i < nv; ++i)
        if (!std::isfinite(vtx(s, i)[0]) || !std::isfinite(vtx(s, i)[1]) || !std::isfinite(vtx(s, i)[2]))
            throw InputError(name + ": vertex " + std::to_string(i) + " is not finite");
    std::vector<char> used(static_cast<std::size_t>(nv), 0);
    // Each directed edge (a, b) of a triangle wound a -> b; a closed,
    // consistently wound manifold has every edge once in each direction.
    std::map<std::pair<std::int32_t, std::int32_t>, std::int64_t> directed;
    for (std::int64_t t = 0; t < nt; ++t) {
        const std::int32_t* tri = s.triangles.data() + 3 * t;
        for (int k = 0; k < 3; ++k) {
            if (tri[k] < 0 || tri[k] >= nv)
                throw InputError(name + ": triangle " + std::to_string(t) + " names vertex " + std::to_string(tri[k]) +
                                 ", but there are " + std::to_string(nv) + " vertices");
            used[static_cast<std::size_t>(tri[k])] = 1;
        }
        if (tri[0] == tri[1] || tri[1] == tri[2] || tri[0] == tri[2])
            throw InputError(name + ": triangle " + std::to_string(t) + " repeats a vertex");
        double e1[3], e2[3], n[3];
        sub(vtx(s, tri[1]), vtx(s, tri[0]), e1);
        sub(vtx(s, tri[2]), vtx(s, tri[0]), e2);
        cross(e1, e2, n);
        if (!(norm(n) > 0.0)) throw InputError(name + ": triangle " + std::to_string(t) + " has zero area");
        for (int k = 0; k < 3; ++k) {
            const auto key = std::make_pair(tri[k], tri[(k + 1) % 3]);
            auto [it, fresh] = directed.emplace(key, t);
            if (!fresh)
                throw InputError(name + ": triangles " + std::to_string(it->second) + " and " + std::to_string(t) +
                                 " run along edge " + std::to_string(key.first) + "-" + std::to_string(key.second) +
                                 " in the same direction: the surface is not manifold or not consistently wound");
        }
    }
    for (const auto& [edge, t] : directed)
        if (!directed.count({edge.second, edge.first}))
            throw InputError(name + ": the surface is open: edge " + std::to_string(edge.first) + "-" +
                             std::to_string(edge.second) + " belongs to triangle " + std::to_string(t) + " only");
    // One piece with the topology of a sphere: V - E + F = 2 over the used
    // vertices, and every triangle reachable from the first.
    const std::int64_t usedCount = std::count(used.begin(), used.end(), 1);
    const std::int64_t edges = static_cast<std::int64_t>(directed.size()) / 2;
    std::vector<std::int64_t> component(static_cast<std::size_t>(nt), -1);
    std::vector<std::int64_t> stack{0};
    component[0] = 0;
    std::int64_t reached = 1;
    while (!stack.empty()) {
        const std::int64_t t = stack.back();
        stack.pop_back();
        const std::int32_t* tri = s.triangles.data() + 3 * t;
        for (int k = 0; k < 3; ++k) {
            const std::int64_t other = directed.at({tri[(k + 1) % 3], tri[k]});
            if (component[static_cast<std::size_t>(other)] < 0) {
                component[static_cast<std::size_t>(other)] = 0;
                ++reached;
                stack.push_back(other);
            }
        }
    }
    if (reached != nt)
        throw InputError(name + ": the surface has more than one piece (triangle " +
                         std::to_string(std::find(component.begin(), component.end(), -1) - component.begin()) +
                         " is not connected to triangle 0)");
    if (usedCount - edges + nt != 2)
        throw InputError(name + ": the surface is not a closed shell like a sphere (V - E + F = " +
                         std::to_string(usedCount - edges + nt) + ", expected 2: it has holes, handles or pinched "
                         "vertices)");
    const double volume = enclosedVolume(s);
    if (turned) *turned = volume < 0.0;
    if (volume < 0.0)
        for (std::int64_t t = 0; t < nt; ++t) std::swap(s.triangles[3 * t + 1], s.triangles[3 * t + 2]);
    return s;
}

std::string shellFitName(ShellFit fit) { return fit == ShellFit::Lsq ? "lsq" : "galerkin"; }

ShellFit parseShellFit(const std::string& text, const std::string& option) {
    std::string t = text;
    for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (t == "galerkin") return ShellFit::Galerkin;
    if (t == "lsq") return ShellFit::Lsq;
    throw InputError(option + " \"" + text + "\": expected galerkin or lsq");
}

std::int64_t minTrianglesForOrder(int order) { return 2 * static_cast<std::int64_t>(order + 1) * (order + 1); }

SingleShell SingleShell::make(TriSurface surface, const ShellOptions& options) {
    SingleShell m;
    m.surface = checkClosedSurface(std::move(surface), &m.wasTurned);
    m.options = options;
    const std::string& name = m.surface.label;
    if (options.order < 0 || options.order > kMaxHarmonicOrder)
        throw InputError("single-shell order " + std::to_string(options.order) + ": expected 0 to " +
                         std::to_string(kMaxHarmonicOrder));
    if (m.surface.numTriangles() < minTrianglesForOrder(options.order))
        throw InputError("single-shell order " + std::to_string(options.order) + " is too high for " + name + ": it needs " +
                         std::to_string(minTrianglesForOrder(options.order)) + " triangles or more, the surface has " +
                         std::to_string(m.surface.numTriangles()));
    if (options.centre) {
        const auto& c = *options.centre;
        if (!std::isfinite(c[0]) || !std::isfinite(c[1]) || !std::isfinite(c[2]))
            throw InputError("single-shell centre is not finite");
        if (windingNumber(m.surface, c.data()) < 0.75)
            throw InputError("single-shell centre " + pointText(c.data()) + " does not lie inside " + name);
    }
    return m;
}

std::array<double, 4> SingleShell::fittedSphere() const {
    std::vector<Point3> points(static_cast<std::size_t>(surface.numVertices()));
    for (std::size_t i = 0; i < points.size(); ++i)
        points[i] = {surface.vertices[3 * i], surface.vertices[3 * i + 1], surface.vertices[3 * i + 2]};
    const SphereFit f = fitSphere(points);
    return {f.centre[0], f.centre[1], f.centre[2], f.radius};
}

std::array<double, 3> SingleShell::centre() const {
    if (options.centre) return *options.centre;
    const auto s = fittedSphere();
    return {s[0], s[1], s[2]};
}

ShellExpansion ShellExpansion::build(const TriSurface& surface, const std::array<double, 3>& centre, int order,
                                     ShellFit fit) {
    ShellExpansion e;
    e.order = order;
    e.fit = fit;
    e.centre = centre;
    e.surface = surface;
    const std::int64_t nq = surface.numTriangles();
    e.numQuad = nq;
    e.quadPos.resize(3 * nq);
    e.quadNormal.resize(3 * nq);
    e.quadWeight.resize(nq);
    for (std::int64_t t = 0; t < nq; ++t) {
        const std::int32_t* tri = surface.triangles.data() + 3 * t;
        const double *a = vtx(surface, tri[0]), *b = vtx(surface, tri[1]), *c = vtx(surface, tri[2]);
        double e1[3], e2[3], n[3];
        sub(b, a, e1);
        sub(c, a, e2);
        cross(e1, e2, n);
        const double twiceArea = norm(n);
        for (int k = 0; k < 3; ++k) {
            e.quadPos[3 * t + k] = (a[k] + b[k] + c[k]) / 3.0;
            e.quadNormal[3 * t + k] = n[k] / twiceArea;
        }
        e.quadWeight[t] = 0.5 * twiceArea;
    }
    e.rho = 0.0;
    for (std::int64_t i = 0; i < surface.numVertices(); ++i) {
        double d[3];
        sub(vtx(surface, i), centre.data(), d);
        e.rho = std::max(e.rho, norm(d));
    }
    const int nb = e.numBasis();
    if (nb == 0) return e;

    // Per quadrature point: the test function (B_j for the energy fit, the
    // normal derivative for the normal-component fit) and the normal
    // derivative, both in the frame's units (the gradient in scaled
    // coordinates divided by rho).
    std::vector<double> test(static_cast<std::size_t>(nq) * nb), normalDeriv(static_cast<std::size_t>(nq) * nb);
    SolidHarmonics basis(order);
    std::vector<double> grad(3 * static_cast<std::size_t>(nb));
    for (std::int64_t q = 0; q < nq; ++q) {
        double x[3];
        for (int k = 0; k < 3; ++k) x[k] = (e.quadPos[3 * q + k] - centre[k]) / e.rho;
        basis.gradients(x, grad.data());
        const double* n = e.quadNormal.data() + 3 * q;
        double* d = normalDeriv.data() + q * nb;
        for (int j = 0; j < nb; ++j) d[j] = dot(n, grad.data() + 3 * j) / e.rho;
        if (fit == ShellFit::Galerkin)
            basis.values(x, test.data() + q * nb);
        else
            std::copy(d, d + nb, test.data() + q * nb);
    }
    // M = T^T W D, symmetrised (for the energy fit it is symmetric only to
    // the quadrature's error).
    std::vector<double> m(static_cast<std::size_t>(nb) * nb, 0.0);
    for (std::int64_t q = 0; q < nq; ++q) {
        const double w = e.quadWeight[q];
        const double* t = test.data() + q * nb;
        const double* d = normalDeriv.data() + q * nb;
        for (int j = 0; j < nb; ++j) {
            const double wt = w * t[j];
            double* row = m.data() + j * nb;
            for (int k = 0; k < nb; ++k) row[k] += wt * d[k];
        }
    }
    for (int j = 0; j < nb; ++j)
        for (int k = j + 1; k < nb; ++k) {
            const double v = 0.5 * (m[j * nb + k] + m[k * nb + j]);
            m[j * nb + k] = m[k * nb + j] = v;
        }
    // Diagonal scaling, so that the factorisation and the condition number
    // see the basis' shape, not the sizes of its functions.
    std::vector<double> scale(nb);
    for (int j = 0; j < nb; ++j) {
        if (!(m[j * nb + j] > 0.0))
            throw InputError("single-shell order " + std::to_string(order) + " is too high for " + surface.label +
                             ": its quadrature does not see harmonic " + std::to_string(j + 1));
        scale[j] = 1.0 / std::sqrt(m[j * nb + j]);
    }
    for (int j = 0; j < nb; ++j)
        for (int k = 0; k < nb; ++k) m[j * nb + k] *= scale[j] * scale[k];
    std::vector<double> l = m;
    if (!cholesky(l, nb))
        throw InputError("single-shell order " + std::to_string(order) + " is too high for " + surface.label +
                         ": the " + shellFitName(fit) + " matrix is singular on its quadrature");
    e.conditionNumber = conditionEstimate(m, l, nb);
    e.factor = std::move(l);
    e.scale = std::move(scale);
    e.rhsWeights.resize(static_cast<std::size_t>(nq) * nb);
    for (std::int64_t q = 0; q < nq; ++q)
        for (int j = 0; j < nb; ++j) e.rhsWeights[q * nb + j] = e.quadWeight[q] * e.scale[j] * test[q * nb + j];
    return e;
}

std::vector<double> ShellExpansion::coefficients(const double* normalValues, std::int64_t numSensors) const {
    // F = (s T^T W) (normal values), point by point, so that each point's
    // row of values is read once and F (numBasis x numSensors) stays in the
    // cache; then the triangular solves, row operations over all sensors.
    const int nb = numBasis();
    const std::int64_t ns = numSensors;
    std::vector<double> c(static_cast<std::size_t>(nb) * ns, 0.0);
    for (std::int64_t q = 0; q < numQuad; ++q) {
        const double* v = normalValues + q * ns;
        const double* w = rhsWeights.data() + q * nb;
        for (int j = 0; j < nb; ++j) {
            const double f = w[j];
            double* row = c.data() + j * ns;
            for (std::int64_t s = 0; s < ns; ++s) row[s] += f * v[s];
        }
    }
    for (int i = 0; i < nb; ++i) {  // L y = F
        double* row = c.data() + i * ns;
        for (int k = 0; k < i; ++k) {
            const double f = factor[i * nb + k];
            const double* other = c.data() + k * ns;
            for (std::int64_t s = 0; s < ns; ++s) row[s] -= f * other[s];
        }
        const double d = 1.0 / factor[i * nb + i];
        for (std::int64_t s = 0; s < ns; ++s) row[s] *= d;
    }
    for (int i = nb - 1; i >= 0; --i) {  // L^T x = y
        double* row = c.data() + i * ns;
        for (int k = i + 1; k < nb; ++k) {
            const double f = factor[k * nb + i];
            const double* other = c.data() + k * ns;
            for (std::int64_t s = 0; s < ns; ++s) row[s] -= f * other[s];
        }
        const double d = 1.0 / factor[i * nb + i];
        for (std::int64_t s = 0; s < ns; ++s) row[s] *= d;
    }
    for (int j = 0; j < nb; ++j)  // back from the scaled unknowns
        for (std::int64_t s = 0; s < ns; ++s) c[j * ns + s] *= scale[j];
    return c;
}

void ShellCorrection::apply(const double src[3], double* out, Workspace& ws) const {
    const int nb = expansion.numBasis();
    if (nb == 0) return;
    const double inv = 1.0 / expansion.rho;
    const double x[3] = {(src[0] - expansion.centre[0]) * inv, (src[1] - expansion.centre[1]) * inv,
                         (src[2] - expansion.centre[2]) * inv};
    ws.basis.gradients(x, ws.grad.data());
    // Sums over the basis into three contiguous rows (loops the compiler
    // vectorises), then one pass into the sensor-major output.
    const std::int64_t ns = numSensors;
    double* t0 = ws.sums.data();
    double* t1 = t0 + ns;
    double* t2 = t1 + ns;
    std::fill(t0, t0 + 3 * ns, 0.0);
    for (int j = 0; j < nb; ++j) {
        const double g0 = ws.grad[3 * j] * inv, g1 = ws.grad[3 * j + 1] * inv, g2 = ws.grad[3 * j + 2] * inv;
        const double* c = coef.data() + j * ns;
        for (std::int64_t s = 0; s < ns; ++s) t0[s] += g0 * c[s];
        for (std::int64_t s = 0; s < ns; ++s) t1[s] += g1 * c[s];
        for (std::int64_t s = 0; s < ns; ++s) t2[s] += g2 * c[s];
    }
    for (std::int64_t s = 0; s < ns; ++s) {
        out[3 * s] -= t0[s];
        out[3 * s + 1] -= t1[s];
        out[3 * s + 2] -= t2[s];
    }
}

nlohmann::json ShellCorrection::describe() const {
    const ShellExpansion& e = expansion;
    return {{"model", "single shell: the sphere's leadfield minus the gradient of a harmonic expansion fitted to "
                      "the surface"},
            {"order", e.order},
            {"basis_functions", e.numBasis()},
            {"fit", shellFitName(e.fit)},
            {"centre_scan_frame", {e.centre[0], e.centre[1], e.centre[2]}},
            {"scale_scan_frame", e.rho},
            {"condition_number", e.conditionNumber},
            {"condition_number_of", "the fit's matrix after diagonal scaling (power-iteration estimate)"},
            {"surface_vertices", e.surface.numVertices()},
            {"surface_triangles", e.surface.numTriangles()},
            {"quadrature", "triangle centroids, weighted by area"}};
}

ShellCorrection fitShellCorrection(
    const TriSurface& surface, const std::array<double, 3>& centre, int order, ShellFit fit,
    const std::vector<double>& points, const std::function<std::string(std::int64_t point)>& pointSensor,
    std::int64_t numSensors,
    const std::function<void(const double* pos, std::int64_t count, double* out)>& leadfield) {
    ShellCorrection c;
    c.expansion = ShellExpansion::build(surface, centre, order, fit);
    c.numSensors = numSensors;
    const ShellExpansion& e = c.expansion;
    // Points beyond the vertices' farthest distance from the centre are
    // outside; the others are checked by their winding number.
    for (std::size_t i = 0; i + 2 < points.size(); i += 3) {
        double d[3];
        sub(points.data() + i, centre.data(), d);
        if (norm(d) > e.rho) continue;
        if (windingNumber(e.surface, points.data() + i) > 0.25)
            throw InputError(pointSensor(static_cast<std::int64_t>(i / 3)) +
                             ": an integration point lies inside or on the inner-skull surface (" + surface.label +
                             "); the single-shell model needs every sensor outside it");
    }
    if (e.numBasis() == 0) return c;
    std::vector<double> lf(static_cast<std::size_t>(e.numQuad * numSensors * 3));
    leadfield(e.quadPos.data(), e.numQuad, lf.data());
    std::vector<double> normal(static_cast<std::size_t>(e.numQuad * numSensors));
    for (std::int64_t q = 0; q < e.numQuad; ++q) {
        const double* n = e.quadNormal.data() + 3 * q;
        for (std::int64_t s = 0; s < numSensors; ++s) normal[q * numSensors + s] = dot(n, lf.data() + (q * numSensors + s) * 3);
    }
    c.coef = e.coefficients(normal.data(), numSensors);
    return c;
}

}  // namespace megfwd::head
