// Centre shift, axis and unit changes and their restores: each runs once and moves every piece of geometry.
#include "ProcFixture.h"

namespace {

using namespace proctest;

struct Conv : Proc {
    void SetUp() override {
        Proc::SetUp();
        ASSERT_EQ(m.prepare4VoxSnsLfdScan(3), 1);
        m.singleSphere.setSphere(1, 2, 3, 80);
        coil(2, 1).isB12Set = 1;  // a prepared coil with one integration point in use
        for (int a = 0; a < 3; ++a) coil(2, 1).b12Pts[0].pos[a] = P3{70, 81, 2}[a];
        coil(0, 0).b12Pts[0].pos[1] = 5;  // an unprepared coil's slot
        sensor(1).localSphere[3] = 30;
    }
};

TEST_F(Conv, UnitChangeScalesOnce) {
    m.spatUnit = 0.1;
    for (int twice = 0; twice < 2; ++twice) ASSERT_EQ(m._08changeSpatUnit4SrcSnsSphere_Meter(), 1);
    expectPoints({{src(2).srcField.pos, {0, 8.5, 0}}, {coil(4, 0).coilPos, {-6, 4, 0}}, {coil(2, 1).b12Pts[0].pos, {7, 8.1, 0.2}},
                  {sensor(1).localSphere, {0, 6, 0}}, {m.singleSphere.center, {0.1, 0.2, 0.3}}});
    EXPECT_DOUBLE_EQ(coil(4, 0).coilRadius, 0.9);
    EXPECT_DOUBLE_EQ(sensor(1).localSphere[3], 3.0);
    EXPECT_DOUBLE_EQ(m.singleSphere.radius, 8.0);
    EXPECT_EQ(coil(0, 0).b12Pts[0].pos[1], 5.0);  // unprepared: left alone

    const std::vector<double> before = geometry(m);
    m.spatUnit = 0.0;  // cannot be undone: refused, nothing changed
    m.pFwdChnl->unitMode = src(0).unitMode = m.singleSphere.unitMode = 0;
    EXPECT_EQ(m._08changeSpatUnit4SrcSnsSphere_Meter(), 0);
    EXPECT_EQ(geometry(m), before);
}

TEST_F(Conv, AxisChangeConvertsOnceWithNormalsAndPoints) {
    for (int twice = 0; twice < 2; ++twice) ASSERT_EQ(m._08changeCoord4SrcSnsSphere_matlab(), 1);
    expectPoints({{src(1).srcField.pos, {0, 0, 84}}, {coil(2, 1).coilPos, {90, 0, 80}}, {coil(2, 1).coilNormal, {0.6, 0, 0.8}},
                  {coil(2, 1).coilOrient, {0.6, 0, 0.8}}, {coil(2, 1).b12Pts[0].pos, {70, -2, 81}},
                  {sensor(0).localSphere, {0, 0, 60}}, {m.singleSphere.center, {1, -3, 2}}});
    EXPECT_EQ(coil(0, 0).b12Pts[0].pos[1], 5.0);
}

TEST_F(Conv, ShiftMovesPointsButNotDirections) {
    m.pFwdChnl->dewarSphere.setSphere(0, 60, 0, 1);
    ASSERT_EQ(m._07shiftGlobCnt4SrcSnsSphere(), 1);
    expectPoints({{src(0).srcField.pos, {-1, 81, -3}}, {coil(2, 1).coilPos, {89, 78, -3}}, {coil(2, 1).b12Pts[0].pos, {69, 79, -1}},
                  {coil(2, 1).coilNormal, {0.6, 0.8, 0}}, {sensor(0).localSphere, {-1, 58, -3}}, {m.singleSphere.center, {0, 0, 0}},
                  {m.pFwdChnl->dewarSphere.center, {0, 60, 0}}});
    EXPECT_EQ(m.singleSphere.radius, 80.0);
}

TEST_F(Conv, RestoreReturnsGeometryAndLeavesUnconvertedAlone) {
    const std::vector<double> host = geometry(m);
    ASSERT_EQ(m._28changeSpatUnit4SrcSnsSphere_MilliMeter(), 1);  // nothing in mode 2
    ASSERT_EQ(m._28changeCoord4SrcSnsSphere_openGL(), 1);          // nothing in mode 1
    EXPECT_EQ(geometry(m), host);

    m.spatUnit = 0.001;
    ASSERT_EQ(m._08changeCoord4SrcSnsSphere_matlab(), 1);
    ASSERT_EQ(m._08changeSpatUnit4SrcSnsSphere_Meter(), 1);
    ASSERT_EQ(m.postScanLfProcess(), 1);
    const std::vector<double> back = geometry(m);
    ASSERT_EQ(back.size(), host.size());
    for (std::size_t i = 0; i < host.size(); ++i) EXPECT_NEAR(back[i], host[i], 1e-12) << i;
    EXPECT_EQ(m.pFwdChnl->coordMode + m.pFwdChnl->unitMode + m.singleSphere.coordMode + m.singleSphere.unitMode, 0);

    // Without an entry array the unit restore stops after the sources.
    ASSERT_EQ(m._08changeSpatUnit4SrcSnsSphere_Meter(), 1);
    CForwardC0SnsCoilskw* entries = m.pFwdChnl->pSnsCoils;
    m.pFwdChnl->pSnsCoils = nullptr;
    EXPECT_EQ(m._28changeSpatUnit4SrcSnsSphere_MilliMeter(), 0);
    m.pFwdChnl->pSnsCoils = entries;
    EXPECT_TRUE(src(0).unitMode == 0 && m.pFwdChnl->unitMode == 2 && m.singleSphere.unitMode == 2);
}

TEST_F(Proc, AxisRestoreOfLeadfieldValues) {
    for (int n = 1; n <= 3; ++n) {
        ASSERT_EQ(m.prepare4VoxSnsLfdScan(n), 1);
        ASSERT_EQ(m._08changeCoord4SrcSnsSphere_matlab(), 1);
        for (int j = 0; j < n; ++j) lf(1, 2)[j] = j + 1;  // 1, 2, 3
        ASSERT_EQ(m._28changeCoord4SrcSnsSphere_openGL(), 1);
        const std::vector<std::vector<double>> want = {{1}, {2, 1}, {1, 3, -2}};
        EXPECT_EQ(std::vector<double>(lf(1, 2), lf(1, 2) + n), want[n - 1]) << n << " components";
        EXPECT_EQ(src(1).coordMode, 0);
    }
}

}  // namespace
