// The single-shell head model: one homogeneous conductor bounded by a
// closed surface (the inner skull), computed as the sphere's leadfield
// corrected by the gradient of a harmonic potential.
//
// Physics (Nolte 2003, Phys. Med. Biol. 48:3637). The leadfields of one
// sensor for two conductors differ by the gradient of a scalar, and the
// true leadfield L has no normal component on the conductor's surface S.
// So L = L_sphere - grad(Phi), with Phi harmonic inside S and
// dPhi/dn = n . L_sphere on S (a Neumann problem per sensor). Phi is
// expanded in the real regular solid harmonics B_j of degrees 1..N
// (SolidHarmonics.h) about a centre c with scale rho:
//   Phi_N(r) = sum_j a_j B_j((r - c) / rho).
// Two fits of the coefficients a:
//   galerkin: the energy fit, minimising the interior error
//             int_V |grad(Phi - Phi_N)|^2. By Green's first identity it is
//             A a = f with A_jk = int_S B_j dB_k/dn (symmetric positive
//             definite) and f_j = int_S B_j (n . L_sphere);
//   lsq:      least squares of the normal component,
//             min int_S (dPhi_N/dn - n . L_sphere)^2.
// The integrals are sums over quadrature points q with weights w_q:
// triangle centroids, weighted by the triangle's area, with its normal.
// The energy fit keeps the creases of a real skull base from leaking into
// the low orders, where the normal-component fit lets them through.
//
// Everything that depends on the surface alone is done once per model, in
// the surface's own frame: the basis at the quadrature points and the
// factorised matrix, kept as the operator that turns normal values at the
// quadrature points into coefficients (ShellExpansion, cached by the
// SingleShell). A scan's frame differs from the surface's by a shift, an
// orthogonal change of axes and a unit (ShellFrame); gradients of a
// harmonic function stay gradients of a harmonic function under such a
// map, so the expansion is used as it is and only points and vectors are
// mapped. Per sensor set only n . L_sphere at the quadrature points (the
// library's own sensor-level leadfields of those points, so that coils,
// gradiometers and reference weights combine as they do for sources) and
// one product remain. The correction of a block of sources is one matrix
// product: their basis gradients (3 per source x J) times the J x sensors
// coefficients.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "head_model/SolidHarmonics.h"
#include "head_model/Surface.h"

namespace megfwd::head {

// Checks that `s` is a surface (checkSurface) and a closed, manifold,
// consistently wound one of one piece with the topology of a sphere,
// without degenerate triangles, and turns its triangles outward when they are wound inward
// (*turned, when given, says whether it did). Throws InputError naming the
// surface and what is wrong (the edge, triangle or vertex).
Surface checkClosedSurface(Surface s, bool* turned = nullptr);

// The volume enclosed by a surface (positive when it is wound outward).
double enclosedVolume(const Surface& s);

// The winding number of the surface about p: 1 inside, 0 outside, 1/2 on
// the surface (from the triangles' solid angles, van Oosterom & Strackee
// 1983, IEEE Trans. Biomed. Eng. 30:125).
double windingNumber(const Surface& s, const double p[3]);

enum class ShellFit { Galerkin, Lsq };
std::string shellFitName(ShellFit fit);  // "galerkin", "lsq"
// "galerkin" or "lsq" (case does not matter); InputError naming `option`
// and the choices otherwise.
ShellFit parseShellFit(const std::string& text, const std::string& option = "--shell-fit");

// The order when none is given: kDefaultShellOrder, or the highest order
// the surface's triangles carry with a margin (twice minTrianglesForOrder:
// at the bare minimum the energy fit's matrix was singular on a 1280-triangle
// surface at order 24) when that is lower.
// On MNE's average inner skull (ico-4, 5120 triangles) with real-style
// SQUID helmets and an OPM cap the error against a one-layer BEM falls from
// about 5 % at order 10 to 1.6-1.9 % (SQUIDs) and 2.4 % (OPMs) at 25
// (benchmarks/bench_real_systems.py).
constexpr int kDefaultShellOrder = 25;
constexpr int kAutoShellOrder = -1;   // ShellOptions::order: choose by the rule above

struct ShellOptions {
    int order = kAutoShellOrder;                    // 0 .. kMaxHarmonicOrder, or kAutoShellOrder
    std::optional<std::array<double, 3>> centre;    // surface's frame; default: its least-squares sphere
    ShellFit fit = ShellFit::Galerkin;
    bool operator==(const ShellOptions&) const = default;
};

// The fewest triangles a surface needs for an expansion of `order`: its
// centroids must sample the highest degree's surface harmonics (2l + 1 of
// them per degree, (N + 1)^2 in all) twice over, or the matrix loses rank
// and the fit follows the mesh instead of the potential.
std::int64_t minTrianglesForOrder(int order);
// The default order for a surface of `numTriangles` (the rule above).
int defaultShellOrder(std::int64_t numTriangles);

struct ShellExpansion;

// The model as a user gives it: a checked surface (host frame,
// millimetres) and the options.
struct SingleShell {
    Surface surface;      // checked, wound outward
    ShellOptions options;
    bool wasTurned = false;  // the input was wound inward

    // Checks the surface and the options (order range, the order against the
    // surface's triangles, a finite centre inside the surface) and throws
    // InputError naming what is wrong. An order of kAutoShellOrder becomes
    // defaultShellOrder of the surface.
    static SingleShell make(Surface surface, const ShellOptions& options);
    // The expansion centre in the surface's frame: the given one, or the
    // centre of the surface's least-squares sphere.
    std::array<double, 3> centre() const;
    // The sphere whose leadfields are corrected when the caller gives none:
    // the surface's least-squares sphere.
    Sphere fittedSphere() const;
    // The expansion of the surface with the options, built on the first
    // call and kept: every later call (any thread, any sensor set, every
    // copy of this model) gets the same one. Throws InputError when the
    // surface cannot carry the order.
    std::shared_ptr<const ShellExpansion> expansion() const;

private:
    // Shared by the copies of a model. A copy whose surface or options were
    // changed after make() finds its own entry (a few are kept).
    struct Cache {
        struct Entry {
            ShellOptions options;
            std::vector<double> vertices;
            std::vector<std::int32_t> triangles;
            std::shared_ptr<const ShellExpansion> expansion;
        };
        std::mutex mutex;
        std::vector<Entry> entries;
    };
    std::shared_ptr<Cache> cache = std::make_shared<Cache>();
};

// The fitted expansion of a surface in its own frame: quadrature, basis
// and the operator from normal values to coefficients. It depends on the
// surface and the options alone.
struct ShellExpansion {
    int order = 0;
    ShellFit fit = ShellFit::Galerkin;
    std::array<double, 3> centre{};
    double rho = 1.0;                       // scale: the largest vertex distance from the centre
    double conditionNumber = 1.0;           // of the factorised matrix (after diagonal scaling)
    std::int64_t numQuad = 0;
    std::int64_t numVertices = 0;
    std::vector<double> quadPos, quadNormal, quadWeight;   // 3, 3 and 1 per point
    // The right-hand side's weights, numBasis x numQuad: s_j w_q T_qj, with
    // T the test functions (B_j for the energy fit, dB_j/dn for the
    // normal-component fit) and s_j the diagonal scaling.
    std::vector<double> rhsWeights;
    std::vector<double> factor;             // Cholesky factor of the scaled matrix, numBasis^2
    std::vector<double> scale;              // s_j

    int numBasis() const { return harmonicCount(order); }

    // Builds the expansion of `surface` (checked, wound outward) about
    // `centre`. Throws InputError when the matrix cannot be factorised (an
    // order the surface cannot carry).
    static ShellExpansion build(const Surface& surface, const std::array<double, 3>& centre, int order,
                                ShellFit fit);

    // Coefficients (numBasis x numSensors, row-major) from the normal
    // components n . L_sphere at the quadrature points (numQuad x
    // numSensors, row-major).
    std::vector<double> coefficients(const double* normalValues, std::int64_t numSensors) const;
};

// A similarity map from the surface's frame to a scan's:
//   x_scan = scale * axes x_surface + shift,
// with `axes` orthogonal (a rotation, or a mirror).
struct ShellFrame {
    double scale = 1.0;
    std::array<double, 9> axes{1, 0, 0, 0, 1, 0, 0, 0, 1};  // row-major
    std::array<double, 3> shift{};

    // The map given as a function of points: read off the images of the
    // origin and the unit vectors. Throws InputError when it is no
    // similarity.
    static ShellFrame fromMap(const std::function<std::array<double, 3>(const std::array<double, 3>&)>& toScan);
    std::array<double, 3> toScan(const double* p) const;
    std::array<double, 3> toSurface(const double* p) const;
    std::array<double, 3> rotate(const double* v) const;   // axes v
};

// The correction of one sensor set: the expansion, the frame and the
// coefficients. apply() only reads it, so many threads may use one
// correction, each with its own Workspace.
struct ShellCorrection {
    std::shared_ptr<const ShellExpansion> expansion;
    ShellFrame frame;
    std::int64_t numSensors = 0;
    std::vector<double> coef;   // numBasis x numSensors

    // Sources corrected by one product.
    static constexpr int kBlock = 32;

    struct Workspace {
        Workspace(int order, std::int64_t numSensors)
            : basis(order), grad(3 * static_cast<std::size_t>(harmonicCount(order))),
              gradients(3 * static_cast<std::size_t>(kBlock) * static_cast<std::size_t>(harmonicCount(order))),
              product(3 * static_cast<std::size_t>(kBlock) * static_cast<std::size_t>(numSensors)) {}
        SolidHarmonics basis;
        std::vector<double> grad;       // one source's basis gradients
        std::vector<double> gradients;  // the block's, scan axes: 3 rows per source, numBasis columns
        std::vector<double> product;    // gradients x coef
    };
    // For each of `count` sources (positions src, 3 each, scan frame):
    // out[i] (numSensors x 3, sensor-major) -= grad Phi_N at the source,
    // every sensor. Any count; blocks of kBlock are one product each.
    void apply(std::int64_t count, const double* src, double* const* out, Workspace& ws) const;
    void apply(const double src[3], double* out, Workspace& ws) const { apply(1, src, &out, ws); }
    // The correction's derivative in the source position, for leadfield
    // gradients: out (numSensors x 3 x 3: sensor, component j, d/dsrc_m)
    // -= d^2 Phi_N / dr_j dr_m at src, every sensor. `hess` holds 6 values
    // per basis function.
    void applyHessian(const double src[3], double* out, SolidHarmonics& basis, std::vector<double>& hess) const;

    // The facts of the metadata: order, centre and scale (in the scan's
    // frame), fit, condition number, surface size.
    nlohmann::json describe() const;
};

// Fits the correction for one sensor set.
//   model:     the surface and options (its cached expansion is used);
//   frame:     the map from the surface's frame to the scan's;
//   points:    every integration point of every sensor (3 each, scan frame),
//              with pointSensor naming each point's sensor for the refusal;
//   leadfield: the sphere leadfields of the sensor set at given positions
//              (count x numSensors x 3, scan frame, reference correction
//              applied), so that the fit combines coils as the scan does.
// Throws InputError when an integration point lies inside or on the
// surface, naming the sensor.
ShellCorrection fitShellCorrection(
    const SingleShell& model, const ShellFrame& frame, const std::vector<double>& points,
    const std::function<std::string(std::int64_t point)>& pointSensor, std::int64_t numSensors,
    const std::function<void(const double* pos, std::int64_t count, double* out)>& leadfield);

}  // namespace megfwd::head
