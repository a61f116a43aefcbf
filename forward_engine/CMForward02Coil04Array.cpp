#include "forward_engine/CMForward02Coil04Array.h"

namespace phys = megfwd::phys;

namespace {

// Runs `row(P, N, out)` for every point whose pointers are all present.
template <class Row>
std::int64_t forEachPoint(std::int64_t n, const double* const* ptPos, const double* const* ptDir, const double* r0,
                          double* const* ptLf, Row row) {
    if (n < 1 || !ptPos || !ptDir || !r0 || !ptLf) return 1;
    for (std::int64_t i = 0; i < n; ++i) {
        if (!ptPos[i] || !ptDir[i] || !ptLf[i]) continue;
        double* out = ptLf[i];
        out[0] = out[1] = out[2] = 0.0;
        row(ptPos[i], ptDir[i], out);
    }
    return 1;
}

}  // namespace

std::int64_t CMForward02Coil04Array::point2LfMutiCoils(std::int64_t n, const double* const* ptPos,
                                                       const double* const* ptDir, const double* r0,
                                                       double* const* ptLf) const {
    if (isMagSrc == 0)
        return coilFwdModel == 4 ? point2LfMultiCoils02Cuffin(n, ptPos, ptDir, r0, ptLf)
                                 : point2LfMultiCoils03Sarvas(n, ptPos, ptDir, r0, ptLf);
    return coilFwdModel == 4 ? point2LfMultiCoils00MagSrc(n, ptPos, ptDir, r0, ptLf)
                             : point2LfMultiCoils01PrmCrnt(n, ptPos, ptDir, r0, ptLf);
}

std::int64_t CMForward02Coil04Array::point2LfMultiCoils03Sarvas(std::int64_t n, const double* const* ptPos,
                                                                const double* const* ptDir, const double* r0,
                                                                double* const* ptLf) const {
    // The source's cross products e_j x r0 enter as r0 x N and r0 x P
    // (sarvasAxesNormal), so nothing per axis is recomputed per point.
    return forEachPoint(n, ptPos, ptDir, r0, ptLf, [&](const double* P, const double* N, double* out) {
        phys::SarvasGeom g;
        if (phys::sarvasGeom(P, r0, g)) phys::sarvasAxesNormal(kMultiSarvasFactor, g, P, r0, N, out);
    });
}

std::int64_t CMForward02Coil04Array::point2LfMultiCoils02Cuffin(std::int64_t n, const double* const* ptPos,
                                                                const double* const* ptDir, const double* r0,
                                                                double* const* ptLf) const {
    // ptLf[i] = 1e-9 ((g N + s P) x r0) with g = -1/F and s = (V . N)/w, s = 0
    // when P is parallel to r0 (w below the threshold).
    return forEachPoint(n, ptPos, ptDir, r0, ptLf, [&](const double* P, const double* N, double* out) {
        phys::CuffinGeom c;
        if (phys::cuffinGeom(P, r0, c)) phys::cuffinRow(kMultiCuffinFactor, c, P, r0, N, out);
    });
}

std::int64_t CMForward02Coil04Array::point2LfMultiCoils01PrmCrnt(std::int64_t n, const double* const* ptPos,
                                                                 const double* const* ptDir, const double* r0,
                                                                 double* const* ptLf) const {
    // (e_j x D) . N = (D x N)_j.
    return forEachPoint(n, ptPos, ptDir, r0, ptLf, [&](const double* P, const double* N, double* out) {
        double D[3];
        phys::sub(P, r0, D);
        const double d = phys::norm(D);
        const double d3 = d * d * d;
        if (d3 == 0.0) return;
        phys::cross(D, N, out);
        for (int j = 0; j < 3; ++j) out[j] *= kMultiPrimaryFactor / d3;
    });
}

std::int64_t CMForward02Coil04Array::point2LfMultiCoils00MagSrc(std::int64_t n, const double* const* ptPos,
                                                                const double* const* ptDir, const double* r0,
                                                                double* const* ptLf) const {
    // The magnetic-dipole point formula for each axis, projected on N: the
    // three-component coil member computes exactly that.
    return forEachPoint(n, ptPos, ptDir, r0, ptLf, [&](const double* P, const double* N, double* out) {
        coil23MQ3LfXYZaxial_01Magnetic(P, N, r0, out);
    });
}
