// After a scan: sensor-gain signs, unit-size leadfields, the leadfield dewar stencil, the step order.
#include "ProcFixture.h"

namespace {

using namespace proctest;

// Every value 1; measurement sensor 1 has gain 0, sensor 2 gain 2.5; source 3 is out of the scan.
struct Post : Proc {
    void SetUp() override {
        Proc::SetUp();
        ASSERT_EQ(m.prepare4VoxSnsLfdScan(3), 1);
        ASSERT_EQ(m.setVoxSnsLfx2v(1.0), 1);
        sensor(2).sensorGain = 0.0;
        sensor(4).sensorGain = 2.5;
        src(3).isVoxIn = 0;
    }
    void expectSensor(int k, double v) {
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 3; ++j) EXPECT_EQ(lf(i, k)[j], v) << i << k << j;
    }
};

TEST_F(Post, GainSignFlipsOnlyNonPositiveSensors) {
    m.isApplySnsGain = 0;
    EXPECT_EQ(m._21ApplySnsGain(0), 0);
    expectSensor(1, 1);
    ASSERT_EQ(m._21ApplySnsGain(1), 1);
    for (int k = 0; k < 3; ++k) expectSensor(k, k == 1 ? -1 : 1);  // every source, the one out of the scan too
    for (int id : {99, 3}) {  // entry not found, entry without sensor: not queried, unchanged
        src(0).pSnsLf[1].chnlID = id;
        ASSERT_EQ(m._21ApplySnsGain(1), 1);
        expectSensor(1, -1);
    }
}

TEST_F(Post, UnitLeadfieldDividesByLargestMagnitude) {
    MessageRecorder rec;
    ASSERT_EQ(m.setVoxSnsLfx2v(0.0), 1);
    EXPECT_EQ(m._22unitVoxSnsLf(1), 0);
    ASSERT_EQ(rec.texts(), std::vector<std::string>{"The range of leadfield is zero!"});
    EXPECT_EQ(rec.messages()[0].type, MB_OK);

    lf(2, 1)[0] = -3;
    lf(2, 1)[1] = 1;
    lf(3, 2)[2] = 2;
    EXPECT_EQ(m._22unitVoxSnsLf(0), 0);  // isUnitLf is 0 by default: nothing done
    EXPECT_EQ(lf(2, 1)[0], -3.0);
    m.isUnitLf = 1;
    ASSERT_EQ(m._22unitVoxSnsLf(0), 1);
    EXPECT_EQ(lf(2, 1)[0], -1.0);
    EXPECT_DOUBLE_EQ(lf(2, 1)[1], 1.0 / 3);
    EXPECT_DOUBLE_EQ(lf(3, 2)[2], 2.0 / 3);
}

TEST_F(Post, LeadfieldDewarStencil) {
    src(1).srcField.pos[1] = 100;  // on a coil: no nearest coil
    src(3).isVoxIn = 1;
    MessageRecorder rec;
    ASSERT_EQ(m._26stencilLf2dewar(), 1);
    // 23 deeper + 16 < 40: kept; without coil: kept, marked out; 25 deep + 16 > 40: zeroed, still in.
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k)
            for (int j = 0; j < 3; ++j) EXPECT_EQ(lf(i, k)[j], i == 2 ? 0.0 : 1.0) << i << k << j;
    EXPECT_EQ(voxIn(), (std::vector<int>{1, 0, 1, 1}));
    EXPECT_EQ(rec.count("Distance between coil and src almost zero"), 1);
}

TEST_F(Post, PostProcessingOrderAndRepeat) {
    m.coordSystem = m.isUnit2Meter = 1;
    m.spatUnit = 0.01;
    ASSERT_EQ(m.prepare4VoxSnsLfdScan(3), 1);
    lf(0, 1)[0] = 4;
    lf(0, 1)[1] = 2;
    m.isUnitLf = 1;
    // Restored to host axes (x, z, -y), sign flipped, divided by the largest
    // 4; again: no geometry change, the sign flips back, the scale is 1.
    for (double sign : {-1.0, 1.0}) {
        ASSERT_EQ(m.postScanLfProcess(), 1);
        EXPECT_EQ(lf(0, 1)[0], sign);
        EXPECT_EQ(lf(0, 1)[2], -0.5 * sign);
        expectNear3(src(0).srcField.pos, {0, 83, 0}, 1e-10);
    }
    m.isRestoreCoord = m.isRestoreUnit = m.isApplySnsGain = m.isUnitLf = 0;
    ASSERT_EQ(m.setVoxSnsLfx2v(0.0), 1);
    EXPECT_EQ(m.postScanLfProcess(), 1);  // nothing to do, no message
    m.isUnitLf = 1;
    MessageRecorder rec;
    EXPECT_EQ(m.postScanLfProcess(), 0);
}

}  // namespace
