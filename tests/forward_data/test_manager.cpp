// The forward data manager: channel set, positions, records and their failure states, stepping, copies.
#include <gtest/gtest.h>

#include "Builders.h"
#include "forward_data/CMDataForwardkw.h"
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
    EXPECT_EQ(m.pVoxSnsLfx[2].pSnsLf[2].getLf(1), 1.0);
    EXPECT_EQ(m.pVoxSnsLfx[1].pSnsLf[0].bcmp, 4.0);
    m.cleanVoxSnsLfx();
    EXPECT_EQ(m.isVoxSnsLfdOk(), 0);
    EXPECT_EQ(m.numSrc, 3);
}

TEST_F(Manager, FailedRecordBuildReleasesEverything) {
    MessageRecorder rec;
    ASSERT_EQ(m.initVoxSnsLfx(-1, -1, 2), 1);
    EXPECT_EQ(fwdtest::failingAfter(0, [&] { return m.initVoxSnsLfx(2, 3, 2); }), 0);  // the record array: no message
    EXPECT_TRUE(rec.messages().empty());
    EXPECT_EQ(m.pVoxSnsLfx, nullptr);

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
    EXPECT_NE(m.pVoxSnsLfx, nullptr);
    EXPECT_EQ(m.pFwdPos->ppPos[0][1], 7.0);

    CVirtSnsPOXlistkw list;
    EXPECT_EQ(m.initFwdPosVsp(&list), 0);  // empty list: nothing changes
    EXPECT_NE(m.pVoxSnsLfx, nullptr);
    for (double x : {1.0, 4.0}) list.addPosition(x, x + 1, x + 2);
    ASSERT_EQ(m.initFwdPosVsp(&list), 1);
    EXPECT_EQ(m.pVoxSnsLfx, nullptr);
    EXPECT_EQ(m.numSrc, 2);
}

TEST_F(Manager, ChannelSetUpdatesAndResets) {
    EXPECT_EQ(m.initFwdChn(nullptr, nullptr, 1, 1, 0), 0);
    EXPECT_TRUE(m.pFwdChnl->numChnl == 6 && m.numSns == 3);  // entries untouched, arguments stored
    EXPECT_EQ(m.pFwdChnl->dataKind, 1);
    CForwardChnlkw* set = m.getFwChnl(true);  // arguments reset, entries kept
    EXPECT_EQ(set, m.pFwdChnl);
    EXPECT_TRUE(set->dataKind == 0 && set->isGoodChnlOnly == 1 && set->numChnl == 6);
}

TEST_F(Manager, CurrentSourceWrapsAtBothEnds) {
    CMDataForwardkw empty;
    EXPECT_EQ(empty.nextVoxID(1), -1);
    EXPECT_EQ(empty.getFwChSC(), nullptr);
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
    ASSERT_NE(copy->pAnaVlm, nullptr);
    EXPECT_NE(copy->pAnaVlm->pVoxel, m.pAnaVlm->pVoxel);
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

}  // namespace
