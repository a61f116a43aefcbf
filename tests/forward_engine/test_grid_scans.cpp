// Dewar and grid scans on the hand-made system: leadfields against hand sums
// from the coil level (with reference correction), unit moments and field
// values against leadfields, physical sanity, record bookkeeping, and refused
// or failing scans.
#include "ScanFixtures.h"

struct CMForward03Snsr06LfOptTestAccess {
    static int q6b1f(CMForward03Snsr06LfOpt& e, MAGFIELD* f, CMDataForwardkw* d, CFISrcSnsLf* r, bool ref) {
        return ref ? e.dewarMeaRefSns61Q6B1f(f, d, -1, r) : e.dewarMeaSns60Q6B1f(f, d, -1, r);
    }
};

namespace {

using scanfx::kCentre;
using scanfx::kMea;

class GridScan : public ::testing::Test {
protected:
    CMDTrialkw trial = scanfx::trial();
    CMDataForwardkw fwd;
    CMForwardkw eng;
    MAGFIELD f;  // the dewar scans' source: record 1's point, a fixed moment
    void SetUp() override {
        scanfx::build(fwd, trial, 3, false);
        f = rec(1).srcField;
        f.mom[0] = 0.4, f.mom[1] = -1.0, f.mom[2] = 0.3;
    }
    CFISrcSnsLf& rec(std::size_t i) { return fwd.pVoxSnsLfx[i]; }
    static double* lf(CMDataForwardkw& d, int i, int k) { return d.pVoxSnsLfx[i].pSnsLf[k].pLf; }
    CForwardC0SnsCoilskw& entry(int i) { return fwd.pFwdChnl->pSnsCoils[i]; }
    std::vector<double> values() {  // every bcmp and value, whatever numSrc says
        std::vector<double> v;
        for (std::size_t i = 0; i < scanfx::sources().size(); ++i)
            for (int s = 0; s < rec(i).numSns; ++s) {
                v.push_back(rec(i).pSnsLf[s].bcmp);
                v.insert(v.end(), rec(i).pSnsLf[s].pLf, rec(i).pSnsLf[s].pLf + rec(i).pSnsLf[s].numLf);
            }
        return v;
    }
    void expectSameLf(CMDataForwardkw& other, int comps) {  // other's leadfields against fwd's
        const double tol = 1e-9 * scanfx::maxAbsLf(fwd);
        for (int i = 0; i < 4; ++i)
            for (int k = 0; k < 4; ++k)
                for (int m = 0; m < comps; ++m) EXPECT_NEAR(lf(other, i, k)[m], lf(fwd, i, k)[m], tol) << i << k << m;
    }
};

// Leadfields equal sums built by hand from the coil level: own value minus coef
// x reference value per weight (the weight on channel 99 names no entry; sensors
// 1 and 6 have none). Unit-moment leadfields equal them, and field values of a
// moment m are the leadfield dotted with m. For formula rows whose fixed factors
// agree, both sensor models, 2 and 3 components, with and without references.
TEST_F(GridScan, LeadfieldsEqualHandSumsAndUnitMomentsAndFieldValuesAgree) {
    const struct { int mag, code; double ratio; } rows[] = {{0, 0, 1e-7}, {0, 1, 1e-7}, {0, 2, 1}, {0, 4, 1}, {0, 5, 1},
                                                            {0, 6, 1}, {1, 0, 1}, {1, 1, 7.957747154594243e-11}, {1, 2, 1}};
    CMDataForwardkw x;
    CMDTrialkw t2 = scanfx::trial();
    scanfx::build(x, t2, 3, false);
    const double mom[3] = {0.7, -0.2, 1.1};
    for (const auto& r : rows)
        for (int model : {1, 0})
            for (int comps : {3, 2}) {
                const int useRef = (r.code + model) % 2;
                eng.isMagSrc = r.mag, eng.coilFwdModel = r.code, eng.mu4PiRatio = r.ratio, eng.snsFwdModel = model;
                eng.isUseRefSns = useRef, fwd.isTangLfd = x.isTangLfd = comps == 2;
                ASSERT_EQ(eng.gridDewarLfd(&fwd), 1);
                ASSERT_EQ(eng.gridDewarLfx(&x), 1);
                expectSameLf(x, comps);
                const double tol = 1e-9 * scanfx::maxAbsLf(fwd);
                EXPECT_GT(tol, 0.0);
                for (int i = 0; i < 4; ++i) {
                    const R3Q3x3* b = comps == 2 ? &rec(i).srcBasis : nullptr;
                    auto hand = [&](int e) { return scanfx::handLf(eng, *entry(e).pMEGSns, rec(i).srcField.pos, b); };
                    CFISrcSnsLf& xr = x.pVoxSnsLfx[i];
                    for (int k = 0; k < 4; ++k) {
                        auto want = hand(kMea[k]);
                        const CForwardC0SnsCoilskw& e = entry(kMea[k]);
                        for (int w = 0; useRef && w < e.numRefCoef; ++w) {
                            const auto ref = e.pRefCoef[w].chnlIdx < 7 ? hand(e.pRefCoef[w].chnlIdx) : std::array<double, 3>{};
                            for (int m = 0; m < 3; ++m) want[m] -= e.pRefCoef[w].coef * ref[m];
                        }
                        for (int m = 0; m < comps; ++m) EXPECT_NEAR(lf(fwd, i, k)[m], want[m], tol) << r.code << model << comps << i << k;
                        EXPECT_EQ(xr.pSnsLf[k].bcmp, xr.pSnsLf[k].pLf[comps - 1]);
                    }
                    EXPECT_EQ(rec(i).srcBasis.nq * 10 + rec(i).srcField.momDim, comps * 10 + (useRef ? comps : 0));
                    EXPECT_EQ(xr.srcBasis.nq, comps);
                    for (int m = 0; m < 3; ++m) {
                        EXPECT_DOUBLE_EQ(xr.srcBasis.r[m], xr.srcField.pos[m] - kCentre[m]);
                        EXPECT_EQ(xr.srcField.mom[m], xr.srcBasis.q[comps - 1][m]);
                        rec(i).srcField.mom[m] = mom[m];
                    }
                }
                if (comps == 2) continue;
                ASSERT_EQ(eng.gridDewarBcmp(&fwd), 1);
                for (int i = 0; i < 4; ++i)
                    for (int k = 0; k < 4; ++k) {
                        const double* l = lf(fwd, i, k);
                        EXPECT_NEAR(rec(i).pSnsLf[k].bcmp, l[0] * mom[0] + l[1] * mom[1] + l[2] * mom[2], 2 * tol);
                    }
            }
    EXPECT_EQ(fwd.refLfMtx.numRow * 10 + fwd.refLfMtx.numCol, 73);
}

TEST_F(GridScan, RadialDipolesAreSilentAndLeadfieldsFallOffWithDepth) {
    eng.coilFwdModel = 2;
    ASSERT_EQ(eng.gridDewarLfd(&fwd), 1);
    for (int i = 0; i < 4; ++i) {
        const double* p = rec(i).srcField.pos;
        const double r[3] = {p[0] - kCentre[0], p[1] - kCentre[1], p[2] - kCentre[2]};
        for (int k = 0; k < 4; ++k) {
            const double* l = lf(fwd, i, k);
            const double norm = std::hypot(l[0], l[1], l[2]);
            EXPECT_LT(std::abs(l[0] * r[0] + l[1] * r[1] + l[2] * r[2]), 1e-9 * norm * std::hypot(r[0], r[1], r[2]));
            EXPECT_GT(norm, 0.0);
        }
    }
    for (int i = 0; i < 4; ++i)  // straight below sensor 0, ever deeper: its x leadfield shrinks
        rec(i).srcField.pos[0] = rec(i).srcField.pos[2] = 0, rec(i).srcField.pos[1] = kCentre[1] + 70 - 20 * i;
    ASSERT_EQ(eng.gridDewarLfd(&fwd), 1);
    for (int i = 1; i < 4; ++i) EXPECT_LT(std::abs(lf(fwd, i, 0)[0]), std::abs(lf(fwd, i - 1, 0)[0]));
}

TEST_F(GridScan, SourcesOutOfTheScanAreClearedAndKeepTheirFieldPoint) {
    rec(1).isVoxIn = 0, rec(3).isVoxIn = 2;
    for (int i : {1, 3}) rec(i).srcField.mom[1] = 3.0, lf(fwd, i, 2)[1] = 8.0, rec(i).pSnsLf[2].bcmp = 8.0;
    rec(0).srcField.mom[0] = 1.0;
    ASSERT_EQ(eng.gridDewarLfx(&fwd), 1);
    ASSERT_EQ(eng.gridDewarBcmp(&fwd), 1);
    for (int i : {1, 3}) {
        EXPECT_EQ(rec(i).srcField.mom[1] + rec(i).srcField.momDim, 3.0);
        for (int k = 0; k < 4; ++k) EXPECT_EQ(rec(i).pSnsLf[k].bcmp + std::abs(lf(fwd, i, k)[1]), 0.0);
    }
    EXPECT_NE(rec(0).pSnsLf[0].bcmp, 0.0);
    EXPECT_NE(lf(fwd, 2, 3)[2], 0.0);
}

TEST_F(GridScan, ManagersBreakingTheConditionsAreRefusedUntouched) {
    for (int i = 0; i < 4; ++i) lf(fwd, i, 0)[0] = 6.0, rec(i).pSnsLf[0].bcmp = 6.0;
    const auto before = values();
    auto refusedAll = [&](const char* what) {
        EXPECT_EQ(eng.gridDewarLfd(&fwd) + eng.gridDewarLfx(&fwd) + eng.gridDewarBcmp(&fwd), 0) << what;
        EXPECT_EQ(eng.dewarSrcMom2Bcmp(&fwd, &f, &rec(0)), 0) << what;
        EXPECT_EQ(values(), before) << what;
    };
    fwd.numSns = 1;
    refusedAll("one sensor");
    fwd.numSns = 4, fwd.numSrc = 5;
    refusedAll("numSrc differs from the positions");
    fwd.numSrc = 4, fwd.numLf = 2;
    refusedAll("numLf differs from the records");
    fwd.numLf = 3;
    ASSERT_EQ(rec(2).initSnsLfx(3, 3), 1);  // fewer sensor records than measurement entries
    lf(fwd, 0, 0)[0] = 6.0;
    EXPECT_EQ(eng.gridDewarLfd(&fwd) + eng.gridDewarBcmp(&fwd), 0);
    rec(2).isVoxIn = 0;  // out of the scan it is only cleared
    EXPECT_EQ(eng.gridDewarBcmp(&fwd), 1);
    ASSERT_EQ(rec(2).initSnsLfx(4, 2), 1);  // too short for three components...
    EXPECT_EQ(eng.gridDewarLfx(&fwd), 0);
    EXPECT_EQ(lf(fwd, 0, 0)[0], 6.0);
    fwd.isTangLfd = 1;  // ...but enough for two
    EXPECT_EQ(eng.gridDewarLfd(&fwd), 1);
    CMForwardkw fresh;
    EXPECT_EQ(fresh.dewarSrcMom2Bcmp(nullptr, &f, &rec(0)), 0);
    EXPECT_EQ(eng.dewarSrcMom2Bcmp(nullptr, &f, &rec(0)), 1);  // the manager of the last scan
}

TEST_F(GridScan, FailingSourceStopsTheScanAndTheOrderIsChecked) {
    megfwd::test::MessageRecorder msgs;
    lf(fwd, 0, 1)[0] = lf(fwd, 3, 1)[0] = 4.0;
    eng.orderCoilIntg = 6;  // a bad order: the message, and nothing written
    EXPECT_EQ(eng.gridDewarLfd(&fwd) + eng.gridDewarLfx(&fwd), 0);
    EXPECT_EQ(msgs.count(scanfx::kOrderText), 2);
    EXPECT_EQ(lf(fwd, 0, 1)[0], 4.0);
    eng.orderCoilIntg = 2;
    delete entry(4).pMEGSns;  // a measurement entry without a sensor fails the leadfield scans
    entry(4).pMEGSns = nullptr;
    EXPECT_EQ(eng.gridDewarLfd(&fwd), 0);
    EXPECT_EQ(lf(fwd, 3, 1)[0], 4.0);
    EXPECT_EQ(eng.gridDewarBcmp(&fwd), 1);  // ...and reads 0 in the field-value scans
    EXPECT_EQ(rec(3).pSnsLf[2].bcmp, 0.0);
}

// The whole road: preparation with a sphere away from the origin (centring
// everything on it, local spheres set), then the scan: the same leadfields.
TEST_F(GridScan, PreparedManagerGivesTheSameLeadfields) {
    ASSERT_EQ(eng.gridDewarLfd(&fwd), 1);
    CMDataForwardkw prep;
    CMDTrialkw t2 = scanfx::trial();
    ASSERT_EQ(prep.initFwdChn(nullptr, &t2, 0, 0, 1), 1);
    CVirtSnsPOXlistkw list;
    for (auto& p : scanfx::sources()) list.addPosition(p[0] + kCentre[0], p[1] + kCentre[1], p[2] + kCentre[2]);
    ASSERT_EQ(prep.initFwdPosVsp(&list), 1);
    prep.sphereModel = 1, prep.isSpatConstrained = 0;
    prep.userSphere.setSphere(kCentre[0], kCentre[1], kCentre[2], 90.0);
    ASSERT_EQ(prep.prepare4VoxSnsLfdScan(3), 1);
    ASSERT_EQ(eng.gridDewarLfd(&prep), 1);
    expectSameLf(prep, 3);
}

using DewarScan = GridScan;

// Channel order and the moment's values are checked through the grid scans;
// here the bookkeeping and the Select variant, which takes record k's sensor
// from its chnlID (a reference too) and refuses a chnlID naming no entry.
TEST_F(DewarScan, FieldValueBookkeepingAndSelectedSensors) {
    eng.coilFwdModel = 2;
    auto value = [&](int i) { return eng.sns31Q6B1_AllPasSphere(entry(i).pMEGSns, &f, entry(i).pMEGSns->localSphere, -1); };
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
    CFISrcSnsLf small, shortLf;
    ASSERT_EQ(small.initSnsLfx(3, 3), 1);    // 4 measurement entries
    ASSERT_EQ(shortLf.initSnsLfx(4, 2), 1);  // 2 values for a 3-component scan
    EXPECT_EQ(eng.dewarMeaSns60Q6B1m(&f, &fwd, -1, &small) + eng.dewarMeaRefSns61Q6B1m(&f, &fwd, -1, &small), 0);
    EXPECT_EQ(eng.dewarMeaSns60Q6B1m(&f, &fwd, -1, &shortLf), 1);  // field values need no leadfield room
    CSpherekw* sph = &fwd.singleSphere;
    for (CFISrcSnsLf* r : {&small, &shortLf}) {
        r->pSnsLf[0].bcmp = 7.0, r->pSnsLf[0].pLf[0] = 7.0;
        EXPECT_EQ(eng.dewarMeaSns60Q3Lfd(&f, &fwd, sph, -1, r) + eng.dewarMeaSns60Q3Lfx(&f, &fwd, sph, -1, r) +
                      eng.dewarMeaRefSns61Q3Lfd(&f, &fwd, sph, -1, r) + eng.dewarMeaRefSns61Q3Lfx(&f, &fwd, sph, -1, r), 0);
        EXPECT_EQ(r->pSnsLf[0].bcmp + r->pSnsLf[0].pLf[0], 14.0);
        EXPECT_EQ(r->srcField.posDim, r == &shortLf ? 3 : 0);
    }
    fwd.isTangLfd = 1;  // two values are enough for two components, but a basis needs a sphere
    EXPECT_EQ(eng.dewarMeaRefSns61Q3Lfd(&f, &fwd, sph, -1, &shortLf), 1);
    EXPECT_EQ(eng.dewarMeaSns60Q3Lfd(&f, &fwd, nullptr, -1, &shortLf), 0);
    EXPECT_EQ(eng.dewarMeaSns60Q6B1m(&f, nullptr, -1, &rec(3)), 0);
}

// Leadfield-based field values equal the point-formula ones; the manager's
// numLf picks the components, 1 shows "Wrong leafield number!" per sensor and stores 0.
TEST_F(DewarScan, LeadfieldBasedFieldValueVariants) {
    megfwd::test::MessageRecorder msgs;
    eng.coilFwdModel = 2;
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
