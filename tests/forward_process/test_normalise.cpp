// Leadfield normalisation: the four scales, their failure messages, and the
// walk over records smaller than the manager's counts.
#include "ProcFixture.h"

struct CMDataForward01BscPrcsProbe {
    static int extrm(CMDataForward01BscPrcs& m) { return m.normVoxSnsLfd_Extrm(); }
    static int extrm3(CMDataForward01BscPrcs& m) { return m.normVoxSnsLfd_Extrm3(); }
    static int sumSqrt(CMDataForward01BscPrcs& m) { return m.normVoxSnsLfd_SumSqrt(); }
};

namespace {

using megfwd::test::MessageRecorder;
using In = CMDataForward01BscPrcsProbe;

// One source, one sensor, values 3 and -4 (numLf 2).
struct Norm : ::testing::Test {
    CMDataForwardkw m;
    void SetUp() override {
        ASSERT_EQ(m.initVoxSnsLfx(1, 1, 2), 1);
        set(3, -4);
    }
    void set(double a, double b) {
        m.pVoxSnsLfx[0].pSnsLf[0].pLf[0] = a;
        m.pVoxSnsLfx[0].pSnsLf[0].pLf[1] = b;
    }
    double v(int j) { return m.pVoxSnsLfx[0].pSnsLf[0].pLf[j]; }
};

TEST_F(Norm, ScalesOfTheFourVariants) {
    const double r = std::sqrt(12.5);
    ASSERT_EQ(m.normVoxSnsLfd_rootMeanSquare(), 1);
    EXPECT_DOUBLE_EQ(v(0), 3 / r);
    EXPECT_DOUBLE_EQ(v(1), -4 / r);
    EXPECT_EQ(m.isLfNormalized, 1);
    const double once[2] = {v(0), v(1)};
    ASSERT_EQ(m.normVoxSnsLfd_rootMeanSquare(), 1);  // scale 1 now
    EXPECT_NEAR(v(0), once[0], 1e-15);
    EXPECT_NEAR(v(1), once[1], 1e-15);
    EXPECT_EQ(m.isLfNormalized, 1);

    set(3, -4);
    ASSERT_EQ(In::extrm(m), 1);
    EXPECT_EQ(v(0), 0.75);
    EXPECT_EQ(v(1), -1.0);
    set(3, -4);
    ASSERT_EQ(In::extrm3(m), 1);
    EXPECT_EQ(v(0), 1.0);
    EXPECT_EQ(v(1), -1.0);
    set(3, -4);
    ASSERT_EQ(In::sumSqrt(m), 1);
    EXPECT_DOUBLE_EQ(v(0), 3 / 3.5);
    EXPECT_DOUBLE_EQ(v(1), -4 / 3.5);
}

TEST_F(Norm, ZeroValuesGiveMessagesAndChangeNothing) {
    MessageRecorder rec;
    set(0, 0);
    EXPECT_EQ(m.normVoxSnsLfd_rootMeanSquare(), 0);
    EXPECT_EQ(m.isLfNormalized, 0);
    EXPECT_EQ(In::extrm(m), 0);
    EXPECT_EQ(In::sumSqrt(m), 0);
    set(2, 0);  // one component without magnitude is enough
    EXPECT_EQ(In::extrm3(m), 0);
    EXPECT_EQ(v(0), 2.0);
    EXPECT_EQ(rec.texts(), (std::vector<std::string>{"RMS value in leadfields is smaller than zero!?",
                                                     "extrem value in leadfields is smaller than zero!?",
                                                     "sum value in leadfields is smaller than zero!?",
                                                     "extrem value in leadfields is smaller than zero!?"}));
}

TEST_F(Norm, OddCountsAndRecordsAreHandled) {
    MessageRecorder rec;
    ASSERT_EQ(m.initVoxSnsLfx(2, 1, 4), 1);
    m.pVoxSnsLfx[1].pSnsLf[0].pLf[3] = 8;
    m.pVoxSnsLfx[1].isVoxIn = 0;  // still takes part
    EXPECT_EQ(In::extrm3(m), 0);  // four components: refused
    EXPECT_EQ(m.pVoxSnsLfx[1].pSnsLf[0].pLf[3], 8.0);
    EXPECT_TRUE(rec.messages().empty());

    m.numSns = 3;  // the manager counts more sensors than the records hold
    m.pVoxSnsLfx[0].cleanSnsLfx();
    ASSERT_EQ(In::extrm(m), 1);
    EXPECT_EQ(m.pVoxSnsLfx[1].pSnsLf[0].pLf[3], 1.0);
    ASSERT_EQ(In::sumSqrt(m), 1);  // mean over numSrc x numSns x numLf = 24 values
    EXPECT_DOUBLE_EQ(m.pVoxSnsLfx[1].pSnsLf[0].pLf[3], 24.0);

    m.numLf = 0;
    EXPECT_EQ(m.normVoxSnsLfd_rootMeanSquare(), 0);
    EXPECT_TRUE(rec.messages().empty());
}

}  // namespace
