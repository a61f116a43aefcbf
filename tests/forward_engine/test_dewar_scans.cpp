// Dewar scans: the channel walk into sensor records, reference correction,
// leadfields by unit moments against direct leadfields, the record
// bookkeeping, and refusal of records that cannot take a scan.
#include "ScanFixtures.h"

struct CMForward03Snsr06LfOptInspect {
    static int q6b1f(CMForward03Snsr06LfOpt& e, MAGFIELD* f, CMDataForwardkw* d, CFISrcSnsLf* r, bool ref) {
        return ref ? e.dewarMeaRefSns61Q6B1f(f, d, -1, r) : e.dewarMeaSns60Q6B1f(f, d, -1, r);
    }
};

namespace {

class DewarScan : public ::testing::Test {
protected:
    CMDTrialkw trial = scanfx::trial();
    CMDataForwardkw fwd;
    ScanEngine eng;
    void SetUp() override {
        scanfx::build(fwd, trial, 3, false);
        eng.pDataFwd = &fwd;
        eng.coilFwdModel = 2;
    }
    CFISrcSnsLf& rec(int i) { return fwd.pVoxSnsLfx[i]; }
    CMEGSensorkw* sns(int entry) { return fwd.pFwdChnl->pSnsCoils[entry].pMEGSns; }
    double tol() { return 1e-9 * scanfx::maxAbsLf(fwd); }
};

const int kMeaEntry[4] = {0, 1, 4, 6};

TEST_F(DewarScan, FieldValuesFollowTheMeasurementEntriesInChannelOrder) {
    MAGFIELD f = rec(1).srcField;
    f.mom[0] = 1.0, f.mom[2] = -2.0;
    rec(0).srcBasis.nq = 5;
    for (int model : {1, 0}) {
        eng.snsFwdModel = model;
        ASSERT_EQ(eng.dewarMeaSns60Q6B1m(&f, &fwd, -1, &rec(0)), 1);
        for (int k = 0; k < 4; ++k) {
            const double want = eng.sns31Q6B1_AllPasSphere(sns(kMeaEntry[k]), &f, sns(kMeaEntry[k])->localSphere, -1);
            EXPECT_EQ(rec(0).pSnsLf[k].bcmp, want);
            EXPECT_NE(want, 0.0);
        }
        EXPECT_EQ(rec(0).srcField.pos[0], f.pos[0]);
        EXPECT_EQ(rec(0).srcField.mom[2], -2.0);
        EXPECT_EQ(rec(0).srcBasis.nq, 0);
        EXPECT_EQ(rec(0).srcField.posDim, 3);
        EXPECT_EQ(rec(0).srcField.momDim, 3);
    }
    // Select: record k takes the sensor of its own chnlID, references too.
    rec(2).pSnsLf[1].chnlID = 5;
    ASSERT_EQ(eng.dewarMeaSns60Q6B1mSelect(&f, &fwd, -1, &rec(2)), 1);
    EXPECT_EQ(rec(2).pSnsLf[1].bcmp, eng.sns31Q6B1_AllPasSphere(sns(5), &f, sns(5)->localSphere, -1));
    EXPECT_EQ(rec(2).pSnsLf[2].bcmp, rec(0).pSnsLf[2].bcmp);
    rec(2).pSnsLf[3].chnlID = 7;
    rec(2).pSnsLf[0].bcmp = 42.0;
    EXPECT_EQ(eng.dewarMeaSns60Q6B1mSelect(&f, &fwd, -1, &rec(2)), 0);
    EXPECT_EQ(rec(2).pSnsLf[0].bcmp, 42.0);
}

// Corrected value = own value - sum of coef x reference value; the weight on
// channel 99 names no entry and is skipped; sensors without weights keep
// their own values. Checked for field values and for 3 and 2 components.
TEST_F(DewarScan, ReferenceCorrectionSubtractsTheWeightedReferences) {
    for (int comps : {1, 3, 2}) {
        fwd.isTangLfd = comps == 2;
        CFISrcSnsLf &own = rec(0), &cor = rec(1);
        MAGFIELD f = rec(1).srcField;
        f.mom[1] = 1.0, f.mom[2] = 0.5;
        double refVal[7][3] = {};
        for (int e : {3, 5}) {
            if (comps == 1) refVal[e][0] = eng.sns31Q6B1_AllPasSphere(sns(e), &f, sns(e)->localSphere, -1);
            else if (comps == 3) eng.sns33Q3Lf3D_All(sns(e), f.pos, sns(e)->localSphere, -1, refVal[e]);
        }
        if (comps == 1) {
            ASSERT_EQ(eng.dewarMeaSns60Q6B1m(&f, &fwd, -1, &own), 1);
            ASSERT_EQ(eng.dewarMeaRefSns61Q6B1m(&f, &fwd, -1, &cor), 1);
        } else {
            ASSERT_EQ(eng.dewarMeaSns60Q3Lfd(&f, &fwd, &fwd.singleSphere, -1, &own), 1);
            ASSERT_EQ(eng.dewarMeaRefSns61Q3Lfd(&f, &fwd, &fwd.singleSphere, -1, &cor), 1);
            EXPECT_EQ(cor.srcField.momDim, comps);
            EXPECT_EQ(own.srcField.momDim, 0);
            if (comps == 2)
                for (int e : {3, 5}) eng.sns33Q3Lf2D_All(sns(e), f.pos, sns(e)->localSphere, -1, &cor.srcBasis, refVal[e]);
        }
        ASSERT_EQ(fwd.refLfMtx.numRow, 7);
        ASSERT_EQ(fwd.refLfMtx.numCol, 3);
        const int n = comps == 1 ? 1 : comps;
        for (int m = 0; m < n; ++m) {
            auto v = [&](CFISrcSnsLf& r, int k) { return comps == 1 ? r.pSnsLf[k].bcmp : r.pSnsLf[k].pLf[m]; };
            const double scale = 1e-12 * (std::abs(v(own, 0)) + std::abs(refVal[3][m]) + std::abs(refVal[5][m]));
            EXPECT_NEAR(v(cor, 0), v(own, 0) - 0.3 * refVal[3][m] + 0.2 * refVal[5][m], scale);
            EXPECT_NEAR(v(cor, 2), v(own, 2) - 0.5 * refVal[5][m], scale);
            EXPECT_EQ(v(cor, 1), v(own, 1));
            EXPECT_EQ(v(cor, 3), v(own, 3));
            EXPECT_NE(refVal[5][m], 0.0);
        }
    }
}

// Leadfields by unit moments equal the direct ones for both sensor models,
// 3 and 2 components, with and without references.
TEST_F(DewarScan, UnitMomentLeadfieldsEqualDirectLeadfields) {
    eng.mu4PiRatio = 1e-7;
    for (int model : {1, 0})
        for (int comps : {3, 2})
            for (bool ref : {false, true}) {
                eng.snsFwdModel = model;
                fwd.isTangLfd = comps == 2;
                CFISrcSnsLf &d = rec(0), &x = rec(1);
                MAGFIELD f = rec(2).srcField;
                x.srcBasis.r[0] = 99.0;
                ASSERT_EQ(ref ? eng.dewarMeaRefSns61Q3Lfd(&f, &fwd, &fwd.singleSphere, 2, &d)
                              : eng.dewarMeaSns60Q3Lfd(&f, &fwd, &fwd.singleSphere, 2, &d), 1);
                ASSERT_EQ(ref ? eng.dewarMeaRefSns61Q3Lfx(&f, &fwd, &fwd.singleSphere, 2, &x)
                              : eng.dewarMeaSns60Q3Lfx(&f, &fwd, &fwd.singleSphere, 2, &x), 1);
                for (int k = 0; k < 4; ++k) {
                    for (int m = 0; m < comps; ++m)
                        EXPECT_NEAR(x.pSnsLf[k].pLf[m], d.pSnsLf[k].pLf[m], tol()) << model << comps << ref;
                    EXPECT_EQ(x.pSnsLf[k].bcmp, x.pSnsLf[k].pLf[comps - 1]);
                }
                EXPECT_EQ(x.srcBasis.nq, comps);
                EXPECT_EQ(d.srcBasis.nq, comps);
                for (int m = 0; m < 3; ++m) {
                    EXPECT_DOUBLE_EQ(x.srcBasis.r[m], f.pos[m] - scanfx::kCentre[m]);
                    EXPECT_EQ(x.srcField.mom[m], x.srcBasis.q[comps - 1][m]);
                }
            }
}

TEST_F(DewarScan, RecordsThatCannotTakeTheScanAreRefused) {
    megfwd::test::MessageRecorder msgs;
    MAGFIELD f = rec(0).srcField;
    f.mom[0] = 1.0;
    CFISrcSnsLf small;
    ASSERT_EQ(small.initSnsLfx(3, 3), 1);  // 4 measurement entries
    CFISrcSnsLf shortLf;
    ASSERT_EQ(shortLf.initSnsLfx(4, 2), 1);  // 2 values for a 3-component scan
    for (CFISrcSnsLf* r : {&small, &shortLf}) r->pSnsLf[0].bcmp = 7.0, r->pSnsLf[0].pLf[0] = 7.0;
    EXPECT_EQ(eng.dewarMeaSns60Q6B1m(&f, &fwd, -1, &small), 0);
    EXPECT_EQ(eng.dewarMeaRefSns61Q6B1m(&f, &fwd, -1, &small), 0);
    EXPECT_EQ(eng.dewarMeaSns60Q6B1m(&f, &fwd, -1, &shortLf), 1);  // field values need no leadfield room
    shortLf.pSnsLf[0].bcmp = 7.0;
    for (CFISrcSnsLf* r : {&small, &shortLf}) {
        EXPECT_EQ(eng.dewarMeaSns60Q3Lfd(&f, &fwd, &fwd.singleSphere, -1, r), 0);
        EXPECT_EQ(eng.dewarMeaSns60Q3Lfx(&f, &fwd, &fwd.singleSphere, -1, r), 0);
        EXPECT_EQ(eng.dewarMeaRefSns61Q3Lfd(&f, &fwd, &fwd.singleSphere, -1, r), 0);
        EXPECT_EQ(eng.dewarMeaRefSns61Q3Lfx(&f, &fwd, &fwd.singleSphere, -1, r), 0);
        EXPECT_EQ(r->pSnsLf[0].bcmp + r->pSnsLf[0].pLf[0], 14.0);
        EXPECT_EQ(r->srcField.posDim, r == &shortLf ? 3 : 0);
    }
    fwd.isTangLfd = 1;  // two values are enough for two components
    EXPECT_EQ(eng.dewarMeaRefSns61Q3Lfd(&f, &fwd, &fwd.singleSphere, -1, &shortLf), 1);
    EXPECT_EQ(eng.dewarMeaSns60Q3Lfd(&f, &fwd, nullptr, -1, &shortLf), 0);  // no sphere, no basis
    // A bad order shows its message and writes nothing.
    rec(3).pSnsLf[0].pLf[0] = 5.0;
    for (int bad : {0, 6})
        EXPECT_EQ(eng.dewarMeaRefSns61Q3Lfx(&f, &fwd, &fwd.singleSphere, bad, &rec(3)), 0);
    EXPECT_EQ(rec(3).pSnsLf[0].pLf[0], 5.0);
    EXPECT_EQ(msgs.count(scanfx::kOrderText), 2);
    EXPECT_EQ(eng.dewarMeaSns60Q6B1m(&f, nullptr, -1, &rec(3)), 0);
}

// The leadfield-based field-value variants: the manager's numLf picks the
// components; 1 shows "Wrong leafield number!" per sensor and stores 0.
TEST_F(DewarScan, LeadfieldBasedFieldValueVariants) {
    megfwd::test::MessageRecorder msgs;
    MAGFIELD f = rec(0).srcField;
    f.mom[0] = 0.4, f.mom[1] = -1.0, f.mom[2] = 0.3;
    for (bool ref : {false, true}) {
        ASSERT_EQ(ref ? eng.dewarMeaRefSns61Q6B1m(&f, &fwd, -1, &rec(0)) : eng.dewarMeaSns60Q6B1m(&f, &fwd, -1, &rec(0)), 1);
        rec(1).srcBasis.nq = 9;
        ASSERT_EQ(CMForward03Snsr06LfOptInspect::q6b1f(eng, &f, &fwd, &rec(1), ref), 1);
        double scale = 0.0;
        for (int k = 0; k < 4; ++k) scale = std::max(scale, std::abs(rec(0).pSnsLf[k].bcmp));
        for (int k = 0; k < 4; ++k) EXPECT_NEAR(rec(1).pSnsLf[k].bcmp, rec(0).pSnsLf[k].bcmp, 1e-9 * scale);
        EXPECT_GT(scale, 0.0);
        EXPECT_EQ(rec(1).srcBasis.nq, 9);
    }
    fwd.numLf = 1;
    EXPECT_EQ(CMForward03Snsr06LfOptInspect::q6b1f(eng, &f, &fwd, &rec(1), false), 1);
    EXPECT_EQ(msgs.count("Wrong leafield number!"), 4);
    EXPECT_EQ(rec(1).pSnsLf[2].bcmp, 0.0);
    fwd.numLf = 4;
    EXPECT_EQ(CMForward03Snsr06LfOptInspect::q6b1f(eng, &f, &fwd, &rec(1), true), 0);
}

}  // namespace
