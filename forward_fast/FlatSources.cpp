#include "forward_fast/FlatSources.h"

#include <cstddef>
#include <cstdint>

#include "forward_process/SensorGeometry.h"
#include "host_interfaces/Afx.h"

namespace geom = megfwd::geom;

namespace {

struct Nearest {
    std::size_t coil;  // n when no distance is below 1e100
    double d2;         // its squared distance
    bool touching;
};

using Lanes = double __attribute__((vector_size(64)));
using LaneInts = long long __attribute__((vector_size(64)));
constexpr std::size_t kLanes = 8;

// The nearest of n coils to p: squared distances |coil c - p|^2 summed in
// the channel set's order (dx^2 + dy^2 + dz^2), the first coil of the
// least one (strictly less than 1e100, as the channel set's own search
// starts), and whether any lies within 1e-100 of p (touching, which ends
// the channel set's search; the nearest coil then does not matter). Eight
// lanes each keep the first coil of their least distance, so that the
// loop runs as vectors; the lane that holds the least distance at the
// smallest coil is the first coil with the least distance, as a search one
// coil at a time finds it. Not a number never counts as less.
// Built for AVX-512, AVX2 and plain x86-64, chosen when the program loads
// (not under ThreadSanitizer, whose runtime is not set up when the loader
// chooses); no build fuses a product and a sum, so all give the distances
// the channel set computes.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx512f", "avx2", "default")))
#endif
__attribute__((optimize("fp-contract=off"))) Nearest
nearestCoil(const double* cx, const double* cy, const double* cz, std::size_t n, const double* p) {
    const double px = p[0], py = p[1], pz = p[2];
    Lanes least, x, y, z;
    LaneInts at, index, near{};
    for (std::size_t j = 0; j < kLanes; ++j)
        least[j] = 1e100, at[j] = static_cast<long long>(n), index[j] = static_cast<long long>(j);
    std::size_t c0 = 0;
    for (; c0 + kLanes <= n; c0 += kLanes) {
        __builtin_memcpy(&x, cx + c0, sizeof x);
        __builtin_memcpy(&y, cy + c0, sizeof y);
        __builtin_memcpy(&z, cz + c0, sizeof z);
        const Lanes dx = x - px, dy = y - py, dz = z - pz;
        const Lanes q = dx * dx + dy * dy + dz * dz;
        const LaneInts less = q < least;
        least = less ? q : least;
        at = less ? index : at;
        near |= q < 1e-100;
        index += static_cast<long long>(kLanes);
    }
    Nearest r{n, 1e100, false};
    for (std::size_t j = 0; j < kLanes; ++j) {
        r.touching |= near[j] != 0;
        const auto c = static_cast<std::size_t>(at[j]);
        if (least[j] < r.d2 || (least[j] == r.d2 && c < r.coil)) r.d2 = least[j], r.coil = c;
    }
    for (std::size_t c = c0; c < n; ++c) {
        const double dx = cx[c] - px, dy = cy[c] - py, dz = cz[c] - pz;
        const double q = dx * dx + dy * dy + dz * dz;
        r.touching |= q < 1e-100;
        if (q < r.d2) r.d2 = q, r.coil = c;
    }
    return r;
}

}  // namespace

int CFlatSources::read(const CMDataForwardkw& data) {
    isRead = 0;
    isSpatConstrained = data.isSpatConstrained ? 1 : 0;
    isCentralizedLf = data.isCentralizedLf ? 1 : 0;
    isMatlabAxes = data.coordSystem == 1 ? 1 : 0;
    isUnit2Meter = data.isUnit2Meter ? 1 : 0;
    minCoilSrcDist = data.minCoilSrcDist;
    minSrcSphDist = data.minSrcSphDist;
    spatUnit = data.spatUnit;
    const std::int64_t dims = data.pFwdPos ? data.pFwdPos->numCoord : 0;
    numUnitCoords = dims < 0 ? 0 : (dims > 3 ? 3 : dims);
    if (isSpatConstrained && data.pAnaVlm && data.isAnaScan) return 0;
    if (!data.pFwdChnl) return 0;

    for (int a = 0; a < 3; ++a) sphereCentre[a] = data.singleSphere.center[a];
    coilX.clear(), coilY.clear(), coilZ.clear(), coilDepth.clear();
    if (!isSpatConstrained) {
        isRead = 1;
        return 1;
    }
    // The stencil's own first step: the dewar centre, the mean of the first
    // coils, summed in channel order as the channel set sums it
    // (updateDewarCnt, which is not called so that the manager's dewar
    // sphere stays as its preparation left it).
    if (!geom::hasEntries(data.pFwdChnl)) return 0;
    const CForwardChnlkw& set = *data.pFwdChnl;
    for (std::int64_t i = 0; i < set.numChnl; ++i) {
        const CForwardC0SnsCoilskw& entry = set.pSnsCoils[i];
        if (!entry.isMEGMeasureSns() || !entry.pMEGSns) continue;
        const CBscMagSnskw* coil = entry.pMEGSns->getCoil(0);
        if (!coil) continue;
        double q[3];
        coil->getCoilPositionD(q[0], q[1], q[2]);
        coilX.push_back(q[0]), coilY.push_back(q[1]), coilZ.push_back(q[2]);
    }
    if (coilX.empty()) return 0;
    double centre[3] = {0.0, 0.0, 0.0};
    for (std::size_t c = 0; c < coilX.size(); ++c) centre[0] += coilX[c], centre[1] += coilY[c], centre[2] += coilZ[c];
    for (int a = 0; a < 3; ++a) dewarCentre[a] = centre[a] / static_cast<double>(coilX.size());
    for (std::size_t c = 0; c < coilX.size(); ++c) {
        const double q[3] = {coilX[c], coilY[c], coilZ[c]};
        coilDepth.push_back(geom::distance(q, dewarCentre));
    }
    isRead = 1;
    return 1;
}

void CFlatSources::prepare(const double* hostPos, std::int64_t count, double* pos, std::int32_t* inScan,
                           std::int32_t* modes) const {
    const std::size_t nCoils = coilX.size();
    const double* cx = coilX.data();
    const double* cy = coilY.data();
    const double* cz = coilZ.data();
    const geom::UnitChange unit{spatUnit, false};
    for (std::int64_t i = 0; i < count; ++i) {
        const double* h = hostPos + 3 * i;
        double p[3] = {h[0], h[1], h[2]};
        std::int32_t in = 1;
        if (isSpatConstrained) {
            // The nearest first coil; of equally near ones the first.
            const Nearest nearest = nearestCoil(cx, cy, cz, nCoils, p);
            const std::size_t best = nearest.coil;
            const bool touching = nearest.touching;
            if (touching) AfxMessageBox("Distance between coil and src almost zero", MB_OK, 0);
            if (touching || best == nCoils) {
                in = 0;
            } else if (geom::distance(p, dewarCentre) + minCoilSrcDist > coilDepth[best]) {
                // At least minCoilSrcDist deeper than the nearest coil, seen
                // from the dewar centre; equality keeps the source.
                in = 0;
            }
            if (geom::distance(p, sphereCentre) < minSrcSphDist) in = 0;
        }
        if (isCentralizedLf)
            for (int a = 0; a < 3; ++a) p[a] -= sphereCentre[a];
        if (isMatlabAxes) geom::changeAxes(p, geom::Axes::toMatlab);
        if (isUnit2Meter)
            for (std::int64_t a = 0; a < numUnitCoords; ++a) p[a] = unit.apply(p[a]);
        for (int a = 0; a < 3; ++a) pos[3 * i + a] = p[a];
        inScan[i] = in;
        modes[i] = isMatlabAxes;
    }
}

namespace megfwd::fast {

int prepareFlatGeometry(CMDataForwardkw& data, CFlatSources& flat) {
    const std::int32_t stencil = data.isSpatConstrained;
    data.isSpatConstrained = 0;
    const int inHost = data.prepareInHostFrame(data.isTangLfd ? 2 : 3);
    data.isSpatConstrained = stencil;
    return inHost && flat.read(data) && data.changeToScanFrame() ? 1 : 0;
}

}  // namespace megfwd::fast
