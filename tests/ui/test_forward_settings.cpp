// The forward settings dialog and the engine facade that shows it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "forward_process/CMDataForwardkw.h"
#include "forward_engine/CMForwardkw.h"
#include "host_interfaces/DefaultSystem.h"
#include "support/MessageRecorder.h"
#include "ui/CDlgForwardSettings.h"

using megfwd::test::MessageRecorder;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void show() { ASSERT_EQ(engine.showDlgFwdSetting(&data, nullptr), 1); }
    CDlgForwardSettings& dlg() { return *engine.pDlgFwdSettings; }
    CString text(int id) { return dlg().GetDlgItemText(id); }
    int checked(int id) { return dlg().IsDlgButtonChecked(id); }

    // The bound settings with their controls; radio groups with their buttons in order.
    std::vector<std::pair<int, int*>> flags() {
        return {{IDC_CHK_TANG_LFD, &data.isTangLfd}, {IDC_CHK_CENTRALIZED_LF, &data.isCentralizedLf},
                {IDC_CHK_SPAT_CONSTRAINED, &data.isSpatConstrained}, {IDC_CHK_UNIT2METER, &data.isUnit2Meter},
                {IDC_CHK_SNS_GAIN, &data.isApplySnsGain}, {IDC_CHK_UNIT_LF, &data.isUnitLf},
                {IDC_CHK_MAG_SRC, &engine.isMagSrc}, {IDC_CHK_RESTORE_COORD, &data.isRestoreCoord},
                {IDC_CHK_RESTORE_UNIT, &data.isRestoreUnit}, {IDC_CHK_FWD_EXPRESS, &engine.isFwdExpress},
                {IDC_CHK_USE_REF_SNS, &engine.isUseRefSns}};
    }
    std::vector<std::pair<int, double*>> numbers() {
        return {{IDC_EDT_MIN_COIL_SPH, &data.minCoilSphDist}, {IDC_EDT_MIN_COIL_SRC, &data.minCoilSrcDist},
                {IDC_EDT_SPHERE_X, &data.userSphere.center[0]}, {IDC_EDT_SPHERE_Y, &data.userSphere.center[1]},
                {IDC_EDT_SPHERE_Z, &data.userSphere.center[2]}, {IDC_EDT_SPHERE_R, &data.userSphere.radius},
                {IDC_EDT_MIN_SRC_SPH, &data.minSrcSphDist}, {IDC_EDT_MU4PI, &engine.mu4PiRatio},
                {IDC_EDT_SPAT_UNIT, &data.spatUnit}};
    }
    std::vector<std::pair<int*, std::vector<int>>> radios() {
        return {{&data.sphereModel, {2052, 2056, 2058, 2061, 2062}}, {&data.coordSystem, {2079, 2080, 2081}},
                {&engine.coilFwdModel, {2017, 2020, 2023, 2024, 2031, 2063, 2067, 2070}},
                {&engine.snsFwdModel, {2009, 2012, 2014, 2015, 2072}}};
    }

    MessageRecorder rec;
    CMDataForwardkw data;
    CMForwardkw engine;
};

// Records what the window tells its observers.
struct Log : CWndObserver {
    int destroyed = 0, foreground = 0;
    void windowDestroyed(CWnd&) override { ++destroyed; }
    void broughtToForeground(CWnd&) override { ++foreground; }
};

}  // namespace

TEST(SettingsDialog, WithoutEngineOrManagerTheHandlersDoNothing) {
    MessageRecorder rec;
    CDlgForwardSettings bare;
    ASSERT_TRUE(bare.Create(CDlgForwardSettings::IDD));
    EXPECT_FALSE(bare.IsWindowVisible());
    EXPECT_EQ(bare.readFwdSettings(), 0);
    // The members' starting values reach the controls at creation; order 0 does not validate.
    EXPECT_EQ(bare.IsDlgButtonChecked(IDC_CHK_USE_REF_SNS), 1);
    EXPECT_EQ(bare.GetDlgItemText(IDC_LBL_SPAT_UNIT), "Spatial Unit MM");
    EXPECT_EQ(bare.writeFwdSettings(), 0);
    EXPECT_EQ(rec.texts(), (std::vector<std::string>{"Please enter an integer between 1 and 7."}));
    rec.clear();
    bare.SetDlgItemText(IDC_EDT_INTG_ORDER, "2");
    for (int id : {IDC_BTN_APPLY, IDC_BTN_UPDATE, IDC_BTN_COMPUTE, IDC_BTN_RESTORE_UNIT, IDC_BTN_RESTORE_COORD,
                   IDC_BTN_STENCIL_LF, IDC_CHK_ANA_SCAN, IDC_RAD_SNS_BTI})
        EXPECT_TRUE(bare.ClickDlgButton(id));
    EXPECT_TRUE(rec.messages().empty());
    EXPECT_EQ(AfxGetWaitCursorCount(), 0);

    // A fresh engine without manager or parent.
    CMForwardkw engine;
    ASSERT_EQ(engine.showDlgFwdSetting(nullptr, nullptr), 1);
    CDlgForwardSettings* dlg = engine.pDlgFwdSettings;
    ASSERT_NE(dlg, nullptr);
    EXPECT_TRUE(dlg->IsWindowVisible());
    EXPECT_EQ(CWnd::GetForegroundWindow(), dlg);
    // The engine's values, and the dialog's own for the manager's part.
    EXPECT_EQ(dlg->IsDlgButtonChecked(IDC_RAD_COIL_SV_NT04), 1);
    EXPECT_EQ(dlg->GetDlgItemText(IDC_EDT_INTG_ORDER), "2");
    EXPECT_EQ(dlg->GetDlgItemText(IDC_EDT_MIN_SRC_SPH), "1");
    EXPECT_EQ(dlg->GetDlgItemText(IDC_LBL_SPAT_UNIT), "Spatial Unit mm");
    // The buttons that act on the manager do nothing; Apply writes the engine only.
    dlg->ClickDlgButton(IDC_RAD_COIL_GS07);
    dlg->SetDlgItemText(IDC_EDT_MU4PI, "2.5");
    for (int id : {IDC_BTN_RESTORE_UNIT, IDC_BTN_RESTORE_COORD, IDC_BTN_STENCIL_LF, IDC_CHK_ANA_SCAN, IDC_BTN_APPLY})
        dlg->ClickDlgButton(id);
    EXPECT_EQ(engine.coilFwdModel, 6);
    EXPECT_EQ(engine.mu4PiRatio, 2.5);
    EXPECT_TRUE(rec.messages().empty());
}

TEST_F(SettingsTest, LaterCallsShowTheSameDialogAgain) {
    show();
    CDlgForwardSettings* first = engine.pDlgFwdSettings;
    dlg().PressEscapeKey();
    data.minCoilSphDist = 20.5;
    CDialog parent;
    ASSERT_EQ(engine.showDlgFwdSetting(nullptr, &parent), 1);
    EXPECT_EQ(engine.pDlgFwdSettings, first);
    EXPECT_TRUE(dlg().IsWindowVisible());
    EXPECT_EQ(engine.pDataFwd, &data);  // null keeps the manager
    EXPECT_EQ(engine.pParentWnd, &parent);
    EXPECT_EQ(dlg().m_pParentWnd, nullptr);  // a top-level window all the same
    EXPECT_EQ(text(IDC_EDT_MIN_COIL_SPH), "20.5");  // refilled
    ASSERT_EQ(engine.showDlgFwdSetting(nullptr, nullptr), 1);
    EXPECT_EQ(engine.pParentWnd, &parent);
}

TEST_F(SettingsTest, UnitLabelFollowsTheFactor) {
    show();
    const std::pair<double, const char*> cases[] = {{0.001, "m"},   {0.0005, "Unknown"}, {1.01, "Unknown"}, {1.009, "mm"},
                                                    {1.0, "mm"},    {0.999, "cm"},       {0.1, "cm"},       {0.0999, "dm"},
                                                    {0.01, "dm"},   {0.00999, "m"},      {std::nan(""), "Unknown"}};
    for (const auto& [factor, unit] : cases) {
        data.spatUnit = factor;
        dlg().ClickDlgButton(IDC_BTN_UPDATE);
        EXPECT_EQ(text(IDC_LBL_SPAT_UNIT), std::string("Spatial Unit ") + unit) << factor;
    }
}

TEST_F(SettingsTest, ApplyWritesEveryControlToItsOwnerAndUpdateReadsItBack) {
    show();
    const int order = engine.orderCoilIntg, tang = engine.tangVectMethod;
    const double single = data.singleSphere.radius;
    const auto flagList = flags();
    const auto nums = numbers();
    std::vector<int> before;
    for (auto [id, field] : flagList) {
        before.push_back(*field);
        dlg().ClickDlgButton(id);
    }
    for (const auto& [field, ids] : radios()) dlg().ClickDlgButton(ids.back());
    for (std::size_t i = 0; i < nums.size(); ++i) dlg().SetDlgItemText(nums[i].first, std::to_string(i) + ".5");
    dlg().SetDlgItemText(IDC_EDT_INTG_ORDER, "7");
    dlg().ClickDlgButton(IDC_BTN_APPLY);
    EXPECT_TRUE(rec.messages().empty());
    for (std::size_t i = 0; i < flagList.size(); ++i) EXPECT_EQ(*flagList[i].second, !before[i]) << flagList[i].first;
    for (const auto& [field, ids] : radios()) EXPECT_EQ(*field, static_cast<int>(ids.size()) - 1) << ids[0];
    for (std::size_t i = 0; i < nums.size(); ++i) EXPECT_EQ(*nums[i].second, i + 0.5) << nums[i].first;
    EXPECT_EQ(engine.orderCoilIntg, 7);
    EXPECT_EQ(text(IDC_LBL_SPAT_UNIT), "Spatial Unit Unknown");  // unit factor 8.5
    // Settings the dialog does not edit stay as they were.
    EXPECT_EQ(data.singleSphere.radius, single);
    EXPECT_EQ(engine.tangVectMethod, tang);

    // Everything changed behind the dialog shows after Update...
    for (auto [id, field] : flagList) *field = !*field;
    for (const auto& [field, ids] : radios()) *field = 1;
    for (std::size_t i = 0; i < nums.size(); ++i) *nums[i].second = static_cast<double>(i + 1) / 3.0;
    data.minSrcSphDist = std::numeric_limits<double>::epsilon();
    data.isAnaScan = 3;  // any non-zero flag
    engine.orderCoilIntg = order;
    dlg().ClickDlgButton(IDC_BTN_UPDATE);
    for (auto [id, field] : flagList) EXPECT_EQ(checked(id), *field) << id;
    for (const auto& [field, ids] : radios())
        for (std::size_t k = 0; k < ids.size(); ++k) EXPECT_EQ(checked(ids[k]), k == 1 ? 1 : 0) << ids[k];
    EXPECT_EQ(text(IDC_EDT_MIN_SRC_SPH), "2.220446049250313e-16");
    EXPECT_EQ(text(IDC_EDT_MIN_COIL_SPH), "0.3333333333333333");
    EXPECT_EQ(text(IDC_EDT_INTG_ORDER), "2");
    EXPECT_EQ(checked(IDC_CHK_ANA_SCAN), 1);

    // ...and Apply after Update changes nothing, not even the last bit.
    std::vector<double> values;
    for (const auto& n : nums) values.push_back(*n.second);
    dlg().ClickDlgButton(IDC_BTN_APPLY);
    for (std::size_t i = 0; i < nums.size(); ++i) EXPECT_EQ(*nums[i].second, values[i]) << nums[i].first;
    EXPECT_EQ(data.isAnaScan, 1);
}

TEST_F(SettingsTest, InvalidFieldsAreReportedAndReachNeitherEngineNorManager) {
    show();
    const int tang = data.isTangLfd;
    const double srcDist = data.minCoilSrcDist;
    const CString srcText = text(IDC_EDT_MIN_COIL_SRC);
    const std::string range = "Please enter an integer between 1 and 7.", number = "Please enter a number.";
    // OK reads twice (writing the settings, then the standard OK processing)
    // and stays open.
    dlg().ClickDlgButton(IDC_CHK_TANG_LFD);
    dlg().SetDlgItemText(IDC_EDT_INTG_ORDER, "9");
    dlg().ClickDlgButton(IDOK);
    EXPECT_EQ(rec.texts(), std::vector<std::string>(2, range));
    EXPECT_TRUE(dlg().IsWindowVisible());
    EXPECT_EQ(dlg().GetFocusItem(), dlg().FindItem(IDC_EDT_INTG_ORDER));
    EXPECT_EQ(engine.orderCoilIntg, 2);
    EXPECT_EQ(data.isTangLfd, tang);

    // Apply refills the controls from the members all the same: the field
    // that did not read and those after it show the members' values, the
    // label the factor read before the fault.
    rec.clear();
    dlg().SetDlgItemText(IDC_EDT_INTG_ORDER, "5");
    dlg().SetDlgItemText(IDC_EDT_SPAT_UNIT, "0.001");  // read by its change notification
    dlg().SetDlgItemText(IDC_EDT_MIN_COIL_SPH, "twelve");
    dlg().SetDlgItemText(IDC_EDT_MIN_COIL_SRC, "30");
    dlg().ClickDlgButton(IDC_BTN_APPLY);
    EXPECT_EQ(rec.texts(), std::vector<std::string>{number});
    EXPECT_EQ(text(IDC_EDT_MIN_COIL_SPH), "12");
    EXPECT_EQ(text(IDC_EDT_MIN_COIL_SRC), srcText);
    EXPECT_EQ(text(IDC_LBL_SPAT_UNIT), "Spatial Unit m");
    EXPECT_EQ(engine.orderCoilIntg, 2);
    EXPECT_EQ(data.minCoilSrcDist, srcDist);

    // Compute ... reads once, OK twice.
    rec.clear();
    dlg().SetDlgItemText(IDC_EDT_MIN_COIL_SPH, "twelve");
    for (int id : {IDC_BTN_COMPUTE, IDOK}) dlg().ClickDlgButton(id);
    EXPECT_EQ(rec.texts(), std::vector<std::string>(3, number));
    EXPECT_TRUE(dlg().IsWindowVisible());
    EXPECT_EQ(dlg().GetFocusItem(), dlg().FindItem(IDC_EDT_MIN_COIL_SPH));
    EXPECT_EQ(engine.orderCoilIntg, 2);
}

TEST_F(SettingsTest, ChangeNotificationsReportFaultsButNotAUnitFactorBeingTyped) {
    show();
    // A sphere-model click and typing in the unit factor read every control
    // and report the faulty order; the members read before the fault follow.
    dlg().SetDlgItemText(IDC_EDT_INTG_ORDER, "x");
    dlg().ClickDlgButton(IDC_RAD_SPHERE_SINGLE);
    dlg().SetDlgItemText(IDC_EDT_SPAT_UNIT, "0.01");
    EXPECT_EQ(rec.texts(), std::vector<std::string>(2, "Please enter an integer."));
    EXPECT_EQ(dlg().GetFocusItem(), dlg().FindItem(IDC_EDT_INTG_ORDER));
    EXPECT_EQ(dlg().whole("sphereModel"), 1);
    EXPECT_EQ(data.sphereModel, 0);

    // Typing 0.001 passes through 0 without a word; a factor not above 0,
    // which the unit restore could not undo, is refused when the settings
    // are used.
    rec.clear();
    dlg().SetDlgItemText(IDC_EDT_INTG_ORDER, "3");
    for (const char* typed : {"0", "0.", "0.0", "0.00", "0.001"}) dlg().SetDlgItemText(IDC_EDT_SPAT_UNIT, typed);
    EXPECT_TRUE(rec.messages().empty());
    EXPECT_EQ(dlg().number("spatUnit"), 0.001);
    dlg().SetDlgItemText(IDC_EDT_SPAT_UNIT, "-0");
    dlg().ClickDlgButton(IDOK);
    EXPECT_EQ(rec.texts(), std::vector<std::string>(2, "Please enter a number greater than 0."));
    EXPECT_EQ(dlg().GetFocusItem(), dlg().FindItem(IDC_EDT_SPAT_UNIT));
    EXPECT_TRUE(dlg().IsWindowVisible());
    EXPECT_EQ(data.spatUnit, 1.0);
    EXPECT_EQ(engine.orderCoilIntg, 2);
}

TEST_F(SettingsTest, AnatomicalScanIsWrittenAtOnceAndSurvivesEscape) {
    show();
    dlg().SetDlgItemText(IDC_EDT_MIN_COIL_SPH, "99");
    dlg().ClickDlgButton(IDC_CHK_ANA_SCAN);
    EXPECT_EQ(data.isAnaScan, 1);
    dlg().PressEscapeKey();
    EXPECT_FALSE(dlg().IsWindowVisible());
    EXPECT_EQ(dlg().GetDialogResult(), IDCANCEL);
    EXPECT_EQ(data.isAnaScan, 1);
    EXPECT_EQ(data.minCoilSphDist, 12.0);  // cancel writes nothing else
    show();
    dlg().ClickDlgButton(IDC_CHK_ANA_SCAN);
    dlg().ClickCloseBox();
    EXPECT_EQ(data.isAnaScan, 0);
}

// The buttons that act on the manager: the default system, a source at the
// centre and one 8 mm under a coil, every leadfield (1, 2, 3).
class ActionTest : public SettingsTest {
protected:
    void SetUp() override {
        ASSERT_EQ(data.initFwdChn(nullptr, &trial, 0, 0, 0), 1);
        CForwardC0SnsCoilskw *entries = data.pFwdChnl->pSnsCoils, *end = entries + data.pFwdChnl->numChnl;
        const auto* e = std::find_if(entries, end, [](const auto& x) { return x.snsKind >= 100 && x.pMEGSns; });
        ASSERT_NE(e, end);
        const double* c = e->pMEGSns->getCoil(0)->coilPos;  // the first measurement sensor's first coil
        const double s = 1.0 - 8.0 / std::hypot(c[0], c[1], c[2]);
        list.addPosition(0.0, 0.0, 0.0);
        list.addPosition(c[0] * s, c[1] * s, c[2] * s);
        ASSERT_EQ(data.initFwdPosVsp(&list), 1);
        ASSERT_EQ(data.initVoxSnsLfx(-1, -1, 3), 1);
        for (int i = 0; i < 2; ++i) {
            CFISrcSnsLf& src = data.pVoxSnsLfx[i];
            for (int k = 0; k < 3; ++k) src.srcField.pos[k] = data.pFwdPos->ppPos[i][k];
            src.srcField.posDim = 3;
            for (std::int64_t j = 0; j < src.numSns; ++j)
                for (int k = 0; k < 3; ++k) src.pSnsLf[j].pLf[k] = k + 1.0;
        }
        show();
    }
    CMDTrialkw trial = megfwd::demo::makeDefaultTrial();
    CVirtSnsPOXlistkw list;
};

TEST_F(ActionTest, ComputeAndStencilWorkUnderTheWaitCursor) {
    std::vector<int> seen;  // the engine's order each time the cursor changes
    auto previous = megfwd::ui::setWaitCursorHandler(
        [&](bool busy) { seen.push_back(busy ? engine.orderCoilIntg : -engine.orderCoilIntg); });
    dlg().SetDlgItemText(IDC_EDT_INTG_ORDER, "3");
    dlg().ClickDlgButton(IDC_BTN_COMPUTE);
    dlg().ClickDlgButton(IDC_BTN_STENCIL_LF);
    megfwd::ui::setWaitCursorHandler(previous);
    EXPECT_EQ(seen, (std::vector<int>{2, -3, 3, -3}));  // Compute wrote while the cursor was up
    EXPECT_TRUE(dlg().IsWindowVisible());
    // The stencil cleared the source next to a coil.
    const CFISrcSnsLf &deep = data.pVoxSnsLfx[0], &near = data.pVoxSnsLfx[1];
    EXPECT_EQ(deep.pSnsLf[0].pLf[2], 3.0);
    EXPECT_EQ(near.pSnsLf[0].pLf[2], 0.0);
    EXPECT_EQ(near.pSnsLf[near.numSns - 1].pLf[0], 0.0);
    EXPECT_EQ(near.isVoxIn, 1);
}

// The manager's own tests check the restores in full; here each button runs its step.
TEST_F(ActionTest, RestoreButtonsBringGeometryBackToHostAxesAndMillimetres) {
    // As a scan in Matlab axes would leave it: OpenGL (x, y, z) = Matlab (x, z, -y).
    CFISrcSnsLf& src = data.pVoxSnsLfx[1];
    src.coordMode = data.pFwdChnl->coordMode = data.singleSphere.coordMode = 1;
    const double y = src.srcField.pos[1], z = src.srcField.pos[2];
    ASSERT_NE(y, z);
    dlg().ClickDlgButton(IDC_BTN_RESTORE_COORD);
    EXPECT_EQ(src.coordMode + data.pFwdChnl->coordMode + data.singleSphere.coordMode, 0);
    EXPECT_DOUBLE_EQ(src.srcField.pos[1], z);
    EXPECT_DOUBLE_EQ(src.srcField.pos[2], -y);
    EXPECT_DOUBLE_EQ(src.pSnsLf[0].pLf[2], -2.0);

    // As a scan in metres would leave it; the manager's factor counts, not
    // the one typed in the dialog.
    data.spatUnit = 0.001;
    dlg().SetDlgItemText(IDC_EDT_SPAT_UNIT, "0.5");
    for (int i = 0; i < 2; ++i) data.pVoxSnsLfx[i].unitMode = 2;
    data.pFwdChnl->unitMode = data.singleSphere.unitMode = 2;
    data.singleSphere.radius = 0.075;
    const double x = src.srcField.pos[0];
    dlg().ClickDlgButton(IDC_BTN_RESTORE_UNIT);
    EXPECT_EQ(data.pFwdChnl->unitMode, 0);
    EXPECT_DOUBLE_EQ(src.srcField.pos[0], x / 0.001);
    EXPECT_DOUBLE_EQ(data.singleSphere.radius, 75.0);
    EXPECT_EQ(data.spatUnit, 0.001);
    EXPECT_EQ(dlg().number("spatUnit"), 0.5);  // the controls were read into the members
    EXPECT_TRUE(rec.messages().empty());
}

TEST(EngineFacade, DialogLivesAndDiesWithItsEngine) {
    MessageRecorder rec;
    Log log;
    {
        CMForwardkw engine;
        engine.isMagSrc = 1;
        ASSERT_EQ(engine.showDlgFwdSetting(nullptr, nullptr), 1);
        engine.pDlgFwdSettings->AddObserver(&log);
        ASSERT_EQ(engine.showDlgFwdSetting(nullptr, nullptr), 1);

        // A copy takes the settings but not the dialog, and gets its own.
        CMForwardkw copy(engine);
        EXPECT_EQ(copy.pDlgFwdSettings, nullptr);
        EXPECT_EQ(copy.isMagSrc, 1);
        ASSERT_EQ(copy.showDlgFwdSetting(nullptr, nullptr), 1);
        EXPECT_NE(copy.pDlgFwdSettings, engine.pDlgFwdSettings);
        EXPECT_EQ(copy.pDlgFwdSettings->pFwd, &copy);

        // Assignment keeps each engine's own dialog.
        CMForwardkw other;
        other.coilFwdModel = 6;
        CDlgForwardSettings* mine = engine.pDlgFwdSettings;
        engine = other;
        EXPECT_EQ(engine.pDlgFwdSettings, mine);
        EXPECT_EQ(engine.coilFwdModel, 6);
        other = engine;
        EXPECT_EQ(other.pDlgFwdSettings, nullptr);
        EXPECT_EQ(log.foreground, 1);
    }
    // The engine took its dialog's window along (the sanitizer build checks for double release or leak).
    EXPECT_EQ(log.destroyed, 1);
    EXPECT_EQ(CWnd::GetForegroundWindow(), nullptr);
}

TEST(EngineFacade, DialogThatCannotBeMadeIsLeftOut) {
    CMForwardkw engine;
    megfwd::alloc::failAfter(0);
    EXPECT_EQ(engine.showDlgFwdSetting(nullptr, nullptr), 1);  // 1 whatever happens
    megfwd::alloc::reset();
    EXPECT_EQ(engine.pDlgFwdSettings, nullptr);
    EXPECT_EQ(engine.showDlgFwdSetting(nullptr, nullptr), 1);
    // A window destroyed behind the engine's back is made again.
    engine.pDlgFwdSettings->DestroyWindow();
    EXPECT_EQ(engine.showDlgFwdSetting(nullptr, nullptr), 1);
    EXPECT_TRUE(engine.pDlgFwdSettings->IsWindowVisible());
}
