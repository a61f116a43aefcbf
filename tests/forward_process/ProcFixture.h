// A small hand-built manager for the processing tests.
//
// Channels: 0 measurement M0 (one coil at (0, 100, 0)), 1 reference (one coil
// at (0, 200, 0)), 2 measurement M1 (gradiometer: coils at (60, 40, 0) and
// 50 further out), 3 a non-MEG channel without sensor, 4 measurement M2
// (gradiometer at (-60, 40, 0)). The dewar centre, the mean of the
// measurement sensors' first coils, is (0, 60, 0); M0 is 40 from it.
#pragma once

#include <array>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "forward_data/CMDataForwardkw.h"
#include "support/MessageRecorder.h"

namespace proctest {

using P3 = std::array<double, 3>;
using megfwd::test::MessageRecorder;

inline CMDChannelkw channel(int kind, P3 pos, P3 normal, bool gradiometer, double gain = 1.0) {
    CMDChannelkw ch;
    ch.snsKind = kind;
    CMEGSensorkw s;
    s.sensorGain = gain;
    CBscMagSnskw c;
    c.setCoil(pos.data(), normal.data(), 9.0, 1, 1.0);
    s.addCoil(c);
    if (gradiometer) {
        const P3 far = {pos[0] + 50 * normal[0], pos[1] + 50 * normal[1], pos[2] + 50 * normal[2]};
        c.setCoil(far.data(), normal.data(), 9.0, -1, 1.0);
        s.addCoil(c);
    }
    ch.setSensor(s);
    return ch;
}

inline CMDTrialkw trial() {
    using namespace megfwd::kind;
    CMDTrialkw t;
    t.addChannel(channel(kAxialGradiometer1, {0, 100, 0}, {0, 1, 0}, false));
    t.addChannel(channel(kRefGradiometer, {0, 200, 0}, {0, 1, 0}, false));
    t.addChannel(channel(kAxialGradiometer1, {60, 40, 0}, {0.6, 0.8, 0}, true));
    CMDChannelkw eeg;
    eeg.snsKind = kEEG;
    t.addChannel(eeg);
    t.addChannel(channel(kAxialGradiometer1, {-60, 40, 0}, {-0.6, 0.8, 0}, true));
    return t;
}

// The manager with every step off (no stencils, shift or conversions) so a
// test switches on only what it checks.
struct Proc : ::testing::Test {
    CMDTrialkw tr = trial();
    CVirtSnsPOXlistkw list;
    CMDataForwardkw m;

    void build(const std::vector<P3>& sources) {
        for (const P3& p : sources) list.addPosition(p[0], p[1], p[2]);
        ASSERT_EQ(m.initFwdChn(nullptr, &tr, 0, 0, 1), 1);
        ASSERT_EQ(m.initFwdPosVsp(&list), 1);
        m.isSpatConstrained = 0;
        m.isCentralizedLf = 0;
    }
    void SetUp() override { build({{0, 83, 0}, {0, 84, 0}, {0, 85, 0}, {0, 60, 0}}); }

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

inline void expectNear3(const double* a, P3 b, double tol = 1e-12) {
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(a[i], b[i], tol) << "component " << i;
}

}  // namespace proctest
