// Sensor-level, dewar and grid scans on a small hand-made MEG system (sensors around
// a sphere off the origin, two references, a non-MEG channel, reference weights):
// hand sums, physical sanity, record bookkeeping, refused or failing scans.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "forward_process/CMDataForwardkw.h"
#include "forward_engine/CMForwardkw.h"
#include "support/MessageRecorder.h"

struct CMForward03Snsr06LfOptTestAccess {
    static int q6b1f(CMForward03Snsr06LfOpt& e, MAGFIELD* f, CMDataForwardkw* d, CFISrcSnsLf* r, bool ref) {
        return ref ? e.dewarMeaRefSns61Q6B1f(f, d, -1, r) : e.dewarMeaSns60Q6B1f(f, d, -1, r);
    }
};

namespace {

constexpr double kCentre[3] = {0.0, 10.0, 0.0};
const char* const kOrderText = "The order for sensor coil integration in forward computer is out of range!";
constexpr int kMea[4] = {0, 1, 4, 6};  // measurement entries in channel order

// A magnetometer (one coil `dist` from the centre along dir) or a gradiometer
// (a second coil 50 mm further out with factor and weight -1).
CMEGSensorkw sensor(const double* dir, bool gradiometer, double dist = 110.0) {
    CMEGSensorkw s;
    for (int i = 0; i < (gradiometer ? 2 : 1); ++i) {
        const double d = dist + 50.0 * i, p[3] = {kCentre[0] + d * dir[0], kCentre[1] + d * dir[1], kCentre[2] + d * dir[2]};
        CBscMagSnskw k;
        k.setCoil(p, dir, 9.0, i ? -1 : 1, i ? -1.0 : 1.0);
        s.addCoil(k);
    }
    return s;
}

// 0 gradiometer (weights on 3, 5 and a missing 99), 1 magnetometer, 2 non-MEG, 3
// reference gradiometer, 4 gradiometer (weight on 5), 5 reference magnetometer, 6 magnetometer.
CMDTrialkw makeTrial() {
    const double up[3] = {0, 1, 0}, d1[3] = {0.6, 0.8, 0}, d4[3] = {0, 0.8, 0.6}, d6[3] = {-0.6, 0.8, 0};
    const double side[3] = {1, 0, 0};
    CMEGSensorkw r5 = sensor(side, false, 0.0);
    r5.getCoil(0)->coilPos[1] += 260.0;
    const struct { int kind; CMEGSensorkw s; std::vector<REFCOEF> refs; } chans[] = {
        {101, sensor(up, true), {{0.3, 3, "R3"}, {-0.2, 5, "R5"}, {5.0, 99, "none"}}},
        {100, sensor(d1, false), {}}, {200, CMEGSensorkw(), {}}, {11, sensor(up, true, 250.0), {}},
        {101, sensor(d4, true), {{0.5, 5, "R5"}}}, {10, r5, {}}, {100, sensor(d6, false), {}}};
    CMDTrialkw t;
    for (const auto& c : chans) {
        CMDChannelkw ch;
        ch.snsKind = c.kind;
        if (c.kind != 200) ch.setSensor(c.s);
        if (!c.refs.empty()) ch.setRefCoefs(c.refs);
        t.addChannel(ch);
    }
    return t;
}

constexpr double kSources[4][3] = {{0, 50, 0}, {20, 40, 10}, {-15, 60, -20}, {5, 30, 30}};  // from kCentre

void addChannelsAndSources(CMDataForwardkw& fwd, CMDTrialkw& t) {
    ASSERT_EQ(fwd.initFwdChn(nullptr, &t, 0, 0, 1), 1);
    CVirtSnsPOXlistkw list;
    for (auto& p : kSources) list.addPosition(p[0] + kCentre[0], p[1] + kCentre[1], p[2] + kCentre[2]);
    ASSERT_EQ(fwd.initFwdPosVsp(&list), 1);
}

// A manager as preparation leaves it: channels with references, records of
// three values with positions and sensor identities, every sphere at kCentre.
void build(CMDataForwardkw& fwd, CMDTrialkw& t) {
    addChannelsAndSources(fwd, t);
    ASSERT_EQ(fwd.initVoxSnsLfx(-1, -1, 3), 1);
    fwd.singleSphere.setSphere(kCentre[0], kCentre[1], kCentre[2], 90.0);
    for (std::int64_t i = 0; i < fwd.pFwdChnl->numChnl; ++i)
        if (CMEGSensorkw* s = fwd.pFwdChnl->pSnsCoils[i].pMEGSns)
            for (int m = 0; m < 4; ++m) s->localSphere[m] = m < 3 ? kCentre[m] : 90.0;
    for (std::int64_t i = 0; i < fwd.numSrc; ++i) {
        CFISrcSnsLf& rec = fwd.pVoxSnsLfx[i];
        for (int m = 0; m < 3; ++m) rec.srcField.pos[m] = fwd.pFwdPos->ppPos[i][m];
        rec.srcField.posDim = 3;
        for (int k = 0; k < 4; ++k) rec.pSnsLf[k].chnlID = kMea[k], rec.pSnsLf[k].snsID = k;
    }
}

// One sensor's leadfield by hand from the coil-level dispatchers: CTF with points and nTurns,
// standard with coil weights; two components projected (CTF) or from the 2D dispatcher.
std::array<double, 3> handLf(CMForwardkw& e, const CMEGSensorkw& snsIn, const double* src, const R3Q3x3* basis) {
    CMEGSensorkw s(snsIn);
    const double* o = s.localSphere;
    const double sr[3] = {src[0] - o[0], src[1] - o[1], src[2] - o[2]};
    const bool ctf = e.snsFwdModel == 1;
    std::array<double, 3> L{0, 0, 0};
    double wsum = 0.0;
    if (ctf) e.setSnsWt12Pts(&s, e.orderCoilIntg);
    for (int i = 0; i < s.getTotalCoils(); ++i) {
        CBscMagSnskw* c = s.getCoil(i);
        if (ctf) e.setCoilB12Pts(c, e.orderCoilIntg);
        for (int k = 0; k < (ctf ? s.numW12Pts : 1); ++k) {
            double p[3], v[3] = {0, 0, 0};
            for (int m = 0; m < 3; ++m) p[m] = (ctf ? c->b12Pts[k].pos[m] : c->coilPos[m]) - o[m];
            if (basis && !ctf) e.coil24xLf2D_all(p, c->coilNormal, basis, v);
            else e.coil26xLf3D_all(p, c->coilNormal, sr, v);
            const double w = ctf ? c->nTurns * s.w12Wt[k] : c->getMagApha();
            for (int m = 0; m < 3; ++m) L[m] += w * v[m];
            wsum += w;
        }
    }
    const double div = ctf ? std::abs(double(s.getCoil(0)->nTurns)) : wsum;
    for (auto& v : L) v = div != 0.0 ? v / div : v;
    auto along = [&](int j) { return L[0] * basis->q[j][0] + L[1] * basis->q[j][1] + L[2] * basis->q[j][2]; };
    if (basis && ctf) L = {along(0), along(1), 0.0};
    return L;
}


using L3 = std::array<double, 3>;
const double kUp[3] = {0, 1, 0};
double kSrc[3] = {15, 55, 10};  // 45 mm above the centre, off axis
double* const kOrg = const_cast<double*>(kCentre);

R3Q3x3 tangBasis() {  // a unit tangential basis at kSrc: the Sam rule
    CMForward e;
    CSpherekw c;
    R3Q3x3 b;
    e.tangVectMethod = 2, c.setSphere(kCentre[0], kCentre[1], kCentre[2], 90.0);
    EXPECT_EQ(e.set2DVect4SrcAll(kSrc, &c, &b), 1);
    return b;
}

L3 lf3(CMForwardkw& e, const CMEGSensorkw& s, int order = -1) {
    CMEGSensorkw c(s);
    L3 out{9, 9, 9};
    EXPECT_EQ(e.sns33Q3Lf3D_All(&c, kSrc, kOrg, order, out.data()), 1);
    return out;
}

void expectNear3(const L3& a, double ca, const L3& x, double cb = 0.0, const L3& y = {}) {  // a = ca x + cb y
    for (int m = 0; m < 3; ++m)
        EXPECT_NEAR(a[m], ca * x[m] + cb * y[m], 1e-12 * (std::abs(a[m]) + std::abs(ca * x[m] + cb * y[m])) + 1e-30);
}

TEST(SensorLevel, CoilFactorsAndWeightsCombineAsTheSensorModelSays) {
    CMForwardkw e;
    const CMEGSensorkw g = sensor(kUp, true), lower = sensor(kUp, false), upper = sensor(kUp, false, 160.0);
    CMEGSensorkw g2(g), gs(g), m3(lower), w3(g);
    g2.getCoil(0)->nTurns = 2, g2.getCoil(1)->nTurns = -2;
    gs.getCoil(0)->nTurns = -1, gs.getCoil(1)->nTurns = 1;
    m3.getCoil(0)->nTurns = -3;
    w3.getCoil(1)->magApha = 3.0;
    const L3 a = lf3(e, g), lo = lf3(e, lower), up = lf3(e, upper);
    expectNear3(lf3(e, g2), 1, a);
    expectNear3(lf3(e, gs), -1, a);
    expectNear3(a, 1, lo, -1, up);     // first coil minus second
    expectNear3(lf3(e, m3), -1, lo);  // only the sign of a magnetometer's factor
    EXPECT_GT(std::abs(a[0]) + std::abs(a[2]), 0.0);
    e.snsFwdModel = 0;  // standard: weights +1/-1 sum to zero (undivided), 1 and 3 give the weighted mean
    const L3 sl = lf3(e, lower), su = lf3(e, upper);
    expectNear3(lf3(e, g), 1, sl, -1, su);
    expectNear3(lf3(e, w3), 0.25, sl, 0.75, su);
}

// An empty coil slot gives zeros; integration points keep their coil-level values in
// val; -1 takes the engine's order, a bad one is refused with the message, leaving
// outputs, sensor and order alone; the standard model needs no order.
TEST(SensorLevel, EmptyCoilsPointValuesAndTheIntegrationOrder) {
    CMForwardkw e;
    megfwd::test::MessageRecorder rec;
    CMEGSensorkw empty, s = sensor(kUp, true), s7(s), bad(s);
    empty.addEmptyCoilSlot();
    MAGFIELD f{{kSrc[0], kSrc[1], kSrc[2]}, {1, 0, 0}, 3, 3};
    R3Q3x3 b = tangBasis();
    double o[5] = {5, 5, 5, 5, 5};
    for (int model : {1, 0}) {
        e.snsFwdModel = model;
        EXPECT_EQ(e.sns33Q3Lf3D_All(&empty, f.pos, nullptr, -1, o) + e.sns33Q3Lf2D_All(&empty, f.pos, nullptr, -1, &b, o + 3), 2);
        EXPECT_EQ(o[0] + o[1] + o[2] + o[3] + o[4], 0.0);
        EXPECT_EQ(e.sns31Q6B1_AllPasSphere(&empty, &f, nullptr, -1), 0.0);
    }
    e.snsFwdModel = 1;
    L3 a, sum{0, 0, 0};
    ASSERT_EQ(e.sns33Q3Lf3D_All(&s, f.pos, nullptr, 3, a.data()), 1);
    ASSERT_EQ(s.numW12Pts, 4);
    for (int i = 0; i < 2; ++i)
        for (int k = 0; k < 4; ++k)
            for (int m = 0; m < 3; ++m) sum[m] += s.getCoil(i)->nTurns * s.w12Wt[k] * s.getCoil(i)->b12Pts[k].val[m];
    expectNear3(a, 1, sum);
    e.orderCoilIntg = 7;
    std::fill(o, o + 5, 4.0);
    EXPECT_EQ(e.sns33Q3Lf3D_All(&bad, kSrc, nullptr, 6, o) + e.sns33Q3Lf2D_All(&bad, kSrc, nullptr, -2, &b, o + 3), 0);
    EXPECT_EQ(o[0] + o[1] + o[2] + o[3] + o[4], 20.0);
    EXPECT_EQ(bad.isW12Set + 10 * e.orderCoilIntg, 70);
    EXPECT_EQ(rec.count(kOrderText), 2);
    ASSERT_EQ(e.sns33Q3Lf3D_All(&s7, kSrc, nullptr, -1, o), 1);
    EXPECT_EQ(s7.numW12Pts, 12);
    e.snsFwdModel = 0;
    EXPECT_EQ(e.sns33Q3Lf3D_All(&s7, kSrc, nullptr, 6, o), 1);
    EXPECT_EQ(rec.messages().size(), 2u);
}

// Field values from leadfields are the leadfield dotted with the moment and the
// point-formula value (two components: a tangential moment, directions of any
// length); the Nut point form is the field of a unit Q x r0, so not for code 3.
TEST(SensorLevel, LeadfieldFieldValuesEqualLeadfieldsAndPointFormulaValues) {
    CMForwardkw e;
    megfwd::test::MessageRecorder msgs;
    const CMEGSensorkw g = sensor(kUp, true);
    const R3Q3x3 b0 = tangBasis();
    e.mu4PiRatio = 1e-7;  // codes 0 and 1 then agree with the fixed-factor rows
    auto near = [](double a, double b) { return std::abs(a - b) <= 1e-9 * std::abs(b); };
    for (int model : {1, 0})
        for (int code : {0, 1, 2, 3, 4, 5, 6}) {
            e.snsFwdModel = model, e.coilFwdModel = code;
            MAGFIELD f{{kSrc[0], kSrc[1], kSrc[2]}, {0.3, -1.2, 0.7}, 3, 3};
            CMEGSensorkw s1(g), s2(g);
            R3Q3x3 b = b0;
            const L3 L = lf3(e, g, 2);
            const double lfo = e.sns36Q6LfOpt(&s2, &f, 2, kOrg, &b, 3), bpo = e.sns31Q6B1_AllPasSphere(&s1, &f, kOrg, 2);
            EXPECT_TRUE(near(lfo, L[0] * f.mom[0] + L[1] * f.mom[1] + L[2] * f.mom[2])) << model << " " << code;
            EXPECT_TRUE(code == 3 || near(lfo, bpo)) << model << " " << code;
            for (int m = 0; m < 3; ++m) f.mom[m] = 0.6 * b0.q[0][m] + 0.8 * b0.q[1][m];
            const double bpo2 = e.sns31Q6B1_AllPasSphere(&s1, &f, kOrg, 2), lf2 = e.sns36Q6LfOpt(&s2, &f, 2, kOrg, &b, 2);
            for (int j = 0; j < 2; ++j)
                for (int m = 0; m < 3; ++m) b.q[j][m] = 3.0 * b0.q[j][m];
            EXPECT_TRUE(near(e.sns36Q6LfOpt(&s2, &f, 2, kOrg, &b, 2), lf2)) << model << " " << code;
            EXPECT_TRUE(code == 3 || near(lf2, bpo2)) << model << " " << code;
            EXPECT_NE(lf2, 0.0);
            for (int m = 0; m < 3; ++m) EXPECT_DOUBLE_EQ(b.r[m], kSrc[m] - kCentre[m]);
        }
    EXPECT_TRUE(msgs.messages().empty());
    MAGFIELD f;
    for (int n : {1, 4}) EXPECT_EQ(e.sns36Q6LfOpt(nullptr, &f, 2, nullptr, nullptr, n), 0.0);
    EXPECT_EQ(msgs.count("Wrong leafield number!"), 2);
}


class GridScan : public ::testing::Test {
protected:
    CMDTrialkw trial = makeTrial();
    CMDataForwardkw fwd;
    CMForwardkw eng;
    MAGFIELD f;  // the dewar scans' source: record 1's point, a fixed moment
    void SetUp() override {
        build(fwd, trial);
        f = rec(1).srcField, f.mom[0] = 0.4, f.mom[1] = -1.0, f.mom[2] = 0.3;
    }
    CFISrcSnsLf& rec(std::size_t i) { return fwd.pVoxSnsLfx[i]; }
    static double* lf(CMDataForwardkw& d, int i, int k) { return d.pVoxSnsLfx[i].pSnsLf[k].pLf; }
    CForwardC0SnsCoilskw& entry(int i) { return fwd.pFwdChnl->pSnsCoils[i]; }
    double maxAbsLf() {  // the largest leadfield value, the scale for tolerances
        double m = 0.0;
        for (int i = 0; i < 16; ++i)
            for (int c = 0; c < 3; ++c) m = std::max(m, std::abs(lf(fwd, i / 4, i % 4)[c]));
        return m;
    }
    std::vector<double> values() {  // every bcmp and value, whatever numSrc says
        std::vector<double> v;
        for (std::size_t i = 0; i < 4; ++i)
            for (int s = 0; s < rec(i).numSns; ++s) {
                v.push_back(rec(i).pSnsLf[s].bcmp);
                v.insert(v.end(), rec(i).pSnsLf[s].pLf, rec(i).pSnsLf[s].pLf + rec(i).pSnsLf[s].numLf);
            }
        return v;
    }
    void expectSameLf(CMDataForwardkw& other, int comps) {  // other's leadfields against fwd's
        const double tol = 1e-9 * maxAbsLf();
        for (int i = 0; i < 4; ++i)
            for (int k = 0; k < 4; ++k)
                for (int m = 0; m < comps; ++m) EXPECT_NEAR(lf(other, i, k)[m], lf(fwd, i, k)[m], tol) << i << k << m;
    }
};

// Leadfields are hand sums from the coil level, own value minus coef x reference
// value per weight (channel 99 names no entry); unit-moment leadfields equal them,
// field values of a moment m are the leadfield dotted with m. For every formula row.
TEST_F(GridScan, LeadfieldsEqualHandSumsAndUnitMomentsAndFieldValuesAgree) {
    const struct { int mag, code; double ratio; } rows[] = {{0, 0, 1e-7}, {0, 1, 1e-7}, {0, 2, 1}, {0, 4, 1}, {0, 5, 1},
                                                            {0, 6, 1}, {1, 0, 1}, {1, 1, 7.957747154594243e-11}, {1, 2, 1}};
    CMDataForwardkw x;
    CMDTrialkw t2 = makeTrial();
    build(x, t2);
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
                const double tol = 1e-9 * maxAbsLf();
                for (int i = 0; i < 4; ++i) {
                    const R3Q3x3* b = comps == 2 ? &rec(i).srcBasis : nullptr;
                    auto hand = [&](int e) { return handLf(eng, *entry(e).pMEGSns, rec(i).srcField.pos, b); };
                    CFISrcSnsLf& xr = x.pVoxSnsLfx[i];
                    for (int k = 0; k < 4; ++k) {
                        auto want = hand(kMea[k]);
                        const CForwardC0SnsCoilskw& e = entry(kMea[k]);
                        for (int w = 0; useRef && w < e.numRefCoef; ++w) {
                            const auto ref = e.pRefCoef[w].chnlIdx < 7 ? hand(e.pRefCoef[w].chnlIdx) : std::array<double, 3>{};
                            for (int m = 0; m < 3; ++m) want[m] -= e.pRefCoef[w].coef * ref[m];
                        }
                        for (int m = 0; m < comps; ++m)
                            EXPECT_NEAR(lf(fwd, i, k)[m], want[m], tol) << r.code << model << comps << i << k;
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
        const double* r = kSources[i];  // from the centre
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
    rec(1).isVoxIn = 0, rec(3).isVoxIn = 2, rec(0).srcField.mom[0] = 1.0;
    for (int i : {1, 3}) rec(i).srcField.mom[1] = 3.0, lf(fwd, i, 2)[1] = 8.0, rec(i).pSnsLf[2].bcmp = 8.0;
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
    EXPECT_EQ(msgs.count(kOrderText), 2);
    EXPECT_EQ(lf(fwd, 0, 1)[0], 4.0);
    eng.orderCoilIntg = 2;
    delete entry(4).pMEGSns;  // a measurement entry without a sensor fails the leadfield scans
    entry(4).pMEGSns = nullptr;
    EXPECT_EQ(eng.gridDewarLfd(&fwd), 0);
    EXPECT_EQ(lf(fwd, 3, 1)[0], 4.0);
    EXPECT_EQ(eng.gridDewarBcmp(&fwd), 1);  // ...and reads 0 in the field-value scans
    EXPECT_EQ(rec(3).pSnsLf[2].bcmp, 0.0);
}

// The whole road: preparation with a sphere off the origin, then the scan.
TEST_F(GridScan, PreparedManagerGivesTheSameLeadfields) {
    ASSERT_EQ(eng.gridDewarLfd(&fwd), 1);
    CMDataForwardkw prep;
    CMDTrialkw t2 = makeTrial();
    addChannelsAndSources(prep, t2);
    prep.sphereModel = 1, prep.isSpatConstrained = 0;
    prep.userSphere.setSphere(kCentre[0], kCentre[1], kCentre[2], 90.0);
    ASSERT_EQ(prep.prepare4VoxSnsLfdScan(3), 1);
    ASSERT_EQ(eng.gridDewarLfd(&prep), 1);
    expectSameLf(prep, 3);
}

using DewarScan = GridScan;

// The Select variant takes record k's sensor from its chnlID (a reference too)
// and refuses a chnlID naming no entry.
TEST_F(DewarScan, FieldValueBookkeepingAndSelectedSensors) {
    eng.coilFwdModel = 2, rec(0).srcBasis.nq = 5;
    auto value = [&](int i) { return eng.sns31Q6B1_AllPasSphere(entry(i).pMEGSns, &f, entry(i).pMEGSns->localSphere, -1); };
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
