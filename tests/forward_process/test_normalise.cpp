// Leadfield normalisation: the four scales, their failure messages, and the
// walk over records smaller than the manager's counts.
#include "ProcFixture.h"

struct CMDataForward01BscPrcsProbe {
    static int rms(CMDataForward01BscPrcs& m) { return m.normVoxSnsLfd_rootMeanSquare(); }
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
    void SetUp() override { ASSERT_EQ(m.initVoxSnsLfx(1, 1, 2), 1); }
    double* v() { return m.pVoxSnsLfx[0].pSnsLf[0].pLf; }
    void set(double a, double b) { v()[0] = a, v()[1] = b; }
};

TEST_F(Norm, ScalesOfTheFourVariantsAndTheirFailures) {
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
    }
    EXPECT_EQ(m.isLfNormalized, 1);  // set by the root mean square only
    set(3 / r, -4 / r);
    ASSERT_EQ(In::rms(m), 1);  // scale 1 now
    EXPECT_NEAR(v()[0], 3 / r, 1e-15);
    EXPECT_NEAR(v()[1], -4 / r, 1e-15);
}

TEST_F(Norm, OddCountsAndRecordsAreHandled) {
    MessageRecorder rec;
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

}  // namespace
