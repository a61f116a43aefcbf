// The host layer: axis changes, vector statics, matrices and holders, sensors,
// recordings, source spaces, the message box and allocation failure.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "host_interfaces/Afx.h"
#include "host_interfaces/Decomposition.h"
#include "host_interfaces/MagSensor.h"
#include "host_interfaces/MatrixOps.h"
#include "host_interfaces/Recording.h"
#include "host_interfaces/SourceSpace.h"
#include "host_interfaces/VectorOps.h"
#include "support/MessageRecorder.h"

namespace {

void expectVec(const double* a, double x, double y, double z) {
    EXPECT_DOUBLE_EQ(a[0], x);
    EXPECT_DOUBLE_EQ(a[1], y);
    EXPECT_DOUBLE_EQ(a[2], z);
}

TEST(AxisChange, IsAProperRotationTakingVerticalToVertical) {
    // Columns of the OpenGL -> Matlab matrix are the images of the unit axes.
    double m[3][3];
    const double e[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (int j = 0; j < 3; ++j) {
        double out[3];
        CVector02Mas::xyzOpenGL2Matlab(e[j], out);
        for (int i = 0; i < 3; ++i) m[i][j] = out[i];
    }
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    EXPECT_DOUBLE_EQ(det, 1.0);
    double up[3];
    CVector02Mas::xyzOpenGL2Matlab(e[1], up);  // OpenGL vertical y ...
    expectVec(up, 0, 0, 1);                     // ... is Matlab vertical z
    CVector02Mas::xyzMatlab2OpenGL(e[2], up);
    expectVec(up, 0, 1, 0);

    // A rotation commutes with the cross product: converting a x b equals
    // the cross product of the converted vectors (a mirror would flip it).
    const double a[3] = {0.3, -1.2, 2.5}, b[3] = {-0.7, 0.4, 1.1};
    double axb[3], ca[3], cb[3], caxcb[3];
    CVector01StatFunct::crossAB2C(a, b, axb);
    CVector02Mas::xyzIOpenGL2Matlab(axb);
    CVector02Mas::xyzOpenGL2Matlab(a, ca);
    CVector02Mas::xyzOpenGL2Matlab(b, cb);
    CVector01StatFunct::crossAB2C(ca, cb, caxcb);
    expectVec(axb, caxcb[0], caxcb[1], caxcb[2]);
}

TEST(AxisChange, EachIsTheExactInverseOfTheOther) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1e3, 1e3);
    for (int i = 0; i < 100; ++i) {
        const double v[3] = {u(rng), u(rng), u(rng)};
        double w[3] = {v[0], v[1], v[2]};
        CVector02Mas::xyzIOpenGL2Matlab(w);
        CVector02Mas::xyzIMatlab2OpenGL(w);
        expectVec(w, v[0], v[1], v[2]);  // bit-exact: only sign changes and moves
        CVector02Mas::xyzIMatlab2OpenGL(w);
        CVector02Mas::xyzIOpenGL2Matlab(w);
        expectVec(w, v[0], v[1], v[2]);
    }
}

TEST(VectorStatics, SphericalCoordinatesAndDegenerateNormalisation) {
    const double p[3] = {1.0, 1.0, std::sqrt(2.0)};
    double s[3], back[3];
    CVector02Mas::xyzTospherical(p, s);
    EXPECT_DOUBLE_EQ(s[0], 2.0);
    EXPECT_NEAR(s[1], M_PI / 4, 1e-15);  // azimuth from +x
    EXPECT_NEAR(s[2], M_PI / 4, 1e-15);  // polar angle from +z
    CVector02Mas::sphericalToxyz(s, back);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], p[i], 1e-15);

    double zero[3] = {0, 0, 0};
    EXPECT_EQ(CVector01StatFunct::normalizeVect(zero, 3), 0);
    expectVec(zero, 0, 0, 0);  // no NaN from a zero direction
    CVector02Mas::xyzTospherical(zero, s);
    expectVec(s, 0, 0, 0);

    const double a[3] = {1, 2, 3}, b[3] = {4, 5, 6};
    double c[3];
    CVector03Meg::SCross_ProdBxA3(a, b, c);  // a x b
    expectVec(c, -3, 6, -3);
    double* d = CVector01StatFunct::sub(b, a, 3);
    ASSERT_NE(d, nullptr);
    expectVec(d, 3, 3, 3);
    delete[] d;
}

TEST(Matrices, CheckInitKeepsOrResizesAndArraysIndexInOrder) {
    CMMatrix2Dkw m;
    double** r = m.checkInit(2, 3, true);
    ASSERT_NE(r, nullptr);
    r[1][2] = 5.0;
    EXPECT_EQ(m.checkInit(2, 3, false), r);  // same size: same storage, contents kept
    EXPECT_EQ(r[1][2], 5.0);
    CMMatrix2Dkw copy = m;
    EXPECT_NE(copy.getDataPP(), m.getDataPP());
    EXPECT_EQ(copy.getDataPP()[1][2], 5.0);
    EXPECT_EQ(m.checkInit(0, 3, true), nullptr);
    EXPECT_EQ(m.numRow, 0);

    double*** ppp = CAryVctMtxBasic::newMatrix3D(2, 3, 4, true);
    ASSERT_NE(ppp, nullptr);
    ppp[1][2][3] = 7.0;
    EXPECT_EQ(ppp[0][0][(1 * 3 + 2) * 4 + 3], 7.0);  // one contiguous block, C order
    CAryVctMtxBasic::deleteMatrix3D(ppp);
    EXPECT_EQ(ppp, nullptr);
    EXPECT_EQ(CAryVctMtxBasic::newMatrix3D(2, 0, 4, true), nullptr);

    CDataSvdkw svd;
    ASSERT_EQ(svd.checkInitDataMN(3, 2), 1);
    svd.pOrientVct[1] = 2.0;
    svd.isDecomposed = 1;
    CDataSvdkw svd2(svd);
    EXPECT_NE(svd2.pOrientVct, svd.pOrientVct);
    EXPECT_EQ(svd2.pOrientVct[1], 2.0);
    EXPECT_EQ(svd2.isDecomposed, 1);
    EXPECT_EQ(svd.checkInitDataMN(3, 2), 1);
    EXPECT_EQ(svd.isDecomposed, 0);
}

TEST(Sensors, AssignmentDeepCopiesCoilsAndKeepsEmptySlots) {
    CMEGSensorkw s;
    const double pos[3] = {1, 2, 3}, n[3] = {0, 0, 1};
    CBscMagSnskw c;
    c.setCoil(pos, n, 9.0, -2, 0.5);
    s.addCoil(c);
    s.addEmptyCoilSlot();
    CMEGSensorkw t;
    t = s;
    ASSERT_EQ(t.getTotalCoils(), 2);
    ASSERT_NE(t.getCoil(0), nullptr);
    EXPECT_NE(t.getCoil(0), s.getCoil(0));
    EXPECT_EQ(t.getCoil(1), nullptr);
    EXPECT_EQ(t.getCoil(2), nullptr);
    EXPECT_EQ(t.getCoil(-1), nullptr);
    t.getCoil(0)->coilPos[0] = 99.0;
    EXPECT_EQ(s.getCoil(0)->coilPos[0], 1.0);
    EXPECT_EQ(t.getCoil(0)->nTurns, -2);
    EXPECT_EQ(t.getCoil(0)->getMagApha(), 0.5);
    double x, y, z;
    s.getCoil(0)->getCoilPositionD(x, y, z);
    EXPECT_EQ(z, 3.0);
}

TEST(Recording, ChannelsClassifyAndGoodnessSpansAllTrials) {
    CMDTrialkw trial;
    for (int k : {100, 103, 104, 10, 13, 14, -1}) {
        CMDChannelkw ch;
        ch.snsKind = k;
        trial.addChannel(ch);
    }
    CMDChannelkw** chs = trial.getAllChannelPt();
    ASSERT_NE(chs, nullptr);
    EXPECT_TRUE(chs[0]->isMEGMeasureChannel() && chs[1]->isMEGMeasureChannel());
    EXPECT_FALSE(chs[2]->isMEGMeasureChannel() || chs[2]->isMEGChannel());
    EXPECT_TRUE(chs[3]->isMEGReferenceChannel() && chs[4]->isMEGReferenceChannel());
    EXPECT_FALSE(chs[5]->isMEGReferenceChannel());

    CMEGDatakw data;
    EXPECT_EQ(data.isGoodChnl4Alltrials(0), 0);  // nothing known without trials
    data.addTrial(trial);
    CMDTrialkw* second = data.addTrial(trial);
    EXPECT_EQ(data.isGoodChnl4Alltrials(1), 1);
    second->getChannel(1)->isGood = 0;
    EXPECT_EQ(data.isGoodChnl4Alltrials(1), 0);
    EXPECT_EQ(data.isGoodChnl4Alltrials(7), 0);

    CMDChannelkw ref;
    ref.setRefCoefs({{0.5, 3, "R1"}, {0.25, 4, "R2"}});
    CMDChannelkw copy(ref);
    ASSERT_EQ(copy.numRefCoef, 2);
    EXPECT_NE(copy.pRefCoef, ref.pRefCoef);
    EXPECT_EQ(copy.pRefCoef[1].refName, "R2");
    EXPECT_EQ(copy.getSpctmChnlA(false), nullptr);
    EXPECT_NE(copy.getSpctmChnlA(true), nullptr);
}

TEST(SourceSpace, GridPointsCountOrderAndRadius) {
    const double lo[3] = {-10, 0, 5}, hi[3] = {10, 7, 5};
    CGrid3D g(lo, hi, 5.0);
    EXPECT_EQ(g.numPoints, 5 * 2 * 1);  // x: -10..10, y: 0, 5 (10 > 7), z: 5
    double p[3];
    ASSERT_EQ(g.getPoint(3, p), 1);     // x slowest, z fastest
    expectVec(p, -5, 5, 5);
    EXPECT_EQ(g.getPoint(10, p), 0);
    EXPECT_DOUBLE_EQ(g.getRadiusMin0Mean1Max2(0), 0.0);   // half the smallest edge
    EXPECT_DOUBLE_EQ(g.getRadiusMin0Mean1Max2(2), 10.0);  // half the largest edge

    const double lo2[3] = {0, 0, 0}, hi2[3] = {0.3, 0.3, 0.3};
    CGrid3D rounding(lo2, hi2, 0.1);    // 0.3/0.1 is 2.9999999999999996
    EXPECT_EQ(rounding.numPoints, 64);
    CGrid3D bad(hi, lo, 5.0);
    EXPECT_EQ(bad.numPoints, 0);

    CForwardSrckw src;
    ASSERT_EQ(src.setGrid(&g), 1);
    EXPECT_EQ(src.numPos, 10);
    expectVec(src.ppPos[3], -5, 5, 5);
    ASSERT_NE(src.getGrid3D(), nullptr);
    EXPECT_EQ(src.setGrid(&bad), 0);
    EXPECT_EQ(src.numPos, 10);          // a failed set keeps the old positions

    CVirtSnsPOXlistkw list;
    EXPECT_EQ(src.setVirtSnsPos(&list, 3), 0);
    list.addPosition(1, 2, 3);
    ASSERT_EQ(src.setVirtSnsPos(&list, 2), 1);
    EXPECT_EQ(src.numCoord, 2);
    expectVec(src.ppPos[0], 1, 2, 0);   // room for three, unused coordinate 0
    EXPECT_EQ(src.getGrid3D(), nullptr);
    CForwardSrckw copy(src);
    EXPECT_NE(copy.ppPos[0], src.ppPos[0]);
    expectVec(copy.ppPos[0], 1, 2, 0);
}

TEST(MessageBox, HandlerRecordsAndScriptsAnswersDefaultAnswersYes) {
    {
        megfwd::test::MessageRecorder rec({IDNO});
        EXPECT_EQ(AfxMessageBox("first", MB_OK, 0), IDOK);
        EXPECT_EQ(AfxMessageBox("question?", MB_YESNO, 0), IDNO);
        EXPECT_EQ(AfxMessageBox("again?", MB_YESNO, 0), IDYES);  // script used up: fallback
        ASSERT_EQ(rec.messages().size(), 3u);
        EXPECT_EQ(rec.messages()[1].text, "question?");
        EXPECT_EQ(rec.messages()[1].type, MB_YESNO);
    }
    const bool printed = megfwd::setDefaultHandlerPrints(false);
    EXPECT_EQ(AfxMessageBox("headless", MB_YESNO, 0), IDYES);
    const int old = megfwd::setDefaultYesNoAnswer(IDNO);
    EXPECT_EQ(AfxMessageBox("headless", MB_YESNO, 0), IDNO);
    EXPECT_EQ(AfxMessageBox("headless", MB_OK, 0), IDOK);
    megfwd::setDefaultYesNoAnswer(old);
    megfwd::setDefaultHandlerPrints(printed);
}

TEST(Allocation, InjectedFailureHitsExactlyTheChosenAllocation) {
    megfwd::alloc::failAfter(1);
    double* a = megfwd::newArray<double>(4);
    double* b = megfwd::newArray<double>(4);
    double* c = megfwd::newArray<double>(4);
    megfwd::alloc::reset();
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(a[3], 0.0);  // value-initialised
    delete[] a;
    delete[] c;
    EXPECT_EQ(megfwd::newArray<double>(0), nullptr);
    EXPECT_EQ(megfwd::newArray<double>(megfwd::alloc::kMaxElements + 1), nullptr);
}

}  // namespace
