// The channel set: builders and their failures, entry copies, nearest coil (one on the source: processing tests), dewar sphere.
#include <gtest/gtest.h>

#include "Builders.h"
#include "forward_data/CForwardChnlkw.h"
#include "support/MessageRecorder.h"

namespace {

using fwdtest::standardTrial;
using megfwd::test::MessageRecorder;
using Ints = std::vector<std::int64_t>;

// numChnl, numMeaSns, numRefSns, then each entry's kind (-1: not in use).
Ints state(const CForwardChnlkw& set) {
    Ints v{set.numChnl, set.numMeaSns, set.numRefSns};
    for (std::int64_t i = 0; i < set.numChnl; ++i) v.push_back(set.pSnsCoils[i].snsKind);
    return v;
}

TEST(ChannelSet, TimeDataTakesGoodMeasurementAndOptionallyReferenceChannels) {
    CMEGDatakw data;
    CMDTrialkw trial = standardTrial();
    data.addTrial(trial);
    CForwardChnlkw set;
    ASSERT_EQ(set.initChnl(nullptr, &trial, 0, 0, 0), 1);
    EXPECT_EQ(state(set), (Ints{6, 3, 0, 101, 101, 101, -1, -1, -1}));
    EXPECT_TRUE(set.pSnsCoils[2].chnlID == 2 && set.pSnsCoils[2].pMEGSns != trial.getChannel(2)->pMEGSns);  // a private copy
    set.coordMode = 1;
    set.isWithRefSns = 1;
    ASSERT_EQ(set.updateChnl(), 1);
    EXPECT_EQ(state(set), (Ints{6, 3, 2, 101, 101, 101, 11, 11, -1}));
    EXPECT_EQ(set.coordMode, 0);  // a rebuild starts in host axes

    // The good-channel test asks the recording; without one every channel passes.
    trial.getChannel(1)->isGood = 0;
    trial.getChannel(4)->isGood = 0;
    data.addTrial(trial);
    ASSERT_EQ(set.initChnl(&data, &trial, 0, 1, 1), 1);
    EXPECT_EQ(state(set), (Ints{6, 2, 1, 101, -1, 101, 11, -1, -1}));
    ASSERT_EQ(set.initChnl(&data, &trial, 0, 0, 1), 1);
    EXPECT_EQ(set.numMeaSns, 3);
    ASSERT_EQ(set.initChnl(nullptr, &trial, 0, 1, 1), 1);
    EXPECT_EQ(set.numMeaSns + set.numRefSns, 5);
}

TEST(ChannelSet, SpectrumAndCrossSpectrumBuildersSelectTheirChannels) {
    CMDTrialkw trial = standardTrial();
    trial.getChannel(0)->getSpctmChnlA(true);
    trial.getChannel(2)->getSpctmChnlA(true);
    CForwardChnlkw set;
    ASSERT_EQ(set.initChnl(nullptr, &trial, 1, 1, 1), 1);
    EXPECT_EQ(state(set), (Ints{6, 2, 2, 101, -1, 101, 11, 11, -1}));  // references need no spectrum

    MessageRecorder rec;
    EXPECT_EQ(set.initChnl(nullptr, &trial, 2, 1, 1), 0);  // no coherence face
    CSnsCohFacekw* face = trial.getCoherenceFacekwTime(true);
    EXPECT_EQ(set.updateChnl03Cxc(), 0);  // a face without data
    face->hasData = 1;
    face->data.setChannels({1, 3, 5});  // measurement, reference, non-MEG
    set.dataKind = 1;
    ASSERT_EQ(set.updateChnl03Cxc(), 1);
    EXPECT_EQ(set.dataKind, 2);
    EXPECT_EQ(state(set), (Ints{6, 1, 2, -1, 101, -1, 11, 11, -1}));  // references listed or not
    EXPECT_EQ(rec.texts(), std::vector<std::string>(2, "Non-MEG Sensor Cxc data for source scan?!"));
}

TEST(ChannelSet, FailedBuildKeepsEntriesButLooksEmpty) {
    CMDTrialkw one;
    one.addChannel(fwdtest::channel(100, 0, 0, 0));
    CForwardChnlkw set;
    EXPECT_EQ(set.initChnl(nullptr, &one, 0, 0, 0) + set.initChnl(nullptr, &one, 1, 0, 0), 0);

    CMDTrialkw trial = standardTrial();
    trial.getChannel(2)->clearSensor();  // a measurement channel without sensor
    EXPECT_EQ(set.initChnl(nullptr, &trial, 0, 0, 0), 0);
    EXPECT_NE(set.pSnsCoils, nullptr);
    EXPECT_EQ(state(set), (Ints{0, 0, 0}));
    EXPECT_EQ(set.updateDewarCnt(), 0);  // readers find the set empty

    trial = standardTrial();
    EXPECT_EQ(fwdtest::failingAfter(1, [&] { return set.updateChnl(); }), 0);  // entries allocated, first sensor copy fails
    ASSERT_NE(set.pSnsCoils, nullptr);
    EXPECT_EQ(state(set), (Ints{0, 0, 0}));
    EXPECT_EQ(set.pSnsCoils[0].snsKind, -1);
}

TEST(ChannelEntry, CopiesSensorAndReferenceWeights) {
    CMDChannelkw ch = fwdtest::channel(101, 1, 2, 3);
    ch.setRefCoefs({{0.5, 3, "R1"}, {-0.25, 4, "R2"}});
    CForwardC0SnsCoilskw e;
    ASSERT_EQ(e.setChnl2FwdSns(&ch, 9), 1);
    ASSERT_TRUE(e.chnlID == 9 && e.numRefCoef == 2);
    EXPECT_EQ(std::tie(e.pRefCoef[1].coef, e.pRefCoef[1].chnlIdx, e.pRefCoef[1].refName), std::make_tuple(-0.25, 4, "R2"));

    CForwardC0SnsCoilskw copy(e);
    copy.pMEGSns->getCoil(0)->coilPos[0] = 99.0;
    copy.pRefCoef[0].coef = 7.0;
    EXPECT_TRUE(e.pMEGSns->getCoil(0)->coilPos[0] == 1.0 && e.pRefCoef[0].coef == 0.5);

    EXPECT_EQ(fwdtest::failingAfter(1, [&] { return e.setChnl2FwdSns(&ch, 9); }), 0);  // sensor copied, weights fail
    EXPECT_TRUE(e.pRefCoef == nullptr && e.numRefCoef == 0);
    CMDChannelkw eeg = fwdtest::channel(200, 0, 0, 0);
    EXPECT_EQ(e.setChnl2FwdSns(&eeg, 2), 0);
    EXPECT_TRUE(e.snsKind == -1 && e.isMEGSns() == 0);
}

TEST(ChannelSet, NearestCoilAndDewarSphereUseMeasurementCoilsOnly) {
    CMDTrialkw trial = standardTrial();
    CForwardChnlkw set;
    set.initChnl(nullptr, &trial, 0, 0, 1);
    MAGFIELD f;
    f.pos[0] = 5.0;  // equally near channels 0 and 1: the first
    f.pos[1] = 100.0;
    EXPECT_EQ(set.findNearestCoil4Src(&f), set.pSnsCoils[0].pMEGSns->getCoil(0));
    f.pos[0] = 18.0;
    f.pos[1] = 290.0;  // nearer to a reference coil, which is not a candidate
    EXPECT_EQ(set.findNearestCoil4Src(&f), set.pSnsCoils[2].pMEGSns->getCoil(0));
    EXPECT_EQ(set.findNearestCoil4Src(nullptr), nullptr);
    EXPECT_EQ(set.getMEGSns4ChnlID(set.numChnl), nullptr);

    // The dewar sphere: the mean of the measurement first coils, radius half the box's smallest edge.
    trial.getChannel(1)->pMEGSns->getCoil(0)->coilPos[1] = 110.0;
    trial.getChannel(2)->pMEGSns->getCoil(0)->coilPos[2] = 30.0;
    set.initChnl(nullptr, &trial, 0, 0, 1);
    ASSERT_EQ(set.updateDewarCnt(), 1);
    const double centre[3] = {10.0, 310.0 / 3.0, 10.0};  // references ignored
    for (int a = 0; a < 3; ++a) EXPECT_DOUBLE_EQ(set.dewarSphere.center[a], centre[a]);
    EXPECT_TRUE(set.coilBox.minCorner[1] == 100.0 && set.coilBox.maxCorner[2] == 30.0);
    EXPECT_DOUBLE_EQ(set.dewarSphere.radius, 5.0);  // y: 10

    CMDTrialkw refsOnly;
    refsOnly.addChannel(fwdtest::channel(11, 1, 1, 1));
    refsOnly.addChannel(fwdtest::channel(11, 2, 2, 2));
    set.initChnl(nullptr, &refsOnly, 0, 0, 1);
    EXPECT_EQ(set.updateDewarCnt(), 0);
    EXPECT_EQ(set.dewarSphere.center[1], 0.0);
}

}  // namespace
