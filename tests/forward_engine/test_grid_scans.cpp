// Grid scans end to end on the hand-made system: leadfields against sums built
// by hand from the coil-level dispatchers, unit-moment leadfields against
// direct ones, field values against leadfields, physical sanity, sources out
// of the scan, and refusal of managers that break the scan's conditions.
#include "ScanFixtures.h"

namespace {

using scanfx::kCentre;

class GridScan : public ::testing::Test {
protected:
    CMDTrialkw trial = scanfx::trial();
    CMDataForwardkw fwd;
    ScanEngine eng;
    void SetUp() override { scanfx::build(fwd, trial, 3, false); }
    CFISrcSnsLf& rec(std::size_t i) { return fwd.pVoxSnsLfx[i]; }
    CForwardC0SnsCoilskw& entry(int i) { return fwd.pFwdChnl->pSnsCoils[i]; }
    std::vector<double> values() {
        std::vector<double> v;
        for (std::size_t i = 0; i < scanfx::sources().size(); ++i)  // whatever numSrc says
            for (int s = 0; s < rec(i).numSns; ++s) {
                v.push_back(rec(i).pSnsLf[s].bcmp);
                for (int k = 0; k < rec(i).pSnsLf[s].numLf; ++k) v.push_back(rec(i).pSnsLf[s].pLf[k]);
            }
        return v;
    }
};

const int kMea[4] = {0, 1, 4, 6};

TEST_F(GridScan, LeadfieldsEqualHandSumsFromTheCoilLevel) {
    for (int model : {1, 0})
        for (int comps : {3, 2})
            for (int useRef : {1, 0}) {
                eng.snsFwdModel = model, eng.isUseRefSns = useRef, eng.coilFwdModel = model ? 2 : 0;
                fwd.isTangLfd = comps == 2;
                ASSERT_EQ(eng.gridDewarLfd(&fwd), 1);
                const double tol = 1e-9 * scanfx::maxAbsLf(fwd);
                for (int i = 0; i < fwd.numSrc; ++i) {
                    const R3Q3x3* b = comps == 2 ? &rec(i).srcBasis : nullptr;
                    auto lf = [&](int e) { return scanfx::handLf(eng, *entry(e).pMEGSns, rec(i).srcField.pos, b); };
                    for (int k = 0; k < 4; ++k) {
                        auto want = lf(kMea[k]);
                        const CForwardC0SnsCoilskw& e = entry(kMea[k]);
                        for (int w = 0; useRef && w < e.numRefCoef; ++w)
                            if (e.pRefCoef[w].chnlIdx < 7) {
                                const auto r = lf(e.pRefCoef[w].chnlIdx);
                                for (int m = 0; m < 3; ++m) want[m] -= e.pRefCoef[w].coef * r[m];
                            }
                        for (int m = 0; m < comps; ++m)
                            EXPECT_NEAR(rec(i).pSnsLf[k].pLf[m], want[m], tol) << model << comps << useRef << i << k;
                    }
                    EXPECT_EQ(rec(i).srcBasis.nq, comps);
                    EXPECT_EQ(rec(i).srcField.momDim, useRef ? comps : 0);
                }
                EXPECT_GT(scanfx::maxAbsLf(fwd), 0.0);
            }
}

// Unit-moment leadfields equal direct ones, and field values of a moment m
// equal the leadfield dotted with m (with references), for several formula
// rows, both sensor models and 2 and 3 components.
TEST_F(GridScan, UnitMomentsAndFieldValuesAgreeWithLeadfields) {
    struct Row { int mag, code; double ratio; };
    const Row rows[] = {{0, 0, 1e-7}, {0, 1, 1e-7}, {0, 2, 1}, {0, 4, 1}, {0, 5, 1}, {0, 6, 1},
                        {1, 0, 1}, {1, 1, 7.957747154594243e-11}, {1, 2, 1}};
    CMDataForwardkw other;
    CMDTrialkw t2 = scanfx::trial();
    scanfx::build(other, t2, 3, false);
    for (const Row& r : rows)
        for (int model : {1, 0})
            for (int comps : {3, 2}) {
                eng.isMagSrc = r.mag, eng.coilFwdModel = r.code, eng.mu4PiRatio = r.ratio, eng.snsFwdModel = model;
                fwd.isTangLfd = other.isTangLfd = comps == 2;
                ASSERT_EQ(eng.gridDewarLfd(&fwd), 1);
                ASSERT_EQ(eng.gridDewarLfx(&other), 1);
                const double tol = 1e-9 * scanfx::maxAbsLf(fwd);
                for (int i = 0; i < fwd.numSrc; ++i)
                    for (int k = 0; k < 4; ++k)
                        for (int m = 0; m < comps; ++m)
                            EXPECT_NEAR(other.pVoxSnsLfx[i].pSnsLf[k].pLf[m], rec(i).pSnsLf[k].pLf[m], tol)
                                << r.mag << r.code << model << comps;
                if (comps == 2) continue;
                const double mom[3] = {0.7, -0.2, 1.1};
                for (int i = 0; i < fwd.numSrc; ++i)
                    for (int m = 0; m < 3; ++m) rec(i).srcField.mom[m] = mom[m];
                ASSERT_EQ(eng.gridDewarBcmp(&fwd), 1);
                for (int i = 0; i < fwd.numSrc; ++i)
                    for (int k = 0; k < 4; ++k) {
                        const double* l = rec(i).pSnsLf[k].pLf;
                        EXPECT_NEAR(rec(i).pSnsLf[k].bcmp, l[0] * mom[0] + l[1] * mom[1] + l[2] * mom[2], 2 * tol);
                    }
            }
}

TEST_F(GridScan, RadialDipolesAreSilentAndLeadfieldsFallOffWithDepth) {
    eng.coilFwdModel = 2;
    eng.isUseRefSns = 0;
    ASSERT_EQ(eng.gridDewarLfd(&fwd), 1);
    for (int i = 0; i < fwd.numSrc; ++i) {
        const double* r = rec(i).srcField.pos;
        const double rr[3] = {r[0] - kCentre[0], r[1] - kCentre[1], r[2] - kCentre[2]};
        for (int k = 0; k < 4; ++k) {
            const double* l = rec(i).pSnsLf[k].pLf;
            const double norm = std::sqrt(l[0] * l[0] + l[1] * l[1] + l[2] * l[2]);
            const double radial = (l[0] * rr[0] + l[1] * rr[1] + l[2] * rr[2]) / std::sqrt(rr[0] * rr[0] + rr[1] * rr[1] + rr[2] * rr[2]);
            EXPECT_LT(std::abs(radial), 1e-9 * norm);
            EXPECT_GT(norm, 0.0);
        }
    }
    // Sources below sensor 0 (straight up), ever deeper: its x leadfield shrinks.
    for (int i = 0; i < fwd.numSrc; ++i) rec(i).srcField.pos[0] = 0, rec(i).srcField.pos[1] = kCentre[1] + 70 - 20 * i, rec(i).srcField.pos[2] = 0;
    ASSERT_EQ(eng.gridDewarLfd(&fwd), 1);
    for (int i = 1; i < fwd.numSrc; ++i)
        EXPECT_LT(std::abs(rec(i).pSnsLf[0].pLf[0]), std::abs(rec(i - 1).pSnsLf[0].pLf[0]));
}

TEST_F(GridScan, SourcesOutOfTheScanAreClearedAndKeepTheirFieldPoint) {
    rec(1).isVoxIn = 0, rec(3).isVoxIn = 2;
    for (int i : {1, 3}) rec(i).srcField.mom[1] = 3.0, rec(i).pSnsLf[2].pLf[1] = 8.0, rec(i).pSnsLf[2].bcmp = 8.0;
    rec(0).srcField.mom[0] = 1.0, rec(2).srcField.mom[2] = 1.0;
    ASSERT_EQ(eng.gridDewarLfx(&fwd), 1);
    ASSERT_EQ(eng.gridDewarBcmp(&fwd), 1);
    for (int i : {1, 3}) {
        EXPECT_EQ(rec(i).srcField.mom[1], 3.0);
        EXPECT_EQ(rec(i).srcField.momDim, 0);
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(rec(i).pSnsLf[k].bcmp, 0.0);
            for (int m = 0; m < 3; ++m) EXPECT_EQ(rec(i).pSnsLf[k].pLf[m], 0.0);
        }
    }
    EXPECT_NE(rec(0).pSnsLf[0].bcmp, 0.0);
    EXPECT_NE(rec(2).pSnsLf[3].pLf[2], 0.0);
}

TEST_F(GridScan, ManagersBreakingTheConditionsAreRefusedUntouched) {
    for (int i = 0; i < fwd.numSrc; ++i) rec(i).pSnsLf[0].pLf[0] = 6.0, rec(i).pSnsLf[0].bcmp = 6.0;
    const auto before = values();
    auto refusedAll = [&](const char* what) {
        EXPECT_EQ(eng.gridDewarLfd(&fwd), 0) << what;
        EXPECT_EQ(eng.gridDewarLfx(&fwd), 0) << what;
        EXPECT_EQ(eng.gridDewarBcmp(&fwd), 0) << what;
        MAGFIELD f;
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
    CFISrcSnsLf keep;
    std::swap(keep.pSnsLf, rec(2).pSnsLf);
    std::swap(keep.numSns, rec(2).numSns);
    ASSERT_EQ(rec(2).initSnsLfx(3, 3), 1);  // fewer sensor records than measurement entries
    EXPECT_EQ(eng.gridDewarLfd(&fwd), 0);
    EXPECT_EQ(eng.gridDewarBcmp(&fwd), 0);
    rec(2).isVoxIn = 0;  // out of the scan it is only cleared
    EXPECT_EQ(eng.gridDewarBcmp(&fwd), 1);
    ASSERT_EQ(rec(2).initSnsLfx(4, 2), 1);  // too short for three components...
    rec(2).isVoxIn = 1;
    rec(0).pSnsLf[0].pLf[0] = 6.0;
    EXPECT_EQ(eng.gridDewarLfx(&fwd), 0);
    EXPECT_EQ(rec(0).pSnsLf[0].pLf[0], 6.0);
    fwd.isTangLfd = 1;  // ...but enough for two
    EXPECT_EQ(eng.gridDewarLfd(&fwd), 1);
    CMForwardkw fresh;
    MAGFIELD f = rec(0).srcField;
    EXPECT_EQ(fresh.dewarSrcMom2Bcmp(nullptr, &f, &rec(0)), 0);
    EXPECT_EQ(eng.dewarSrcMom2Bcmp(nullptr, &f, &rec(0)), 1);  // the manager of the last scan
}

TEST_F(GridScan, FailingSourceStopsTheScanAndTheOrderIsChecked) {
    megfwd::test::MessageRecorder msgs;
    rec(3).pSnsLf[1].pLf[0] = 4.0;
    eng.orderCoilIntg = 6;
    EXPECT_EQ(eng.gridDewarLfd(&fwd), 0);
    EXPECT_EQ(msgs.count(scanfx::kOrderText), 1);
    eng.orderCoilIntg = 2;
    delete entry(4).pMEGSns;  // a measurement entry without a sensor fails the leadfield scans
    entry(4).pMEGSns = nullptr;
    EXPECT_EQ(eng.gridDewarLfd(&fwd), 0);
    EXPECT_EQ(rec(3).pSnsLf[1].pLf[0], 4.0);
    EXPECT_EQ(eng.gridDewarBcmp(&fwd), 1);  // ...but reads 0 in the field-value scans
    EXPECT_EQ(rec(3).pSnsLf[2].bcmp, 0.0);
}

// The whole road: preparation of a sphere away from the origin (centred,
// with every local sphere set) then the scan gives the hand-built leadfields.
TEST_F(GridScan, PreparedManagerGivesTheSameLeadfields) {
    eng.coilFwdModel = 2;
    ASSERT_EQ(eng.gridDewarLfd(&fwd), 1);
    CMDataForwardkw prep;
    CMDTrialkw t2 = scanfx::trial();
    ASSERT_EQ(prep.initFwdChn(nullptr, &t2, 0, 0, 1), 1);
    CVirtSnsPOXlistkw list;
    for (auto& p : scanfx::sources()) list.addPosition(p[0] + kCentre[0], p[1] + kCentre[1], p[2] + kCentre[2]);
    ASSERT_EQ(prep.initFwdPosVsp(&list), 1);
    prep.sphereModel = 1;
    prep.userSphere.setSphere(kCentre[0], kCentre[1], kCentre[2], 90.0);
    prep.isSpatConstrained = 0;
    ASSERT_EQ(prep.prepare4VoxSnsLfdScan(3), 1);
    ASSERT_EQ(eng.gridDewarLfd(&prep), 1);
    const double tol = 1e-9 * scanfx::maxAbsLf(fwd);
    for (int i = 0; i < fwd.numSrc; ++i)
        for (int k = 0; k < 4; ++k)
            for (int m = 0; m < 3; ++m)
                EXPECT_NEAR(prep.pVoxSnsLfx[i].pSnsLf[k].pLf[m], rec(i).pSnsLf[k].pLf[m], tol);
}

}  // namespace
