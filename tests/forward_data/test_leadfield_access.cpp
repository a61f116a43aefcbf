// Leadfield access: arrays in and out, one source as a matrix, strengths, SVD projections, readiness.
#include <gtest/gtest.h>

#include <cmath>

#include "Builders.h"
#include "forward_data/CMDataForwardkw.h"

namespace {

struct Access : ::testing::Test {
    CMDTrialkw trial = fwdtest::standardTrial();
    CMDataForwardkw m;
    // Loads 2 sources x 3 sensors x 2 components with value 100 i + 10 j + k.
    void load() {
        double*** ppp = CAryVctMtxBasic::newMatrix3D(2, 3, 2, true);
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 3; ++j)
                for (int k = 0; k < 2; ++k) ppp[i][j][k] = 100.0 * i + 10.0 * j + k;
        ASSERT_EQ(m.setPPPVoxSnsLfx(ppp, 2, 3, 2), 1);
        CAryVctMtxBasic::deleteMatrix3D(ppp);
    }
};

TEST_F(Access, ArraysInAndOutInSourceSensorComponentOrder) {
    double** dummy = nullptr;
    double*** out = &dummy;
    std::int64_t ns = 9, nj = 9, nk = 9;
    EXPECT_EQ(m.getPPPVoxSnsLfx(out, ns, nj, nk), 0);
    EXPECT_TRUE(out == nullptr && ns + nj + nk == 0);

    load();
    ASSERT_EQ(m.getPPPVoxSnsLfx(out, ns, nj, nk), 1);
    EXPECT_TRUE(ns == 2 && nj == 3 && nk == 2);
    EXPECT_TRUE(out[1][2][0] == 120.0 && out[0][1][1] == 11.0);
    EXPECT_EQ(m.setPPPVoxSnsLfx(nullptr, 2, 3, 2), 0);  // rebuilt and zeroed
    EXPECT_TRUE(m.pVoxSnsLfx[1].checkSnsLf(3, 2) && m.pVoxSnsLfx[1].pSnsLf[2].getLf(0) == 0.0);
    EXPECT_EQ(m.setPPPVoxSnsLfx(out, -1, 3, 2), 0);  // -1 resolved: rebuilt, not loaded
    EXPECT_TRUE(m.pVoxSnsLfx[1].checkSnsLf(3, 2) && m.pVoxSnsLfx[1].pSnsLf[2].getLf(0) == 0.0);
    EXPECT_EQ(m.setPPPVoxSnsLfx(out, 2, 3, 2), 1);  // what was read out loads back
    EXPECT_TRUE(m.pVoxSnsLfx[1].pSnsLf[2].getLf(0) == 120.0 && m.pVoxSnsLfx[0].pSnsLf[1].getLf(1) == 11.0);
    CAryVctMtxBasic::deleteMatrix3D(out);
}

TEST_F(Access, OneSourceAsComponentBySensorMatrix) {
    load();
    CMMatrix2Dkw mat, narrow, tall;
    mat.checkInit(2, 3, true);
    ASSERT_EQ(m.getSrcSnsLf2LfSnM(1, &mat), 1);
    EXPECT_EQ(m.curVoxID, 1);
    EXPECT_TRUE(mat.getDataPP()[0][2] == 120.0 && mat.getDataPP()[1][0] == 101.0);

    m.curVoxID = 0;
    EXPECT_EQ(m.getSrcSnsLf2LfSnM(2, &mat) + m.getSrcSnsLf2LfSnM(-1, &mat), 0);
    narrow.checkInit(2, 2, true);
    EXPECT_EQ(m.getSrcSnsLf2LfSnM(1, &narrow), 0);  // fewer columns than sensors
    EXPECT_TRUE(narrow.getDataPP()[1][1] == 0.0 && m.curVoxID == 0);
    tall.checkInit(3, 3, false);  // more rows than components: the extra row is 0
    tall.getDataPP()[2][1] = 8.0;
    ASSERT_EQ(m.getSrcSnsLf2LfSnM(1, &tall), 1);
    EXPECT_TRUE(tall.getDataPP()[1][1] == 111.0 && tall.getDataPP()[2][1] == 0.0);
}

TEST_F(Access, WalksStayInsideRecordsBuiltForFewerSensors) {
    load();
    trial.addChannel(fwdtest::channel(100, 50, 100, 0));
    ASSERT_EQ(m.initFwdChn(nullptr, &trial, 0, 0, 0), 1);
    ASSERT_EQ(m.numSns, 4);  // the records still hold 3 sensors
    EXPECT_EQ(m.setVoxSnsLfx2v(2.0), 1);
    double*** out = nullptr;
    std::int64_t ns, nj, nk;
    ASSERT_EQ(m.getPPPVoxSnsLfx(out, ns, nj, nk), 1);
    EXPECT_TRUE(out[1][2][1] == 2.0 && out[1][3][0] == 0.0);
    CAryVctMtxBasic::deleteMatrix3D(out);
    CMMatrix2Dkw mat;
    mat.checkInit(2, 4, false);
    mat.getDataPP()[0][3] = 8.0;
    ASSERT_EQ(m.getSrcSnsLf2LfSnM(0, &mat), 1);
    EXPECT_EQ(mat.getDataPP()[0][3], 0.0);
}

TEST_F(Access, StrengthsAndSvdProjections) {
    EXPECT_EQ(m.computLfStrength() + m.computVB2LfID3(), 0);
    load();
    ASSERT_EQ(m.computLfStrength(), 1);
    EXPECT_DOUBLE_EQ(m.pVoxSnsLfx[1].pSnsLf[0].lfStrength, std::sqrt((100.0 * 100.0 + 101.0 * 101.0) / 2.0));

    for (int i = 0; i < 2; ++i) ASSERT_EQ(m.pVoxSnsLfx[i].setleadfield2SVDu(), 1);
    EXPECT_EQ(m.computVB2LfID3(), 0);  // decompositions not current
    CDataSvdkw* svd = m.pVoxSnsLfx[0].pSvd;
    svd->pOrientVct[0] = -0.5;
    svd->pOrientVct[1] = 2.0;
    svd->isDecomposed = 1;
    EXPECT_EQ(m.computVB2LfID3(), 0);  // stops at source 1, source 0 done
    EXPECT_DOUBLE_EQ(m.pVoxSnsLfx[0].pSnsLf[2].lfVB, 0.5 * 20.0 + 2.0 * 21.0);
    EXPECT_EQ(m.pVoxSnsLfx[1].pSnsLf[2].lfVB, 0.0);
    m.pVoxSnsLfx[1].pSvd->isDecomposed = 1;
    EXPECT_EQ(m.computVB2LfID3(), 1);
}

TEST_F(Access, ReadinessForLeadfieldScan) {
    EXPECT_EQ(m.checkVoxSnsLfx4Lfd(3), 0);  // no channel set
    ASSERT_EQ(m.initFwdChn(nullptr, &trial, 0, 0, 0), 1);
    EXPECT_EQ(m.checkVoxSnsLfx4Lfd(3), 0);  // no positions
    const double lo[3] = {0, 0, 0}, hi[3] = {5, 5, 0};
    CGrid3D grid(lo, hi, 5.0);
    ASSERT_EQ(m.initFwdPosGrd(&grid), 1);
    EXPECT_EQ(m.checkVoxSnsLfx4Lfd(3), 1);  // records not built yet
    ASSERT_EQ(m.initVoxSnsLfx(-1, -1, 2), 1);
    EXPECT_EQ(m.checkVoxSnsLfx4Lfd(3), 0);
    EXPECT_EQ(m.checkVoxSnsLfx4Lfd(2), 1);
    m.numSrc = 5;  // positions and sources disagree
    EXPECT_EQ(m.checkVoxSnsLfx4Lfd(2), 0);
    m.numSrc = 4;
    CMDTrialkw small;
    small.addChannel(fwdtest::channel(100, 0, 0, 0));
    small.addChannel(fwdtest::channel(11, 0, 0, 0));
    ASSERT_EQ(m.initFwdChn(nullptr, &small, 0, 0, 0), 1);
    EXPECT_EQ(m.checkVoxSnsLfx4Lfd(2), 0);  // one measurement sensor
}

}  // namespace
