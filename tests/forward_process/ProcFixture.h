// The processing tests' manager. Channels: 0 measurement M0 (coil at (0, 100, 0)), 1 reference
// (coil at (0, 200, 0)), 2 measurement M1 (gradiometer at (60, 40, 0), second coil 50 out), 3 non-MEG
// without sensor, 4 M2 (gradiometer at (-60, 40, 0)). Dewar centre (0, 60, 0), 40 from M0's coil.
#pragma once

#include <array>
#include <cmath>
#include <initializer_list>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "forward_process/CMDataForwardkw.h"
#include "support/MessageRecorder.h"

namespace proctest {

using P3 = std::array<double, 3>;
using megfwd::test::MessageRecorder;

// One coil at pos, or a gradiometer with its second coil 50 along the normal; kEEG: no sensor.
inline CMDChannelkw channel(int kind, P3 pos, P3 normal, bool gradiometer) {
    CMDChannelkw ch;
    ch.snsKind = kind;
    CMEGSensorkw s;
    CBscMagSnskw c;
    for (int coils = gradiometer ? 2 : 1, i = 0; i < coils; ++i) {
        c.setCoil(pos.data(), normal.data(), 9.0, i ? -1 : 1, 1.0);
        s.addCoil(c);
        for (int a = 0; a < 3; ++a) pos[a] += 50 * normal[a];
    }
    if (kind != megfwd::kind::kEEG) ch.setSensor(s);
    return ch;
}

inline CMDTrialkw trial() {
    using namespace megfwd::kind;
    CMDTrialkw t;
    t.addChannel(channel(kAxialGradiometer1, {0, 100, 0}, {0, 1, 0}, false));
    t.addChannel(channel(kRefGradiometer, {0, 200, 0}, {0, 1, 0}, false));
    t.addChannel(channel(kAxialGradiometer1, {60, 40, 0}, {0.6, 0.8, 0}, true));
    t.addChannel(channel(kEEG, {0, 0, 0}, {0, 0, 1}, false));
    t.addChannel(channel(kAxialGradiometer1, {-60, 40, 0}, {-0.6, 0.8, 0}, true));
    return t;
}

// Everything the conversions move, flattened.
inline std::vector<double> geometry(CMDataForwardkw& m) {
    std::vector<double> g = {m.singleSphere.center[0], m.singleSphere.center[1], m.singleSphere.center[2], m.singleSphere.radius};
    auto add = [&g](const double* v, int n) { g.insert(g.end(), v, v + n); };
    for (int i = 0; i < m.numSrc; ++i) add(m.pVoxSnsLfx[i].srcField.pos, 3);
    for (int e = 0; e < m.pFwdChnl->numChnl; ++e)
        if (CMEGSensorkw* s = m.pFwdChnl->pSnsCoils[e].pMEGSns) {
            add(s->localSphere, 4);
            for (int c = 0; c < s->getTotalCoils(); ++c) {
                const CBscMagSnskw& k = *s->getCoil(c);
                add(k.coilPos, 4);  // with the radius
                add(k.coilOrient, 3);
                add(k.coilNormal, 3);
                for (const B12PT& p : k.b12Pts) add(p.pos, 3);
            }
        }
    return g;
}

// Sources at (0, 83..85, 0) and at the dewar centre, every step off (no
// stencils, shift or conversions) so a test switches on only what it checks.
struct Proc : ::testing::Test {
    CMDTrialkw tr = trial();
    CVirtSnsPOXlistkw list;
    CMDataForwardkw m;

    void SetUp() override {
        for (double y : {83, 84, 85, 60}) list.addPosition(0, y, 0);
        ASSERT_EQ(m.initFwdChn(nullptr, &tr, 0, 0, 1), 1);
        ASSERT_EQ(m.initFwdPosVsp(&list), 1);
        m.isSpatConstrained = m.isCentralizedLf = 0;
    }
    CMEGSensorkw& sensor(int chnl) { return *m.pFwdChnl->pSnsCoils[chnl].pMEGSns; }
    CBscMagSnskw& coil(int chnl, int i) { return *sensor(chnl).getCoil(i); }
    CFISrcSnsLf& src(int i) { return m.pVoxSnsLfx[i]; }
    double* lf(int i, int k) { return m.pVoxSnsLfx[i].pSnsLf[k].pLf; }
    std::vector<int> voxIn() {
        std::vector<int> v;
        for (int i = 0; i < m.numSrc; ++i) v.push_back(src(i).isVoxIn);
        return v;
    }
};

// Points against their expected coordinates.
struct Pt { const double* got; P3 want; };
inline void expectPoints(std::initializer_list<Pt> pts, double tol = 1e-12) {
    for (const Pt& p : pts)
        for (int a = 0; a < 3; ++a) EXPECT_NEAR(p.got[a], p.want[a], tol) << "point " << &p - pts.begin() << " component " << a;
}

}  // namespace proctest
