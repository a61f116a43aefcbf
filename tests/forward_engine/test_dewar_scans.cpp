// Dewar scans: the channel walk into sensor records, the record bookkeeping,
// refusal of records that cannot take a scan, and the leadfield-based
// field-value variants.
#include "ScanFixtures.h"

struct CMForward03Snsr06LfOptTestAccess {
    static int q6b1f(CMForward03Snsr06LfOpt& e, MAGFIELD* f, CMDataForwardkw* d, CFISrcSnsLf* r, bool ref) {
        return ref ? e.dewarMeaRefSns61Q6B1f(f, d, -1, r) : e.dewarMeaSns60Q6B1f(f, d, -1, r);
    }
};

namespace {

class DewarScan : public ::testing::Test {
protected:
    CMDTrialkw trial = scanfx::trial();
    CMDataForwardkw fwd;
    CMForwardkw eng;
    MAGFIELD f;
    void SetUp() override {
        scanfx::build(fwd, trial, 3, false);
        eng.pDataFwd = &fwd;
        eng.coilFwdModel = 2;
        f = rec(1).srcField;
        f.mom[0] = 0.4, f.mom[1] = -1.0, f.mom[2] = 0.3;
    }
    CFISrcSnsLf& rec(int i) { return fwd.pVoxSnsLfx[i]; }
    CMEGSensorkw* sns(int entry) { return fwd.pFwdChnl->pSnsCoils[entry].pMEGSns; }
    double value(int entry) { return eng.sns31Q6B1_AllPasSphere(sns(entry), &f, sns(entry)->localSphere, -1); }
};

// Channel order and the moment's values are checked through the grid scans;
// here the bookkeeping and the Select variant, which takes record k's sensor
// from its chnlID (a reference too) and refuses a chnlID naming no entry.
TEST_F(DewarScan, FieldValueBookkeepingAndSelectedSensors) {
    rec(0).srcBasis.nq = 5;
    ASSERT_EQ(eng.dewarMeaSns60Q6B1m(&f, &fwd, -1, &rec(0)), 1);
    EXPECT_EQ(rec(0).srcField.mom[2] + rec(0).srcField.pos[0], 0.3 + f.pos[0]);
    EXPECT_EQ(rec(0).srcBasis.nq + 10 * rec(0).srcField.posDim + 100 * rec(0).srcField.momDim, 330);
    rec(2).pSnsLf[1].chnlID = 5;
    ASSERT_EQ(eng.dewarMeaSns60Q6B1mSelect(&f, &fwd, -1, &rec(2)), 1);
    EXPECT_EQ(rec(2).pSnsLf[1].bcmp, value(5));
    EXPECT_EQ(rec(2).pSnsLf[2].bcmp, rec(0).pSnsLf[2].bcmp);
    EXPECT_EQ(rec(2).pSnsLf[2].bcmp, value(4));
    rec(2).pSnsLf[3].chnlID = 7, rec(2).pSnsLf[0].bcmp = 42.0;
    EXPECT_EQ(eng.dewarMeaSns60Q6B1mSelect(&f, &fwd, -1, &rec(2)), 0);
    EXPECT_EQ(rec(2).pSnsLf[0].bcmp, 42.0);
}

TEST_F(DewarScan, RecordsThatCannotTakeTheScanAreRefused) {
    megfwd::test::MessageRecorder msgs;
    CFISrcSnsLf small, shortLf;
    ASSERT_EQ(small.initSnsLfx(3, 3), 1);    // 4 measurement entries
    ASSERT_EQ(shortLf.initSnsLfx(4, 2), 1);  // 2 values for a 3-component scan
    EXPECT_EQ(eng.dewarMeaSns60Q6B1m(&f, &fwd, -1, &small), 0);
    EXPECT_EQ(eng.dewarMeaRefSns61Q6B1m(&f, &fwd, -1, &small), 0);
    EXPECT_EQ(eng.dewarMeaSns60Q6B1m(&f, &fwd, -1, &shortLf), 1);  // field values need no leadfield room
    for (CFISrcSnsLf* r : {&small, &shortLf}) {
        r->pSnsLf[0].bcmp = 7.0, r->pSnsLf[0].pLf[0] = 7.0;
        EXPECT_EQ(eng.dewarMeaSns60Q3Lfd(&f, &fwd, &fwd.singleSphere, -1, r), 0);
        EXPECT_EQ(eng.dewarMeaSns60Q3Lfx(&f, &fwd, &fwd.singleSphere, -1, r), 0);
        EXPECT_EQ(eng.dewarMeaRefSns61Q3Lfd(&f, &fwd, &fwd.singleSphere, -1, r), 0);
        EXPECT_EQ(eng.dewarMeaRefSns61Q3Lfx(&f, &fwd, &fwd.singleSphere, -1, r), 0);
        EXPECT_EQ(r->pSnsLf[0].bcmp + r->pSnsLf[0].pLf[0], 14.0);
        EXPECT_EQ(r->srcField.posDim, r == &shortLf ? 3 : 0);
    }
    fwd.isTangLfd = 1;  // two values are enough for two components, but a basis needs a sphere
    EXPECT_EQ(eng.dewarMeaRefSns61Q3Lfd(&f, &fwd, &fwd.singleSphere, -1, &shortLf), 1);
    EXPECT_EQ(eng.dewarMeaSns60Q3Lfd(&f, &fwd, nullptr, -1, &shortLf), 0);
    rec(3).pSnsLf[0].pLf[0] = 5.0;  // a bad order shows its message and writes nothing
    for (int bad : {0, 6}) EXPECT_EQ(eng.dewarMeaRefSns61Q3Lfx(&f, &fwd, &fwd.singleSphere, bad, &rec(3)), 0);
    EXPECT_EQ(rec(3).pSnsLf[0].pLf[0], 5.0);
    EXPECT_EQ(msgs.count(scanfx::kOrderText), 2);
    EXPECT_EQ(eng.dewarMeaSns60Q6B1m(&f, nullptr, -1, &rec(3)), 0);
}

// The manager's numLf picks the components; 1 shows "Wrong leafield number!"
// for each sensor and stores 0.
TEST_F(DewarScan, LeadfieldBasedFieldValueVariants) {
    megfwd::test::MessageRecorder msgs;
    for (bool ref : {false, true}) {
        ASSERT_EQ(ref ? eng.dewarMeaRefSns61Q6B1m(&f, &fwd, -1, &rec(0)) : eng.dewarMeaSns60Q6B1m(&f, &fwd, -1, &rec(0)), 1);
        rec(1).srcBasis.nq = 9;
        ASSERT_EQ(CMForward03Snsr06LfOptTestAccess::q6b1f(eng, &f, &fwd, &rec(1), ref), 1);
        double scale = 0.0;
        for (int k = 0; k < 4; ++k) scale = std::max(scale, std::abs(rec(0).pSnsLf[k].bcmp));
        for (int k = 0; k < 4; ++k) EXPECT_NEAR(rec(1).pSnsLf[k].bcmp, rec(0).pSnsLf[k].bcmp, 1e-9 * scale);
        EXPECT_GT(scale, 0.0);
        EXPECT_EQ(rec(1).srcBasis.nq, 9);
    }
    fwd.numLf = 1;
    EXPECT_EQ(CMForward03Snsr06LfOptTestAccess::q6b1f(eng, &f, &fwd, &rec(1), false), 1);
    EXPECT_EQ(msgs.count("Wrong leafield number!"), 4);
    EXPECT_EQ(rec(1).pSnsLf[2].bcmp, 0.0);
    fwd.numLf = 4;
    EXPECT_EQ(CMForward03Snsr06LfOptTestAccess::q6b1f(eng, &f, &fwd, &rec(1), true), 0);
}

}  // namespace
