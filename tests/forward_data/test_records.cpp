// Sensor and source leadfield records: values, strengths, rebuilds and their failures, copies, the SVD holder.
#include <gtest/gtest.h>

#include <cmath>

#include "Builders.h"
#include "forward_data/CFISrcSnsLf.h"

// Reaches the private projections of a source record.
struct CFISrcSnsLfInspect {
    static double one(CFISrcSnsLf& r, std::int64_t s) { return r.getVBcmpS(s); }
    static int many(CFISrcSnsLf& r, std::int64_t& n, double* out) { return r.getVBcmpAB(n, out); }
};

namespace {

using fwdtest::failingAfter;

TEST(SensorRecord, ValuesStrengthAndGain) {
    CFISnsLf r;
    EXPECT_TRUE(r.computLfStength() == 0 && r.lfStrength == 1.0);  // no values: strength kept
    ASSERT_EQ(r.initLf(2), 1);
    EXPECT_EQ(r.setLf(-1, 1.0) + r.setLf(2, 1.0), 0);
    EXPECT_EQ(r.setLf(0, 3.0) + r.setLf(1, 4.0), 2);
    EXPECT_EQ(r.initLf(2), 1);  // same count: values kept
    EXPECT_EQ(r.computLfStength(), 1);
    EXPECT_DOUBLE_EQ(r.lfStrength, std::sqrt(12.5));
    r.applyGain2Lf(-1.0);
    EXPECT_TRUE(r.getLf(1) == -4.0 && r.getLf(2) == 0.0);  // beyond the count: 0
    EXPECT_EQ(r.initLf(3), 1);  // new count: zeros
    EXPECT_EQ(r.getLf(0), 0.0);
    EXPECT_EQ(r.initLf(0), 1);
    EXPECT_TRUE(r.pLf == nullptr && r.numLf == 0);

    EXPECT_EQ(failingAfter(0, [&] { return r.initLf(3); }), 0);
    EXPECT_EQ(r.numLf, 3);  // count kept, no values: an empty record
    EXPECT_EQ(r.setLf(0, 1.0) + r.applyGain2Lf(2.0), 0);
}

TEST(SourceRecord, RebuildResetsAndFailureLeavesNoRecords) {
    CFISrcSnsLf r;
    r.isVoxIn = 0;
    r.srcField.pos[0] = 5.0;
    ASSERT_EQ(r.initSnsLfx(3, 2), 1);
    EXPECT_TRUE(r.checkSnsLf(3, 2) == 1 && r.isVoxIn == 1 && r.srcField.pos[0] == 0.0);  // a fresh record
    r.resetAllSnsLf2V(2.0);
    EXPECT_EQ(r.resetAllSnsBcmp2V(0.5), 1);
    EXPECT_EQ(r.pSnsLf[2].getLf(1), 2.0);
    EXPECT_EQ(r.computSrcLfStength(), 1);
    EXPECT_DOUBLE_EQ(r.pSnsLf[1].lfStrength, 2.0);
    EXPECT_EQ(r.copySrcInfo(nullptr), 0);

    ASSERT_NE(r.initSrcSvdData(-1, -1), nullptr);
    EXPECT_EQ(r.initSnsLfx(0, 3), 0);
    EXPECT_TRUE(r.pSnsLf == nullptr && r.pSvd == nullptr && r.numSns == 3);

    r.initSnsLfx(4, 3);
    EXPECT_EQ(failingAfter(2, [&] { return r.initSnsLfx(2, 5); }), 0);  // the second sensor's values fail
    EXPECT_TRUE(r.pSnsLf == nullptr && r.numSns == 4 && r.numLf == 3);
    EXPECT_EQ(r.resetAllSnsLf2V(1.0), 0);
    r.initSnsLfx(1, 1);
    r.cleanSnsLfx();
    EXPECT_EQ(r.checkSnsLf(1, 1), 0);  // counts kept, records gone
}

TEST(SourceRecord, CopyIsDeepAndSelfAssignmentSafe) {
    CFISrcSnsLf a;
    a.initSnsLfx(2, 2);
    a.pSnsLf[1].setLf(1, 4.0);
    a.pSnsLf[1].chnlID = 7;
    a.initSrcSvdData(-1, -1);
    a.pLU = megfwd::newObject<CDataLUkw>();

    CFISrcSnsLf b(a);
    EXPECT_EQ(b.pSnsLf[1].chnlID, 7);
    EXPECT_TRUE(b.pSvd != nullptr && b.pSvd != a.pSvd && b.pLU != nullptr && b.pQR == nullptr);  // holders copied
    b.pSnsLf[1].setLf(1, -1.0);
    EXPECT_EQ(a.pSnsLf[1].getLf(1), 4.0);
    b = CFISrcSnsLf();  // a source without records or holders releases ours
    EXPECT_TRUE(b.pSnsLf == nullptr && b.pLU == nullptr);
    CFISrcSnsLf& alias = a;
    a = alias;
    EXPECT_EQ(a.pSnsLf[1].getLf(1), 4.0);
}

TEST(SourceRecord, LeadfieldsGoIntoSvdMatrixAndProjectOnOrientation) {
    CFISrcSnsLf r;
    r.initSnsLfx(2, 2);
    r.pSnsLf[0].setLf(0, 2.0);
    r.pSnsLf[0].setLf(1, 5.0);
    r.pSnsLf[1].setLf(0, -1.0);
    std::int64_t n = -1;
    double out[2] = {9.0, 9.0};
    EXPECT_EQ(CFISrcSnsLfInspect::many(r, n, out), 0);  // no holder yet

    ASSERT_EQ(r.setleadfield2SVDu(), 1);
    EXPECT_EQ(r.pSvd->isDecomposed, 0);
    EXPECT_TRUE(r.pSvd->getMatrixPP()[0][1] == 5.0 && r.pSvd->getMatrixPP()[1][0] == -1.0);  // row per sensor
    r.pSvd->pOrientVct[0] = 1.0;
    EXPECT_TRUE(CFISrcSnsLfInspect::one(r, 0) == 2.0 && CFISrcSnsLfInspect::one(r, 2) == 0.0);
    EXPECT_EQ(CFISrcSnsLfInspect::many(r, n, out), 1);
    EXPECT_TRUE(n == 2 && out[1] == -1.0);
}

}  // namespace
