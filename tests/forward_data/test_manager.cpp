// The forward data manager: channel set, positions, records and their failures, stepping, copies, leadfield access.
#include <gtest/gtest.h>

#include <cmath>

#include "Builders.h"
#include "forward_process/CMDataForwardkw.h"
#include "support/MessageRecorder.h"

namespace {

using megfwd::test::MessageRecorder;
using Counts = std::vector<std::int64_t>;

// Three measurement sensors (plus references and a non-MEG channel), three positions along x.
struct Manager : ::testing::Test {
    CMDTrialkw trial = fwdtest::standardTrial();
    const double lo[3] = {0, 0, 0}, hi[3] = {10, 0, 0};
    CGrid3D grid{lo, hi, 5.0};
    CMDataForwardkw m;
    void SetUp() override {
        ASSERT_EQ(m.initFwdChn(nullptr, &trial, 0, 0, 1), 1);
        ASSERT_EQ(m.initFwdPosGrd(&grid), 1);
    }
    Counts counts() const { return {m.numSrc, m.numSns, m.numLf}; }
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

TEST_F(Manager, BuildsRecordsFromCurrentCountsAndSetsValues) {
    ASSERT_EQ(m.initVoxSnsLfx(-1, -1, 2), 1);
    EXPECT_EQ(counts(), (Counts{3, 3, 2}));
    EXPECT_EQ(m.isVoxSnsLfdOk(), 1);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(m.pVoxSnsLfx[i].checkSnsLf(3, 2), 1);
    EXPECT_EQ(m.initVoxSnsLfx(5, 10, 0), 0);  // bad count: old records stay
    EXPECT_TRUE(m.pVoxSnsLfx[0].checkSnsLf(3, 2));

    m.pVoxSnsLfx[1].pSnsLf[0].bcmp = 4.0;
    EXPECT_EQ(m.setVoxSnsLfx2v(1.0), 1);
    EXPECT_TRUE(m.pVoxSnsLfx[2].pSnsLf[2].getLf(1) == 1.0 && m.pVoxSnsLfx[1].pSnsLf[0].bcmp == 4.0);  // values only
    m.cleanVoxSnsLfx();
    EXPECT_TRUE(m.isVoxSnsLfdOk() == 0 && m.numSrc == 3);
}

TEST_F(Manager, FailedRecordBuildReleasesEverything) {
    MessageRecorder rec;
    ASSERT_EQ(m.initVoxSnsLfx(-1, -1, 2), 1);
    EXPECT_EQ(fwdtest::failingAfter(0, [&] { return m.initVoxSnsLfx(2, 3, 2); }), 0);  // the record array: no message
    EXPECT_TRUE(rec.messages().empty() && m.pVoxSnsLfx == nullptr);

    ASSERT_EQ(m.initVoxSnsLfx(-1, -1, 2), 1);
    // Array, record 0 (sensor array + 4 value arrays), then record 1 fails.
    EXPECT_EQ(fwdtest::failingAfter(6, [&] { return m.initVoxSnsLfx(2, 4, 1); }), 0);
    EXPECT_EQ(rec.texts(), std::vector<std::string>{"Initializing voxel-sensor-leadfield buffer failed! Is memory enough?"});
    EXPECT_EQ(m.pVoxSnsLfx, nullptr);
    EXPECT_EQ(counts(), (Counts{3, 3, 0}));
    EXPECT_EQ(m.setVoxSnsLfx2v(0.0), 0);
}

TEST_F(Manager, PositionsKeepRecordsOnlyWhileTheCountHolds) {
    m.initVoxSnsLfx(-1, -1, 3);
    CGrid3D same = grid;
    same.minCorner[1] = same.maxCorner[1] = 7.0;
    ASSERT_EQ(m.initFwdPosGrd(&same), 1);
    EXPECT_TRUE(m.pVoxSnsLfx != nullptr && m.pFwdPos->ppPos[0][1] == 7.0);

    CVirtSnsPOXlistkw list;
    EXPECT_EQ(m.initFwdPosVsp(&list), 0);  // empty list: nothing changes
    EXPECT_NE(m.pVoxSnsLfx, nullptr);
    for (double x : {1.0, 4.0}) list.addPosition(x, x + 1, x + 2);
    ASSERT_EQ(m.initFwdPosVsp(&list), 1);
    EXPECT_TRUE(m.pVoxSnsLfx == nullptr && m.numSrc == 2);
}

TEST_F(Manager, ChannelSetUpdatesAndResets) {
    EXPECT_EQ(m.initFwdChn(nullptr, nullptr, 1, 1, 0), 0);
    EXPECT_TRUE(m.pFwdChnl->numChnl == 6 && m.numSns == 3 && m.pFwdChnl->dataKind == 1);  // entries kept, arguments stored
    CForwardChnlkw* set = m.getFwChnl(true);  // arguments reset, entries kept
    EXPECT_TRUE(set == m.pFwdChnl && set->dataKind == 0 && set->isGoodChnlOnly == 1 && set->numChnl == 6);
}

TEST_F(Manager, CurrentSourceWrapsAtBothEnds) {
    CMDataForwardkw empty;
    EXPECT_TRUE(empty.nextVoxID(1) == -1 && empty.getFwChSC() == nullptr);
    m.initVoxSnsLfx(-1, -1, 1);
    EXPECT_EQ(m.setCurrentVoxID(3) + m.setCurrentVoxID(-1), 0);
    EXPECT_EQ(m.nextVoxID(0), 2);
    EXPECT_EQ(m.getVoxSnsLfx4ID(-1), &m.pVoxSnsLfx[2]);
    EXPECT_EQ(m.nextVoxID(1), 0);
    EXPECT_TRUE(m.getVoxSnsLfx4ID(-2) == nullptr && m.getVoxSnsLfx4ID(3) == nullptr);
}

TEST_F(Manager, MeanOfMeasurementLocalSpheres) {
    CForwardChnlkw* set = m.pFwdChnl;
    for (int i = 0; i < 5; ++i) set->pSnsCoils[i].pMEGSns->localSphere[0] = 10.0 * i;
    set->pSnsCoils[1].pMEGSns->localSphere[2] = 6.0;
    set->pSnsCoils[2].pMEGSns->localSphere[1] = 8.0;
    CSpherekw out;
    CGrid3D box;
    EXPECT_EQ(m.getMeanSphere4SnsLocalSpheres(&out, &box), 3);  // references not counted
    EXPECT_TRUE(out.center[0] == 10.0 && out.center[2] == 2.0 && box.maxCorner[0] == 20.0);
    EXPECT_DOUBLE_EQ(out.radius, 3.0);  // half the smallest edge (z: 6)
    EXPECT_EQ(m.getMeanSphere4SnsLocalSpheres(&out, nullptr), 3);
    EXPECT_EQ(out.radius, 0.0);

    CMDTrialkw refs;
    refs.addChannel(fwdtest::channel(10, 1, 1, 1));
    refs.addChannel(fwdtest::channel(11, 1, 1, 1));
    m.initFwdChn(nullptr, &refs, 0, 0, 1);
    out.setSphere(1, 2, 3, 4);
    EXPECT_EQ(m.getMeanSphere4SnsLocalSpheres(&out, nullptr), 0);
    EXPECT_EQ(out.center[1], 0.0);
}

TEST_F(Manager, CopiesOwnEverythingIncludingTheVolume) {
    m.initVoxSnsLfx(-1, -1, 2);
    m.pVoxSnsLfx[1].pSnsLf[2].setLf(1, 5.0);
    m.spatUnit = 0.001;
    m.pAnaVlm = new ANA_VOLMX;
    m.pAnaVlm->numVoxX = m.pAnaVlm->numVoxY = m.pAnaVlm->numVoxZ = 2;
    m.pAnaVlm->pVoxel = new std::uint16_t[8]();
    m.pAnaVlm->pVoxel[7] = 0x1234;

    auto* copy = new CMDataForwardkw(m);
    EXPECT_EQ(copy->spatUnit, 0.001);
    ASSERT_TRUE(copy->pAnaVlm != nullptr && copy->pAnaVlm->pVoxel != m.pAnaVlm->pVoxel);
    copy->pVoxSnsLfx[1].pSnsLf[2].setLf(1, -1.0);
    EXPECT_EQ(m.pVoxSnsLfx[1].pSnsLf[2].getLf(1), 5.0);

    CMDataForwardkw other;
    other = *copy;
    delete copy;  // nothing of other may go with it
    CMDataForwardkw& alias = other;
    other = alias;
    CForwardChnlkw& set = *other.pFwdChnl;
    set = *other.pFwdChnl;  // the channel set's own self-assignment
    EXPECT_EQ(other.pVoxSnsLfx[1].pSnsLf[2].getLf(1), -1.0);
    EXPECT_EQ(set.getMEGSns4ChnlID(2)->getCoil(0)->coilPos[0], 20.0);
    EXPECT_TRUE(set.numRefSns == 2 && set.pTrial == &trial);  // the trial is the host's: shared
    EXPECT_TRUE(other.pFwdPos->numPos == 3 && other.pAnaVlm->pVoxel[7] == 0x1234);
    // m and other release their volumes when destroyed (checked by the leak sanitizer).
}


TEST_F(Manager, ArraysInAndOutInSourceSensorComponentOrder) {
    double** dummy = nullptr;
    double*** out = &dummy;
    std::int64_t ns = 9, nj = 9, nk = 9;
    EXPECT_EQ(m.getPPPVoxSnsLfx(out, ns, nj, nk), 0);
    EXPECT_TRUE(out == nullptr && ns + nj + nk == 0);

    load();
    ASSERT_EQ(m.getPPPVoxSnsLfx(out, ns, nj, nk), 1);
    EXPECT_TRUE(ns == 2 && nj == 3 && nk == 2 && out[1][2][0] == 120.0 && out[0][1][1] == 11.0);
    EXPECT_EQ(m.setPPPVoxSnsLfx(nullptr, 2, 3, 2), 0);  // rebuilt and zeroed
    EXPECT_TRUE(m.pVoxSnsLfx[1].checkSnsLf(3, 2) && m.pVoxSnsLfx[1].pSnsLf[2].getLf(0) == 0.0);
    EXPECT_EQ(m.setPPPVoxSnsLfx(out, -1, 3, 2), 0);  // -1 resolved: rebuilt, not loaded
    EXPECT_TRUE(m.pVoxSnsLfx[1].checkSnsLf(3, 2) && m.pVoxSnsLfx[1].pSnsLf[2].getLf(0) == 0.0);
    EXPECT_EQ(m.setPPPVoxSnsLfx(out, 2, 3, 2), 1);  // what was read out loads back
    EXPECT_TRUE(m.pVoxSnsLfx[1].pSnsLf[2].getLf(0) == 120.0 && m.pVoxSnsLfx[0].pSnsLf[1].getLf(1) == 11.0);
    CAryVctMtxBasic::deleteMatrix3D(out);
}

TEST_F(Manager, OneSourceAsComponentBySensorMatrix) {
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

TEST_F(Manager, WalksStayInsideRecordsBuiltForFewerSensors) {
    load();
    m.numSns = 4;  // the records hold 3 sensors
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

TEST_F(Manager, StrengthsAndSvdProjections) {
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

TEST_F(Manager, ReadinessForLeadfieldScan) {
    CMDataForwardkw fresh;
    EXPECT_EQ(fresh.checkVoxSnsLfx4Lfd(3), 0);  // no channel set
    ASSERT_EQ(fresh.initFwdChn(nullptr, &trial, 0, 0, 0), 1);
    EXPECT_EQ(fresh.checkVoxSnsLfx4Lfd(3), 0);  // no positions
    EXPECT_EQ(m.checkVoxSnsLfx4Lfd(3), 1);  // records not built yet
    ASSERT_EQ(m.initVoxSnsLfx(-1, -1, 2), 1);
    EXPECT_EQ(m.checkVoxSnsLfx4Lfd(3), 0);
    EXPECT_EQ(m.checkVoxSnsLfx4Lfd(2), 1);
    m.numSrc = 5;  // positions and sources disagree
    EXPECT_EQ(m.checkVoxSnsLfx4Lfd(2), 0);
    m.numSrc = 3;
    m.numSns = 1;  // one measurement sensor
    EXPECT_EQ(m.checkVoxSnsLfx4Lfd(2), 0);
}

}  // namespace
