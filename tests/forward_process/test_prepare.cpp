// Preparation before a scan (sphere models, records, stencils, exclusion, step order),
// the centre shift, the axis and unit changes and their restores.
#include <limits>

#include "ProcFixture.h"

struct CMDataForward02PreFwdProcessProbe {
    static int change(CMDataForward02PreFwdProcess& m) { return m.changeCoord4SrcSnsSphere(); }
};

namespace {

using namespace proctest;

TEST_F(Proc, SphereModelsComponentsAndRecords) {
    // Scan and M0's local sphere: 0 and 4 (as the default) the dewar sphere (0, 60, 0), 1 the user's (0, 50, 0)
    // radius 75; 2 and 3 local spheres 12 from the coil towards the dewar centre, radius the distance, the scan sphere
    // their mean (M1, M2 at y 40 + 12 * 20 / |(60, 20)|) or the user's (host axes; the others: the channel set's).
    const double mean = (88 + 2 * (40 + 240 / std::sqrt(4000.0))) / 3;
    m.pFwdChnl->coordMode = m.userSphere.coordMode = 1;
    struct Case { int model, req, lf, tang; double cy, ly, lr; int mode; };
    for (Case c : {Case{0, 0, 1, 1, 60, 60, 0, 1}, {1, -5, 1, 1, 50, 50, 75, 0}, {0, 7, 3, 1, 60, 60, 0, 1},
                   {4, 2, 2, 1, 60, 60, 0, 1}, {2, 1, 3, 0, mean, 88, 40, 1}, {3, 2, 3, 0, 50, 88, 40, 0}}) {
        m.sphereModel = c.model;
        m.isTangLfd = 1;
        ASSERT_EQ(m.prepare4VoxSnsLfdScan(c.req), 1) << c.model;
        EXPECT_EQ(m.numLf, c.lf) << c.model << " " << c.req;
        EXPECT_TRUE(m.isTangLfd == c.tang && m.singleSphere.coordMode == c.mode) << c.model;
        expectPoints({{m.singleSphere.center, {0, c.cy, 0}}, {sensor(0).localSphere, {0, c.ly, 0}}});
        EXPECT_DOUBLE_EQ(sensor(0).localSphere[3], c.lr) << c.model;
    }
    expectPoints({{sensor(1).localSphere, {0, 188, 0}}});  // references get one too

    // Records with positions and the measurement sensors' identities (channels 0, 2, 4), none for the reference.
    ASSERT_EQ(m.numSns, 3);
    expectPoints({{src(2).srcField.pos, {0, 85, 0}}});
    for (int k = 0; k < 3; ++k) EXPECT_TRUE(src(3).pSnsLf[k].chnlID == 2 * k && src(3).pSnsLf[k].snsID == k) << k;
    src(1).coordMode = 1;
    src(1).isVoxIn = 0;
    lf(1, 2)[1] = 5.0;
    ASSERT_EQ(m._02setSrcPosSnsID2VoxSnsLf(), 1);  // fresh state again
    EXPECT_TRUE(src(1).coordMode == 0 && src(1).isVoxIn == 1 && lf(1, 2)[1] == 0.0);
}

TEST_F(Proc, AxisSystemAndFixedStepOrder) {
    m.coordSystem = 2;  // Direct3D: host axes
    ASSERT_EQ(m.prepare4VoxSnsLfdScan(3), 1);
    EXPECT_EQ(m.pFwdChnl->coordMode + src(0).coordMode, 0);
    EXPECT_EQ(CMDataForward02PreFwdProcessProbe::change(m), 1);
    m.coordSystem = 5;
    EXPECT_EQ(CMDataForward02PreFwdProcessProbe::change(m), 0);

    // Stencils in host millimetres, then shift, then Matlab axes, then metres: source 1 and M0's coil
    // 24 and 40 mm above the centre end up vertical in Matlab axes.
    m.coordSystem = 1;
    m.isSpatConstrained = m.isCentralizedLf = m.isUnit2Meter = 1;
    m.spatUnit = 0.001;
    ASSERT_EQ(m.prepare4VoxSnsLfdScan(3), 1);
    EXPECT_EQ(voxIn(), (std::vector<int>{1, 1, 0, 0}));
    expectPoints({{src(1).srcField.pos, {0, 0, 0.024}}, {coil(0, 0).coilPos, {0, 0, 0.040}}});
}

TEST_F(Proc, DewarStencilCentreExclusionAndDewarBoundSpheres) {
    MessageRecorder rec;
    ASSERT_EQ(m.prepare4VoxSnsLfdScan(3), 1);
    src(0).isVoxIn = 0;  // never set back
    ASSERT_EQ(m._06stencilSrc2dewar(), 1);
    EXPECT_EQ(voxIn(), (std::vector<int>{0, 1, 0, 1}));  // 24 + 16 equals the coil's 40: kept; 25 + 16: out
    ASSERT_EQ(m._06wrapCntSrcZero(), 1);  // the scan sphere is the dewar sphere
    EXPECT_EQ(src(3).isVoxIn, 0);  // exactly at the centre
    m.minSrcSphDist = 24.0;
    ASSERT_EQ(m._06wrapCntSrcZero(), 1);
    EXPECT_EQ(src(1).isVoxIn, 1);  // equality keeps it
    src(1).srcField.pos[1] = 100.0;  // on a coil: no nearest coil
    ASSERT_EQ(m._06stencilSrc2dewar(), 1);
    EXPECT_EQ(src(1).isVoxIn, 0);
    EXPECT_EQ(rec.texts(), std::vector<std::string>{"Distance between coil and src almost zero"});

    rec.clear();  // dewar-bound local spheres stop at a coil on the reference centre
    sensor(4).localSphere[3] = 7.0;
    m.singleSphere.setSphere(60, 40, 0, 1);  // on M1's first coil
    EXPECT_EQ(m._04setDewarSphCndBnd2LocalSphere(0), 0);
    ASSERT_EQ(rec.texts(), std::vector<std::string>{"Distance between coil and sphere center almost zero"});
    EXPECT_EQ(rec.messages()[0].type, MB_OK);
    EXPECT_DOUBLE_EQ(sensor(0).localSphere[3], std::sqrt(7200.0));  // set before the failure: kept
    EXPECT_EQ(sensor(4).localSphere[3], 7.0);                         // after it: untouched
    EXPECT_EQ(m._04setDewarSphCndBnd2LocalSphere(1), 4);  // dewar centre instead: all four
}

// A one-row volume along x: voxels 0..3 with words given per test.
struct Ana : Proc {
    std::uint16_t vox[4] = {0x1005, 0x2000, 0x3007, 0x0009};
    ANA_VOLMX vol{.numVoxY = 1, .numVoxX = 4, .numVoxZ = 1, .voxSizeX = 10, .pVoxel = vox};
    std::uint16_t at(double x) { return CMDataForward02PreFwdProcess::getAnaVoxValue4Pos(&vol, x, -3, 99); }
};

TEST_F(Ana, VoxelLookupBordersModesAndWindow) {
    EXPECT_EQ(at(-25), 5);   // negative index: voxel 0
    EXPECT_EQ(at(19.9), 0);  // voxel 1: label 2, intensity 0
    EXPECT_EQ(at(500), 9);   // beyond: the last voxel
    // Expected for labels 0..4 with intensity 6 under modes 100..111 and 112.
    const int expect[13][5] = {{6, 6, 6, 6, 6}, {0, 6, 6, 6, 6}, {0, 6, 6, 6, 0}, {0, 6, 0, 0, 0}, {0, 0, 1, 0, 0},
                               {0, 0, 0, 6, 0}, {0, 0, 0, 0, 6}, {6, 0, 6, 6, 6}, {6, 6, 0, 6, 6}, {6, 6, 6, 0, 6},
                               {6, 6, 6, 6, 0}, {6, 0, 0, 0, 0}, {0, 0, 0, 0, 0}};
    for (int mode = 0; mode < 13; ++mode)
        for (int label = 0; label < 5; ++label) {
            vox[0] = static_cast<std::uint16_t>(label << 12 | 6);
            vol.selectMode = static_cast<std::uint16_t>(100 + mode);
            EXPECT_EQ(at(0), expect[mode][label]) << "mode " << 100 + mode << " label " << label;
        }
    // The window: 104 ignores it and intensity 0; 105 and 103 do not.
    struct Case { int mode, lo, hi; std::uint16_t word; int want; };
    for (Case c : {Case{104, 7, 0xFFF, 0x2000, 1}, {104, 7, 0xFFF, 0x2006, 1}, {105, 7, 0xFFF, 0x3007, 7}, {105, 7, 6, 0x3007, 0},
                   {103, 0, 6, 0x1000, 0}}) {
        vol.selectMode = static_cast<std::uint16_t>(c.mode);
        vol.minIntensity = c.lo;
        vol.maxIntensity = c.hi;
        vox[0] = c.word;
        EXPECT_EQ(at(0), c.want) << c.mode << " " << c.word;
    }
}

TEST_F(Ana, StencilAsksAboutCoregistrationAndNeedsOneSource) {
    ASSERT_EQ(m.prepare4VoxSnsLfdScan(3), 1);
    for (int i = 0; i < 4; ++i) src(i).srcField.pos[0] = 10.0 * i;  // one source per voxel
    vol.isCoregistered2 = 0;
    MessageRecorder rec({IDNO});  // then Yes
    EXPECT_EQ(m._06stencilSrc2AnaVlm(&vol), 0);
    ASSERT_EQ(rec.texts(), std::vector<std::string>{"It seems MEG/EEG and MRI/CT are not well coregistered! Continue? "});
    EXPECT_EQ(rec.messages()[0].type, MB_YESNO);
    EXPECT_EQ(voxIn(), (std::vector<int>{1, 1, 1, 1}));
    src(2).isVoxIn = 0;
    EXPECT_EQ(m._06stencilSrc2AnaVlm(&vol), 1);
    EXPECT_EQ(voxIn(), (std::vector<int>{1, 0, 0, 1}));
    vol.selectMode = 105;  // only source 2's voxel qualifies, and it is already out
    EXPECT_EQ(m._06stencilSrc2AnaVlm(&vol), 0);
    EXPECT_EQ(rec.count("No qualified source cube!?"), 1);
    EXPECT_EQ(m._06stencilSrc2AnaVlm(nullptr), 0);  // no installed volume either
}

TEST_F(Proc, PreconditionsFailWithoutState) {
    CMDataForwardkw e;
    EXPECT_EQ((std::vector<int>{e.prepare4VoxSnsLfdScan(3), e._02setSrcPosSnsID2VoxSnsLf(), e._04setSingleSphere2LocalSpheres(),
                                e._06stencilSrc2dewar(), e._06wrapCntSrcZero(), e._07shiftGlobCnt4SrcSnsSphere(), e._21ApplySnsGain(1),
                                e._08changeSpatUnit4SrcSnsSphere_Meter(), e._28changeCoord4SrcSnsSphere_openGL(), e._26stencilLf2dewar()}),
              std::vector<int>(10, 0));
    EXPECT_EQ(e._01setUserSphere2SingleSphere(), 1);  // needs nothing
}

// A prepared coil (M1's second) with one integration point in use, an unprepared coil's slot
// set, the single sphere at (1, 2, 3) radius 80, the reference's local sphere radius 30.
struct Conv : Proc {
    void SetUp() override {
        Proc::SetUp();
        ASSERT_EQ(m.prepare4VoxSnsLfdScan(3), 1);
        m.singleSphere.setSphere(1, 2, 3, 80);
        coil(2, 1).isB12Set = 1;
        for (int a = 0; a < 3; ++a) coil(2, 1).b12Pts[0].pos[a] = P3{70, 81, 2}[a];
        coil(0, 0).b12Pts[0].pos[1] = 5;
        sensor(1).localSphere[3] = 30;
    }
};

TEST_F(Conv, ChangesRunOnceAndTheRestoresReturnEverything) {
    const std::vector<double> host = geometry(m);
    ASSERT_EQ(m._28changeSpatUnit4SrcSnsSphere_MilliMeter(), 1);  // nothing in unit mode 0
    ASSERT_EQ(m._28changeCoord4SrcSnsSphere_openGL(), 1);          // nothing in host axes
    EXPECT_EQ(geometry(m), host);

    // Matlab axes (x, -z, y): coils carry their normals and prepared points along.
    for (int twice = 0; twice < 2; ++twice) ASSERT_EQ(m._08changeCoord4SrcSnsSphere_matlab(), 1);
    expectPoints({{src(1).srcField.pos, {0, 0, 84}}, {coil(2, 1).coilPos, {90, 0, 80}}, {coil(2, 1).coilNormal, {0.6, 0, 0.8}},
                  {coil(2, 1).coilOrient, {0.6, 0, 0.8}}, {coil(2, 1).b12Pts[0].pos, {70, -2, 81}},
                  {sensor(0).localSphere, {0, 0, 60}}, {m.singleSphere.center, {1, -3, 2}}});
    m.spatUnit = 0.1;  // then times 0.1, radii too
    for (int twice = 0; twice < 2; ++twice) ASSERT_EQ(m._08changeSpatUnit4SrcSnsSphere_Meter(), 1);
    expectPoints({{src(2).srcField.pos, {0, 0, 8.5}}, {coil(4, 0).coilPos, {-6, 0, 4}}, {coil(2, 1).b12Pts[0].pos, {7, -0.2, 8.1}},
                  {sensor(1).localSphere, {0, 0, 6}}, {m.singleSphere.center, {0.1, -0.3, 0.2}}});
    EXPECT_DOUBLE_EQ(coil(4, 0).coilRadius, 0.9);
    EXPECT_DOUBLE_EQ(sensor(1).localSphere[3], 3.0);
    EXPECT_DOUBLE_EQ(m.singleSphere.radius, 8.0);
    EXPECT_EQ(coil(0, 0).b12Pts[0].pos[1], 5.0);  // unprepared: left alone by both

    ASSERT_EQ(m.postScanLfProcess(), 1);
    EXPECT_THAT(geometry(m), ::testing::Pointwise(::testing::DoubleNear(1e-12), host));
    EXPECT_EQ(m.pFwdChnl->coordMode + m.pFwdChnl->unitMode + m.singleSphere.coordMode + m.singleSphere.unitMode +
                  src(0).coordMode + src(0).unitMode, 0);
}

TEST_F(Conv, UnitChangesThatCannotRunLeaveGeometry) {
    const std::vector<double> host = geometry(m);
    m.spatUnit = 0.0;  // cannot be undone: refused, nothing changed
    EXPECT_EQ(m._08changeSpatUnit4SrcSnsSphere_Meter(), 0);
    EXPECT_EQ(geometry(m), host);
    m.spatUnit = 0.1;
    ASSERT_EQ(m._08changeSpatUnit4SrcSnsSphere_Meter(), 1);
    const std::vector<double> scaled = geometry(m);
    m.spatUnit = std::numeric_limits<double>::infinity();  // all in the scan unit: nothing to change, the restore refused
    EXPECT_EQ(m._08changeSpatUnit4SrcSnsSphere_Meter(), 1);
    EXPECT_EQ(m._28changeSpatUnit4SrcSnsSphere_MilliMeter(), 0);
    EXPECT_EQ(geometry(m), scaled);
    m.spatUnit = 0.1;
    CForwardC0SnsCoilskw* entries = m.pFwdChnl->pSnsCoils;
    m.pFwdChnl->pSnsCoils = nullptr;  // without an entry array the unit restore stops after the sources
    EXPECT_EQ(m._28changeSpatUnit4SrcSnsSphere_MilliMeter(), 0);
    m.pFwdChnl->pSnsCoils = entries;
    EXPECT_TRUE(src(0).unitMode == 0 && m.pFwdChnl->unitMode == 2 && m.singleSphere.unitMode == 2);
}

TEST_F(Conv, ShiftMovesPointsButNotDirections) {
    ASSERT_EQ(m._07shiftGlobCnt4SrcSnsSphere(), 1);
    expectPoints({{src(0).srcField.pos, {-1, 81, -3}}, {coil(2, 1).coilPos, {89, 78, -3}}, {coil(2, 1).b12Pts[0].pos, {69, 79, -1}},
                  {coil(2, 1).coilNormal, {0.6, 0.8, 0}}, {sensor(0).localSphere, {-1, 58, -3}}, {m.singleSphere.center, {0, 0, 0}},
                  {m.pFwdChnl->dewarSphere.center, {0, 60, 0}}});
    EXPECT_EQ(m.singleSphere.radius, 80.0);
}

TEST_F(Proc, AxisRestoreOfLeadfieldValues) {
    for (int n = 1; n <= 3; ++n) {
        ASSERT_EQ(m.prepare4VoxSnsLfdScan(n), 1);
        ASSERT_EQ(m._08changeCoord4SrcSnsSphere_matlab(), 1);
        for (int j = 0; j < n; ++j) lf(1, 2)[j] = j + 1;  // 1, 2, 3
        ASSERT_EQ(m._28changeCoord4SrcSnsSphere_openGL(), 1);
        const std::vector<std::vector<double>> want = {{1}, {2, 1}, {1, 3, -2}};
        EXPECT_EQ(std::vector<double>(lf(1, 2), lf(1, 2) + n), want[n - 1]) << n << " components";
    }
}

}  // namespace
