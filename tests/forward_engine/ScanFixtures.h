// A small hand-made MEG system for the scan tests: sensors around a sphere off
// the origin, two references, a non-MEG channel, weights (one naming no channel).
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "forward_data/CMDataForwardkw.h"
#include "forward_engine/CMForwardkw.h"
#include "support/MessageRecorder.h"

namespace scanfx {

constexpr double kCentre[3] = {0.0, 10.0, 0.0};
inline const char* const kOrderText = "The order for sensor coil integration in forward computer is out of range!";
constexpr int kMea[4] = {0, 1, 4, 6};  // measurement entries in channel order

// A magnetometer (one coil `dist` from the centre along dir) or a gradiometer
// (a second coil 50 mm further out with factor and weight -1).
inline CMEGSensorkw sensor(const double* dir, bool gradiometer, double dist = 110.0) {
    CMEGSensorkw s;
    for (int i = 0; i < (gradiometer ? 2 : 1); ++i) {
        const double d = dist + 50.0 * i, p[3] = {kCentre[0] + d * dir[0], kCentre[1] + d * dir[1], kCentre[2] + d * dir[2]};
        CBscMagSnskw k;
        k.setCoil(p, dir, 9.0, i ? -1 : 1, i ? -1.0 : 1.0);
        s.addCoil(k);
    }
    return s;
}

// 0 gradiometer (weights on 3, 5 and the non-existent 99), 1 magnetometer,
// 2 non-MEG, 3 reference gradiometer, 4 gradiometer (weight on 5),
// 5 reference magnetometer, 6 magnetometer.
inline CMDTrialkw trial() {
    const double up[3] = {0, 1, 0}, d1[3] = {0.6, 0.8, 0}, d4[3] = {0, 0.8, 0.6}, d6[3] = {-0.6, 0.8, 0};
    const double side[3] = {1, 0, 0};
    CMEGSensorkw r5 = sensor(side, false, 0.0);
    r5.getCoil(0)->coilPos[1] += 260.0;
    const struct { int kind; CMEGSensorkw s; std::vector<REFCOEF> refs; } chans[] = {
        {101, sensor(up, true), {{0.3, 3, "R3"}, {-0.2, 5, "R5"}, {5.0, 99, "none"}}},
        {100, sensor(d1, false), {}}, {200, CMEGSensorkw(), {}}, {11, sensor(up, true, 250.0), {}},
        {101, sensor(d4, true), {{0.5, 5, "R5"}}}, {10, r5, {}}, {100, sensor(d6, false), {}}};
    CMDTrialkw t;
    for (const auto& c : chans) {
        CMDChannelkw ch;
        ch.snsKind = c.kind;
        if (c.kind != 200) ch.setSensor(c.s);
        if (!c.refs.empty()) ch.setRefCoefs(c.refs);
        t.addChannel(ch);
    }
    return t;
}

inline const std::vector<std::array<double, 3>>& sources() {
    static const std::vector<std::array<double, 3>> s = {{0, 50, 0}, {20, 40, 10}, {-15, 60, -20}, {5, 30, 30}};
    return s;
}

// A manager as preparation leaves it: channels with references, records of
// nLf values with positions and sensor identities, every sphere at kCentre.
inline void build(CMDataForwardkw& fwd, CMDTrialkw& t, int nLf, bool tang) {
    ASSERT_EQ(fwd.initFwdChn(nullptr, &t, 0, 0, 1), 1);
    CVirtSnsPOXlistkw list;
    for (auto& p : sources()) list.addPosition(p[0] + kCentre[0], p[1] + kCentre[1], p[2] + kCentre[2]);
    ASSERT_EQ(fwd.initFwdPosVsp(&list), 1);
    fwd.isTangLfd = tang ? 1 : 0;
    ASSERT_EQ(fwd.initVoxSnsLfx(-1, -1, nLf), 1);
    fwd.singleSphere.setSphere(kCentre[0], kCentre[1], kCentre[2], 90.0);
    for (std::int64_t i = 0; i < fwd.pFwdChnl->numChnl; ++i)
        if (CMEGSensorkw* s = fwd.pFwdChnl->pSnsCoils[i].pMEGSns)
            for (int m = 0; m < 4; ++m) s->localSphere[m] = m < 3 ? kCentre[m] : 90.0;
    for (std::int64_t i = 0; i < fwd.numSrc; ++i) {
        CFISrcSnsLf& rec = fwd.pVoxSnsLfx[i];
        for (int m = 0; m < 3; ++m) rec.srcField.pos[m] = fwd.pFwdPos->ppPos[i][m];
        rec.srcField.posDim = 3;
        for (int k = 0; k < 4; ++k) rec.pSnsLf[k].chnlID = kMea[k], rec.pSnsLf[k].snsID = k;
    }
}

// One sensor's leadfield summed by hand from the public coil-level dispatchers:
// CTF with integration points and nTurns, standard with the coil weights; two
// components projected (CTF) or from the two-component dispatcher (standard).
inline std::array<double, 3> handLf(CMForwardkw& e, const CMEGSensorkw& snsIn, const double* src, const R3Q3x3* basis) {
    CMEGSensorkw s(snsIn);
    const double* o = s.localSphere;
    const double sr[3] = {src[0] - o[0], src[1] - o[1], src[2] - o[2]};
    const bool ctf = e.snsFwdModel == 1;
    std::array<double, 3> L{0, 0, 0};
    double wsum = 0.0;
    if (ctf) e.setSnsWt12Pts(&s, e.orderCoilIntg);
    for (int i = 0; i < s.getTotalCoils(); ++i) {
        CBscMagSnskw* c = s.getCoil(i);
        if (ctf) e.setCoilB12Pts(c, e.orderCoilIntg);
        for (int k = 0; k < (ctf ? s.numW12Pts : 1); ++k) {
            double p[3], v[3] = {0, 0, 0};
            for (int m = 0; m < 3; ++m) p[m] = (ctf ? c->b12Pts[k].pos[m] : c->coilPos[m]) - o[m];
            if (basis && !ctf) e.coil24xLf2D_all(p, c->coilNormal, basis, v);
            else e.coil26xLf3D_all(p, c->coilNormal, sr, v);
            const double w = ctf ? c->nTurns * s.w12Wt[k] : c->getMagApha();
            for (int m = 0; m < 3; ++m) L[m] += w * v[m];
            wsum += w;
        }
    }
    const double div = ctf ? std::abs(double(s.getCoil(0)->nTurns)) : wsum;
    for (auto& v : L) v = div != 0.0 ? v / div : v;
    if (basis && ctf) {
        const auto L3 = L;
        for (int j = 0; j < 3; ++j) L[j] = j < 2 ? L3[0] * basis->q[j][0] + L3[1] * basis->q[j][1] + L3[2] * basis->q[j][2] : 0;
    }
    return L;
}

// Largest absolute leadfield value of a manager, the scale for tolerances.
inline double maxAbsLf(const CMDataForwardkw& fwd) {
    double m = 0.0;
    for (std::int64_t i = 0; i < fwd.numSrc; ++i)
        for (std::int64_t s = 0; s < fwd.pVoxSnsLfx[i].numSns; ++s)
            for (std::int64_t k = 0; k < fwd.pVoxSnsLfx[i].pSnsLf[s].numLf; ++k)
                m = std::max(m, std::abs(fwd.pVoxSnsLfx[i].pSnsLf[s].pLf[k]));
    return m;
}

}  // namespace scanfx
