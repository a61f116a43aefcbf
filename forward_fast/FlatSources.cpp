#include "forward_fast/FlatSources.h"

#include "forward_process/SensorGeometry.h"
#include "host_interfaces/Afx.h"

namespace geom = megfwd::geom;

namespace {

// q[c] = |coil c - p|^2 for n coils, summed in the channel set's order
// (dx^2 + dy^2 + dz^2). This loop is most of the stencil's time; the
// library's default optimisation does not vectorise it (it needs a
// remainder loop), so it is asked for here.
__attribute__((optimize("tree-loop-vectorize", "vect-cost-model=dynamic"))) void squaredDistances(
    const double* __restrict cx, const double* __restrict cy, const double* __restrict cz, std::size_t n,
    const double* p, double* __restrict q) {
    const double px = p[0], py = p[1], pz = p[2];
    for (std::size_t c = 0; c < n; ++c) {
        const double dx = cx[c] - px, dy = cy[c] - py, dz = cz[c] - pz;
        q[c] = dx * dx + dy * dy + dz * dz;
    }
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
    // Squared distances to every first coil, then the search for the
    // nearest one.
    std::vector<double> d2(isSpatConstrained ? nCoils : 0);
    for (std::int64_t i = 0; i < count; ++i) {
        const double* h = hostPos + 3 * i;
        double p[3] = {h[0], h[1], h[2]};
        std::int32_t in = 1;
        if (isSpatConstrained) {
            double* q = d2.data();
            squaredDistances(cx, cy, cz, nCoils, p, q);
            // The nearest first coil; of equally near ones the first. A coil
            // on the source ends the search, as in the channel set's own.
            std::size_t best = nCoils;
            double bestD2 = 1e100;
            bool touching = false;
            for (std::size_t c = 0; c < nCoils; ++c) {
                if (q[c] < 1e-100) {
                    touching = true;
                    break;
                }
                if (q[c] < bestD2) bestD2 = q[c], best = c;
            }
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
