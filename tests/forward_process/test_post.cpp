// After a scan: the four normalisations, sensor-gain signs, unit-size
// leadfields, the leadfield dewar stencil and the step order.
#include "ProcFixture.h"

struct CMDataForward01BscPrcsProbe {
    static int rms(CMDataForward01BscPrcs& m) { return m.normVoxSnsLfd_rootMeanSquare(); }
    static int extrm(CMDataForward01BscPrcs& m) { return m.normVoxSnsLfd_Extrm(); }
    static int extrm3(CMDataForward01BscPrcs& m) { return m.normVoxSnsLfd_Extrm3(); }
    static int sumSqrt(CMDataForward01BscPrcs& m) { return m.normVoxSnsLfd_SumSqrt(); }
};

namespace {

using namespace proctest;
using In = CMDataForward01BscPrcsProbe;

// One source, one sensor, two components.
struct Norm : ::testing::Test {
    CMDataForwardkw m;
    void SetUp() override { ASSERT_EQ(m.initVoxSnsLfx(1, 1, 2), 1); }
    double* v() { return m.pVoxSnsLfx[0].pSnsLf[0].pLf; }
    void set(double a, double b) { v()[0] = a, v()[1] = b; }
};

TEST_F(Norm, FourScalesTheirFailuresAndOddCounts) {
    const double r = std::sqrt(12.5);
    struct Case { int (*fn)(CMDataForward01BscPrcs&); double a, b, zero; const char* msg; };
    for (const Case& c : {Case{In::rms, 3 / r, -4 / r, 0, "RMS value in leadfields is smaller than zero!?"},
                          {In::extrm, 0.75, -1, 0, "extrem value in leadfields is smaller than zero!?"},
                          {In::extrm3, 1, -1, 2, "extrem value in leadfields is smaller than zero!?"},  // per component
                          {In::sumSqrt, 3 / 3.5, -4 / 3.5, 0, "sum value in leadfields is smaller than zero!?"}}) {
        MessageRecorder rec;
        set(c.zero, 0);  // no magnitude: refused with the message, nothing changed
        const int flag = m.isLfNormalized;
        EXPECT_EQ(c.fn(m), 0);
        EXPECT_TRUE(v()[0] == c.zero && m.isLfNormalized == flag);
        EXPECT_EQ(rec.texts(), std::vector<std::string>{c.msg});
        set(3, -4);
        ASSERT_EQ(c.fn(m), 1);
        EXPECT_DOUBLE_EQ(v()[0], c.a);
        EXPECT_DOUBLE_EQ(v()[1], c.b);
        ASSERT_EQ(c.fn(m), 1);  // again: the scale is 1 now
        EXPECT_NEAR(v()[0], c.a, 1e-15);
        EXPECT_NEAR(v()[1], c.b, 1e-15);
    }
    EXPECT_EQ(m.isLfNormalized, 1);  // marked by the root mean square

    MessageRecorder rec;  // odd counts and records, no messages
    ASSERT_EQ(m.initVoxSnsLfx(2, 1, 4), 1);
    m.pVoxSnsLfx[1].pSnsLf[0].pLf[3] = 8;
    m.pVoxSnsLfx[1].isVoxIn = 0;  // still takes part
    EXPECT_EQ(In::extrm3(m), 0);  // four components: refused
    EXPECT_EQ(m.pVoxSnsLfx[1].pSnsLf[0].pLf[3], 8.0);

    m.numSns = 3;  // the manager counts more sensors than the records hold
    m.pVoxSnsLfx[0].cleanSnsLfx();
    ASSERT_EQ(In::extrm(m), 1);
    EXPECT_EQ(m.pVoxSnsLfx[1].pSnsLf[0].pLf[3], 1.0);
    ASSERT_EQ(In::sumSqrt(m), 1);  // mean over numSrc x numSns x numLf = 24 values
    EXPECT_DOUBLE_EQ(m.pVoxSnsLfx[1].pSnsLf[0].pLf[3], 24.0);

    m.numLf = 0;
    EXPECT_EQ(In::rms(m), 0);
    EXPECT_TRUE(rec.messages().empty());
}


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

TEST_F(Post, GainSignFlipsOnlyNonPositiveSensorsAndUnitLeadfieldScales) {
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

    MessageRecorder rec;  // the unit leadfield divides by the largest magnitude
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

TEST_F(Post, UnitFactorIsNotLookedAtWithNothingToRestore) {
    // Prepared in millimetres, so the unit restore has nothing to divide and
    // a factor of 0 must not stop the sensor gains and the unit leadfield.
    m.spatUnit = 0.0;
    m.isUnitLf = 1;
    lf(0, 2)[0] = 4;
    ASSERT_EQ(m.postScanLfProcess(), 1);
    EXPECT_EQ(lf(0, 2)[0], 1.0);
    expectSensor(1, -0.25);
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
    // Host axes (x, z, -y), sign flipped, divided by 4; again: no geometry change, sign back, scale 1.
    for (double sign : {-1.0, 1.0}) {
        ASSERT_EQ(m.postScanLfProcess(), 1);
        EXPECT_TRUE(lf(0, 1)[0] == sign && lf(0, 1)[2] == -0.5 * sign) << sign;
        expectPoints({{src(0).srcField.pos, {0, 83, 0}}}, 1e-10);
    }
    m.isRestoreCoord = m.isRestoreUnit = m.isApplySnsGain = m.isUnitLf = 0;
    ASSERT_EQ(m.setVoxSnsLfx2v(0.0), 1);
    EXPECT_EQ(m.postScanLfProcess(), 1);  // nothing to do, no message
    m.isUnitLf = 1;
    MessageRecorder rec;
    EXPECT_EQ(m.postScanLfProcess(), 0);
}

}  // namespace
