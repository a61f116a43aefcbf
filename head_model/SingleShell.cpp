#include "head_model/SingleShell.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <numeric>
#include <sstream>
#include <utility>

#include "base/Errors.h"
#include "head_model/DenseAlgebra.h"
#include "head_model/SphereFit.h"

namespace megfwd::head {
namespace {

const double* vtx(const Surface& s, std::int64_t i) { return s.vertex(i); }

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

}  // namespace

double enclosedVolume(const Surface& s) {
    double v = 0.0;
    for (std::int64_t t = 0; t < s.numTriangles(); ++t) {
        const std::int32_t* tri = s.triangles.data() + 3 * t;
        double c[3];
        cross(vtx(s, tri[1]), vtx(s, tri[2]), c);
        v += dot(vtx(s, tri[0]), c);
    }
    return v / 6.0;
}

double windingNumber(const Surface& s, const double p[3]) {
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

Surface checkClosedSurface(Surface s, bool* turned) {
    const std::string& name = s.label;
    checkSurface(s);
    const std::int64_t nv = s.numVertices(), nt = s.numTriangles();
    if (nv < 4 || nt < 4)
        throw InputError(name + ": a closed surface needs at least 4 vertices and 4 triangles, got " +
                         std::to_string(nv) + " and " + std::to_string(nt));
    std::vector<char> used(static_cast<std::size_t>(nv), 0);
    // Each directed edge (a, b) of a triangle wound a -> b; a closed,
    // consistently wound manifold has every edge once in each direction.
    std::map<std::pair<std::int32_t, std::int32_t>, std::int64_t> directed;
    for (std::int64_t t = 0; t < nt; ++t) {
        const std::int32_t* tri = s.triangles.data() + 3 * t;
        for (int k = 0; k < 3; ++k) used[static_cast<std::size_t>(tri[k])] = 1;
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

int defaultShellOrder(std::int64_t numTriangles) {
    int order = kDefaultShellOrder;
    while (order > 0 && 2 * minTrianglesForOrder(order) > numTriangles) --order;
    return order;
}

SingleShell SingleShell::make(Surface surface, const ShellOptions& options) {
    SingleShell m;
    m.surface = checkClosedSurface(std::move(surface), &m.wasTurned);
    m.options = options;
    if (options.order == kAutoShellOrder) m.options.order = defaultShellOrder(m.surface.numTriangles());
    const std::string& name = m.surface.label;
    const int order = m.options.order;
    if (order < 0 || order > kMaxHarmonicOrder)
        throw InputError("single-shell order " + std::to_string(order) + ": expected 0 to " +
                         std::to_string(kMaxHarmonicOrder));
    if (m.surface.numTriangles() < minTrianglesForOrder(order))
        throw InputError("single-shell order " + std::to_string(order) + " is too high for " + name + ": it needs " +
                         std::to_string(minTrianglesForOrder(order)) + " triangles or more, the surface has " +
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

Sphere SingleShell::fittedSphere() const { return fitSphere(surface.points()); }

std::array<double, 3> SingleShell::centre() const {
    if (options.centre) return *options.centre;
    return fittedSphere().centre;
}

std::shared_ptr<const ShellExpansion> SingleShell::expansion() const {
    constexpr std::size_t kEntries = 4;
    std::lock_guard<std::mutex> lock(cache->mutex);
    for (const Cache::Entry& e : cache->entries)
        if (e.options == options && e.vertices == surface.vertices && e.triangles == surface.triangles)
            return e.expansion;
    auto built = std::make_shared<const ShellExpansion>(
        ShellExpansion::build(surface, centre(), options.order, options.fit));
    if (cache->entries.size() == kEntries) cache->entries.erase(cache->entries.begin());
    cache->entries.push_back({options, surface.vertices, surface.triangles, built});
    return built;
}

ShellExpansion ShellExpansion::build(const Surface& surface, const std::array<double, 3>& centre, int order,
                                     ShellFit fit) {
    ShellExpansion e;
    e.order = order;
    e.fit = fit;
    e.centre = centre;
    e.numVertices = surface.numVertices();
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
    OneBlasThread oneThread;

    // Per quadrature point: the test function (B_j for the energy fit, the
    // normal derivative for the normal-component fit) and the normal
    // derivative, both in the frame's units (the gradient in scaled
    // coordinates divided by rho). The test functions are kept weighted:
    // row q of `test` is w_q T_q.
    const auto nqs = static_cast<std::size_t>(nq);
    std::vector<double> test(nqs * nb), normalDeriv(nqs * nb);
    SolidHarmonics basis(order);
    std::vector<double> grad(3 * static_cast<std::size_t>(nb));
    for (std::int64_t q = 0; q < nq; ++q) {
        double x[3];
        for (int k = 0; k < 3; ++k) x[k] = (e.quadPos[3 * q + k] - centre[k]) / e.rho;
        basis.gradients(x, grad.data());
        const double* n = e.quadNormal.data() + 3 * q;
        double* d = normalDeriv.data() + q * nb;
        for (int j = 0; j < nb; ++j) d[j] = dot(n, grad.data() + 3 * j) / e.rho;
        double* t = test.data() + q * nb;
        if (fit == ShellFit::Galerkin)
            basis.values(x, t);
        else
            std::copy(d, d + nb, t);
        for (int j = 0; j < nb; ++j) t[j] *= e.quadWeight[q];
    }
    // M = T^T W D, symmetrised (for the energy fit it is symmetric only to
    // the quadrature's error).
    std::vector<double> m(static_cast<std::size_t>(nb) * nb, 0.0);
    matrixProduct(true, nb, nb, nq, 1.0, test.data(), nb, normalDeriv.data(), nb, 0.0, m.data(), nb);
    for (int j = 0; j < nb; ++j)
        for (int k = j + 1; k < nb; ++k) {
            const double v = 0.5 * (m[j * nb + k] + m[k * nb + j]);
            m[j * nb + k] = m[k * nb + j] = v;
        }
    // Diagonal scaling, so that the factorisation and the condition number
    // see the basis' shape, not the sizes of its functions (which fall as
    // |x|^l on the surface's nearer parts).
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
    if (!choleskyFactor(l.data(), nb))
        throw InputError("single-shell order " + std::to_string(order) + " is too high for " + surface.label +
                         ": the " + shellFitName(fit) + " matrix is singular on its quadrature");
    e.conditionNumber = head::conditionNumber(m.data(), l.data(), nb);
    e.factor = std::move(l);
    e.scale = std::move(scale);
    e.rhsWeights.resize(nqs * nb);
    for (int j = 0; j < nb; ++j)
        for (std::int64_t q = 0; q < nq; ++q) e.rhsWeights[j * nqs + q] = e.scale[j] * test[q * nb + j];
    return e;
}

std::vector<double> ShellExpansion::coefficients(const double* normalValues, std::int64_t numSensors) const {
    // F = (s T^T W) (normal values), the triangular solves on all sensors
    // at once, and back from the scaled unknowns.
    const int nb = numBasis();
    const std::int64_t ns = numSensors;
    std::vector<double> c(static_cast<std::size_t>(nb) * ns, 0.0);
    if (nb == 0 || ns == 0) return c;
    OneBlasThread oneThread;
    matrixProduct(false, nb, ns, numQuad, 1.0, rhsWeights.data(), numQuad, normalValues, ns, 0.0, c.data(), ns);
    choleskySolve(factor.data(), nb, c.data(), ns);
    for (int j = 0; j < nb; ++j)
        for (std::int64_t s = 0; s < ns; ++s) c[j * ns + s] *= scale[j];
    return c;
}

ShellFrame ShellFrame::fromMap(const std::function<std::array<double, 3>(const std::array<double, 3>&)>& toScan) {
    ShellFrame f;
    f.shift = toScan({0.0, 0.0, 0.0});
    std::array<double, 3> col[3];
    for (int k = 0; k < 3; ++k) {
        std::array<double, 3> unit{0.0, 0.0, 0.0};
        unit[k] = 1.0;
        col[k] = toScan(unit);
        for (int i = 0; i < 3; ++i) col[k][i] -= f.shift[i];
    }
    f.scale = norm(col[0].data());
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 3; ++i) f.axes[3 * i + k] = col[k][i] / f.scale;
    // Orthonormal columns, or the map is no similarity.
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) {
            const double d = f.axes[a] * f.axes[b] + f.axes[3 + a] * f.axes[3 + b] + f.axes[6 + a] * f.axes[6 + b];
            if (!(std::abs(d - (a == b ? 1.0 : 0.0)) < 1e-9))
                throw InputError("the scan's frame is not a shift, turn and scaling of the surface's frame");
        }
    return f;
}

std::array<double, 3> ShellFrame::rotate(const double* v) const {
    return {axes[0] * v[0] + axes[1] * v[1] + axes[2] * v[2], axes[3] * v[0] + axes[4] * v[1] + axes[5] * v[2],
            axes[6] * v[0] + axes[7] * v[1] + axes[8] * v[2]};
}

std::array<double, 3> ShellFrame::toScan(const double* p) const {
    const auto r = rotate(p);
    return {scale * r[0] + shift[0], scale * r[1] + shift[1], scale * r[2] + shift[2]};
}

std::array<double, 3> ShellFrame::toSurface(const double* p) const {
    const double d[3] = {(p[0] - shift[0]) / scale, (p[1] - shift[1]) / scale, (p[2] - shift[2]) / scale};
    // The inverse of orthogonal axes is their transpose.
    return {axes[0] * d[0] + axes[3] * d[1] + axes[6] * d[2], axes[1] * d[0] + axes[4] * d[1] + axes[7] * d[2],
            axes[2] * d[0] + axes[5] * d[1] + axes[8] * d[2]};
}

void ShellCorrection::apply(std::int64_t count, const double* src, double* const* out, Workspace& ws) const {
    const ShellExpansion& e = *expansion;
    const int nb = e.numBasis();
    if (nb == 0 || count <= 0) return;
    const std::int64_t ns = numSensors;
    const double inv = 1.0 / e.rho;
    for (std::int64_t b0 = 0; b0 < count; b0 += kBlock) {
        const int nsrc = static_cast<int>(std::min<std::int64_t>(kBlock, count - b0));
        // Each source's gradients in scaled coordinates, divided by rho and
        // turned to the scan's axes: three rows of the block.
        for (int i = 0; i < nsrc; ++i) {
            const auto p = frame.toSurface(src + 3 * (b0 + i));
            const double x[3] = {(p[0] - e.centre[0]) * inv, (p[1] - e.centre[1]) * inv, (p[2] - e.centre[2]) * inv};
            ws.basis.gradients(x, ws.grad.data());
            double* rows = ws.gradients.data() + static_cast<std::size_t>(3 * i) * nb;
            for (int j = 0; j < nb; ++j) {
                const auto g = frame.rotate(ws.grad.data() + 3 * j);
                rows[j] = g[0] * inv, rows[nb + j] = g[1] * inv, rows[2 * nb + j] = g[2] * inv;
            }
        }
        matrixProduct(false, 3 * nsrc, ns, nb, 1.0, ws.gradients.data(), nb, coef.data(), ns, 0.0, ws.product.data(),
                      ns);
        for (int i = 0; i < nsrc; ++i) {
            const double* t0 = ws.product.data() + static_cast<std::size_t>(3 * i) * ns;
            const double* t1 = t0 + ns;
            const double* t2 = t1 + ns;
            double* o = out[b0 + i];
            for (std::int64_t s = 0; s < ns; ++s) {
                o[3 * s] -= t0[s];
                o[3 * s + 1] -= t1[s];
                o[3 * s + 2] -= t2[s];
            }
        }
    }
}

void ShellCorrection::applyHessian(const double src[3], double* out, SolidHarmonics& basis,
                                   std::vector<double>& hess) const {
    const ShellExpansion& e = *expansion;
    const int nb = e.numBasis();
    if (nb == 0) return;
    const double inv = 1.0 / e.rho;
    const auto p = frame.toSurface(src);
    const double x[3] = {(p[0] - e.centre[0]) * inv, (p[1] - e.centre[1]) * inv, (p[2] - e.centre[2]) * inv};
    hess.resize(6 * static_cast<std::size_t>(nb));
    basis.hessians(x, hess.data());
    // The surface frame's axes in the scan's (R's columns): apply() turns a
    // gradient g into R g / rho, and the scaled point moves by R^T / (rho
    // scale) per unit of the scan's frame, so a matrix of second
    // derivatives H turns into R H R^T / (rho^2 scale).
    double R[3][3];
    for (int a = 0; a < 3; ++a) {
        const double unit[3] = {a == 0 ? 1.0 : 0.0, a == 1 ? 1.0 : 0.0, a == 2 ? 1.0 : 0.0};
        const auto c = frame.rotate(unit);
        for (int k = 0; k < 3; ++k) R[k][a] = c[k];
    }
    // xx, xy, xz, yy, yz, zz into the symmetric 3 x 3 of each function.
    static constexpr int kSlot[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
    const double inv2 = inv * inv / frame.scale;
    const std::int64_t ns = numSensors;
    for (int j = 0; j < nb; ++j) {
        const double* h = hess.data() + 6 * j;
        double RH[3][3], Hs[9];
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) RH[a][b] = R[a][0] * h[kSlot[0][b]] + R[a][1] * h[kSlot[1][b]] + R[a][2] * h[kSlot[2][b]];
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) Hs[3 * a + b] = inv2 * (RH[a][0] * R[b][0] + RH[a][1] * R[b][1] + RH[a][2] * R[b][2]);
        const double* c = coef.data() + j * ns;
        for (std::int64_t s = 0; s < ns; ++s) {
            double* o = out + 9 * s;
            for (int k = 0; k < 9; ++k) o[k] -= c[s] * Hs[k];
        }
    }
}

nlohmann::json ShellCorrection::describe() const {
    const ShellExpansion& e = *expansion;
    const auto c = frame.toScan(e.centre.data());
    return {{"model", "single shell: the sphere's leadfield minus the gradient of a harmonic expansion fitted to "
                      "the surface"},
            {"order", e.order},
            {"basis_functions", e.numBasis()},
            {"fit", shellFitName(e.fit)},
            {"centre_scan_frame", {c[0], c[1], c[2]}},
            {"scale_scan_frame", e.rho * frame.scale},
            {"condition_number", e.conditionNumber},
            {"condition_number_of", "the fit's matrix after diagonal scaling (1-norm, LAPACK's estimate)"},
            {"surface_vertices", e.numVertices},
            {"surface_triangles", e.numQuad},
            {"quadrature", "triangle centroids, weighted by area"}};
}

ShellCorrection fitShellCorrection(
    const SingleShell& model, const ShellFrame& frame, const std::vector<double>& points,
    const std::function<std::string(std::int64_t point)>& pointSensor, std::int64_t numSensors,
    const std::function<void(const double* pos, std::int64_t count, double* out)>& leadfield) {
    ShellCorrection c;
    c.frame = frame;
    c.numSensors = numSensors;
    // Points beyond the vertices' farthest distance from the centre are
    // outside; the others are checked by their winding number. Checked
    // before the expansion is built, so a misplaced helmet is named first.
    const std::array<double, 3> centre = model.centre();
    double rho = 0.0;
    for (std::int64_t i = 0; i < model.surface.numVertices(); ++i) {
        double d[3];
        sub(vtx(model.surface, i), centre.data(), d);
        rho = std::max(rho, norm(d));
    }
    for (std::size_t i = 0; i + 2 < points.size(); i += 3) {
        const auto p = frame.toSurface(points.data() + i);
        double d[3];
        sub(p.data(), centre.data(), d);
        if (norm(d) > rho) continue;
        if (windingNumber(model.surface, p.data()) > 0.25)
            throw InputError(pointSensor(static_cast<std::int64_t>(i / 3)) +
                             ": an integration point lies inside or on the inner-skull surface (" +
                             model.surface.label + "); the single-shell model needs every sensor outside it");
    }
    c.expansion = model.expansion();
    const ShellExpansion& e = *c.expansion;
    if (e.numBasis() == 0) return c;
    // The quadrature in the scan's frame: points mapped, normals turned.
    std::vector<double> pos(3 * static_cast<std::size_t>(e.numQuad)), normals(pos.size());
    for (std::int64_t q = 0; q < e.numQuad; ++q) {
        const auto p = frame.toScan(e.quadPos.data() + 3 * q);
        const auto n = frame.rotate(e.quadNormal.data() + 3 * q);
        std::copy(p.begin(), p.end(), pos.begin() + 3 * q);
        std::copy(n.begin(), n.end(), normals.begin() + 3 * q);
    }
    std::vector<double> lf(static_cast<std::size_t>(e.numQuad * numSensors * 3));
    leadfield(pos.data(), e.numQuad, lf.data());
    std::vector<double> normal(static_cast<std::size_t>(e.numQuad * numSensors));
    for (std::int64_t q = 0; q < e.numQuad; ++q) {
        const double* n = normals.data() + 3 * q;
        for (std::int64_t s = 0; s < numSensors; ++s)
            normal[q * numSensors + s] = dot(n, lf.data() + (q * numSensors + s) * 3);
    }
    c.coef = e.coefficients(normal.data(), numSensors);
    return c;
}

}  // namespace megfwd::head
