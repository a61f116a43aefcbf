// The forward settings dialog and the engine facade that shows it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "forward_data/CMDataForwardkw.h"
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

    // The bound settings, each with its control.
    struct Flag {
        int id;
        int* field;
    };
    struct Number {
        int id;
        double* field;
    };
    struct Radio {
        int* field;
        std::vector<int> ids;
    };
    std::vector<Flag> flags() {
        return {{IDC_CHK_TANG_LFD, &data.isTangLfd},          {IDC_CHK_CENTRALIZED_LF, &data.isCentralizedLf},
                {IDC_CHK_SPAT_CONSTRAINED, &data.isSpatConstrained}, {IDC_CHK_UNIT2METER, &data.isUnit2Meter},
                {IDC_CHK_SNS_GAIN, &data.isApplySnsGain},     {IDC_CHK_UNIT_LF, &data.isUnitLf},
                {IDC_CHK_RESTORE_COORD, &data.isRestoreCoord}, {IDC_CHK_RESTORE_UNIT, &data.isRestoreUnit},
                {IDC_CHK_MAG_SRC, &engine.isMagSrc},          {IDC_CHK_FWD_EXPRESS, &engine.isFwdExpress},
                {IDC_CHK_USE_REF_SNS, &engine.isUseRefSns}};
    }
    std::vector<Number> numbers() {
        return {{IDC_EDT_MIN_COIL_SPH, &data.minCoilSphDist}, {IDC_EDT_MIN_COIL_SRC, &data.minCoilSrcDist},
                {IDC_EDT_SPHERE_X, &data.userSphere.center[0]}, {IDC_EDT_SPHERE_Y, &data.userSphere.center[1]},
                {IDC_EDT_SPHERE_Z, &data.userSphere.center[2]}, {IDC_EDT_SPHERE_R, &data.userSphere.radius},
                {IDC_EDT_MIN_SRC_SPH, &data.minSrcSphDist},   {IDC_EDT_MU4PI, &engine.mu4PiRatio},
                {IDC_EDT_SPAT_UNIT, &data.spatUnit}};
    }
    std::vector<Radio> radios() {
        return {{&data.sphereModel, {2052, 2056, 2058, 2061, 2062}},
                {&data.coordSystem, {2079, 2080, 2081}},
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

TEST(SettingsDialog, BeforeTheFirstFillTheControlsShowTheDefaults) {
    MessageRecorder rec;
    CDlgForwardSettings dlg;
    ASSERT_TRUE(dlg.Create(CDlgForwardSettings::IDD));
    EXPECT_FALSE(dlg.IsWindowVisible());
    EXPECT_EQ(dlg.readFwdSettings(), 0);
    for (int id : {IDC_RAD_SPHERE_DEFAULT, IDC_RAD_COORD_OPENGL, IDC_RAD_COIL_ST01, IDC_RAD_SNS_STANDARD,
                   IDC_CHK_USE_REF_SNS})
        EXPECT_EQ(dlg.IsDlgButtonChecked(id), 1) << id;
    for (int id : {IDC_CHK_TANG_LFD, IDC_CHK_CENTRALIZED_LF, IDC_CHK_SNS_GAIN, IDC_CHK_RESTORE_UNIT,
                   IDC_CHK_ANA_SCAN, IDC_RAD_COIL_SV_NT04})
        EXPECT_EQ(dlg.IsDlgButtonChecked(id), 0) << id;
    const std::pair<int, const char*> texts[] = {
        {IDC_EDT_INTG_ORDER, "0"}, {IDC_EDT_MIN_COIL_SPH, "0"}, {IDC_EDT_SPHERE_R, "0"}, {IDC_EDT_SPAT_UNIT, "1"},
        {IDC_EDT_MIN_SRC_SPH, "1"}, {IDC_EDT_MU4PI, "1"}, {IDC_LBL_SPAT_UNIT, "Spatial Unit MM"}};
    for (const auto& [id, t] : texts) EXPECT_EQ(dlg.GetDlgItemText(id), t) << id;
    // The default order 0 does not validate.
    EXPECT_EQ(dlg.writeFwdSettings(), 0);
    EXPECT_EQ(rec.texts(), (std::vector<std::string>{"Please enter an integer between 1 and 7."}));
    rec.clear();
    // No engine: every handler does nothing, and nothing is said.
    dlg.SetDlgItemText(IDC_EDT_INTG_ORDER, "2");
    for (int id : {IDC_BTN_APPLY, IDC_BTN_UPDATE, IDC_BTN_COMPUTE, IDC_BTN_RESTORE_UNIT, IDC_BTN_RESTORE_COORD,
                   IDC_BTN_STENCIL_LF, IDC_CHK_ANA_SCAN, IDC_RAD_SNS_BTI})
        EXPECT_TRUE(dlg.ClickDlgButton(id));
    EXPECT_TRUE(rec.messages().empty());
    EXPECT_EQ(AfxGetWaitCursorCount(), 0);
}

TEST(SettingsDialog, FreshEngineWithoutManagerOrParent) {
    MessageRecorder rec;
    CMForwardkw engine;
    ASSERT_EQ(engine.showDlgFwdSetting(nullptr, nullptr), 1);
    CDlgForwardSettings* dlg = engine.pDlgFwdSettings;
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(dlg->pFwd, &engine);
    EXPECT_TRUE(dlg->IsWindowVisible());
    EXPECT_EQ(CWnd::GetForegroundWindow(), dlg);
    EXPECT_EQ(engine.pDataFwd, nullptr);
    EXPECT_EQ(engine.pParentWnd, nullptr);
    // Engine values...
    EXPECT_EQ(dlg->IsDlgButtonChecked(IDC_RAD_COIL_SV_NT04), 1);
    EXPECT_EQ(dlg->IsDlgButtonChecked(IDC_RAD_SNS_CTF), 1);
    EXPECT_EQ(dlg->GetDlgItemText(IDC_EDT_INTG_ORDER), "2");
    // ...and the dialog's own defaults for the manager's part.
    EXPECT_EQ(dlg->GetDlgItemText(IDC_EDT_MIN_COIL_SRC), "0");
    EXPECT_EQ(dlg->GetDlgItemText(IDC_EDT_MIN_SRC_SPH), "1");
    EXPECT_EQ(dlg->IsDlgButtonChecked(IDC_CHK_RESTORE_COORD), 0);
    EXPECT_EQ(dlg->GetDlgItemText(IDC_LBL_SPAT_UNIT), "Spatial Unit mm");

    // Without a manager the buttons that act on it do nothing; Apply writes
    // the engine only.
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
    EXPECT_EQ(engine.pDataFwd, &data);
    dlg().PressEscapeKey();
    EXPECT_FALSE(dlg().IsWindowVisible());

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
    const struct {
        double f;
        const char* label;
    } cases[] = {{0.001, "Spatial Unit m"},       {0.0005, "Spatial Unit Unknown"},
                 {1.01, "Spatial Unit Unknown"},  {1.009, "Spatial Unit mm"},
                 {1.0, "Spatial Unit mm"},        {0.999, "Spatial Unit cm"},
                 {0.1, "Spatial Unit cm"},        {0.0999, "Spatial Unit dm"},
                 {0.01, "Spatial Unit dm"},       {0.00999, "Spatial Unit m"},
                 {std::nan(""), "Spatial Unit Unknown"}};
    for (const auto& c : cases) {
        data.spatUnit = c.f;
        dlg().ClickDlgButton(IDC_BTN_UPDATE);
        EXPECT_EQ(text(IDC_LBL_SPAT_UNIT), c.label) << c.f;
    }
    // Typed and applied.
    dlg().SetDlgItemText(IDC_EDT_SPAT_UNIT, " 0.01");
    dlg().ClickDlgButton(IDC_BTN_APPLY);
    EXPECT_EQ(data.spatUnit, 0.01);
    EXPECT_EQ(text(IDC_LBL_SPAT_UNIT), "Spatial Unit dm");
}

TEST_F(SettingsTest, ApplyWritesEveryControlToItsOwnerAndUpdateReadsItBack) {
    show();
    const int order = engine.orderCoilIntg, tang = engine.tangVectMethod;
    const double single = data.singleSphere.radius;
    std::vector<int> flagsBefore;
    for (const Flag& f : flags()) {
        flagsBefore.push_back(*f.field);
        dlg().ClickDlgButton(f.id);
    }
    for (const Radio& r : radios()) dlg().ClickDlgButton(r.ids.back());
    const auto nums = numbers();
    for (std::size_t i = 0; i < nums.size(); ++i) dlg().SetDlgItemText(nums[i].id, std::to_string(i) + ".5");
    dlg().SetDlgItemText(IDC_EDT_INTG_ORDER, "7");
    dlg().ClickDlgButton(IDC_BTN_APPLY);
    EXPECT_TRUE(rec.messages().empty());
    for (std::size_t i = 0; i < flags().size(); ++i) EXPECT_EQ(*flags()[i].field, !flagsBefore[i]) << flags()[i].id;
    for (const Radio& r : radios()) EXPECT_EQ(*r.field, static_cast<int>(r.ids.size()) - 1) << r.ids[0];
    for (std::size_t i = 0; i < nums.size(); ++i) EXPECT_EQ(*nums[i].field, i + 0.5) << nums[i].id;
    EXPECT_EQ(engine.orderCoilIntg, 7);
    EXPECT_EQ(data.isAnaScan, 0);
    EXPECT_EQ(text(IDC_LBL_SPAT_UNIT), "Spatial Unit Unknown");  // unit factor 8.5
    // Settings the dialog does not edit stay as they were.
    EXPECT_EQ(data.singleSphere.radius, single);
    EXPECT_EQ(engine.tangVectMethod, tang);

    // Everything changed behind the dialog shows after Update...
    for (const Flag& f : flags()) *f.field = !*f.field;
    for (const Radio& r : radios()) *r.field = 1;
    for (std::size_t i = 0; i < nums.size(); ++i) *nums[i].field = (i + 1) / 3.0;
    data.minSrcSphDist = std::numeric_limits<double>::epsilon();
    data.isAnaScan = 3;  // any non-zero flag
    engine.orderCoilIntg = order;
    dlg().ClickDlgButton(IDC_BTN_UPDATE);
    for (const Flag& f : flags()) EXPECT_EQ(checked(f.id), *f.field) << f.id;
    for (const Radio& r : radios())
        for (std::size_t k = 0; k < r.ids.size(); ++k) EXPECT_EQ(checked(r.ids[k]), k == 1 ? 1 : 0) << r.ids[k];
    EXPECT_EQ(text(IDC_EDT_MIN_SRC_SPH), "2.220446049250313e-16");
    EXPECT_EQ(text(IDC_EDT_MIN_COIL_SPH), "0.3333333333333333");
    EXPECT_EQ(text(IDC_EDT_INTG_ORDER), "2");
    EXPECT_EQ(checked(IDC_CHK_ANA_SCAN), 1);

    // ...and Apply after Update changes nothing, not even the last bit.
    std::vector<double> values;
    for (const Number& n : nums) values.push_back(*n.field);
    dlg().ClickDlgButton(IDC_BTN_APPLY);
    for (std::size_t i = 0; i < nums.size(); ++i) EXPECT_EQ(*nums[i].field, values[i]) << nums[i].id;
    EXPECT_EQ(data.isAnaScan, 1);
}

TEST_F(SettingsTest, InvalidFieldsKeepTheDialogOpenAndWriteNothing) {
    show();
    CMDataForwardkw before = data;
    dlg().ClickDlgButton(IDC_CHK_TANG_LFD);
    dlg().SetDlgItemText(IDC_EDT_INTG_ORDER, "9");
    dlg().ClickDlgButton(IDOK);
    EXPECT_EQ(rec.texts(), (std::vector<std::string>{"Please enter an integer between 1 and 7."}));
    EXPECT_TRUE(dlg().IsWindowVisible());
    EXPECT_EQ(dlg().GetFocusItem(), dlg().FindItem(IDC_EDT_INTG_ORDER));
    EXPECT_EQ(engine.orderCoilIntg, 2);
    EXPECT_EQ(data.isTangLfd, before.isTangLfd);

    rec.clear();
    dlg().SetDlgItemText(IDC_EDT_INTG_ORDER, "5");
    dlg().SetDlgItemText(IDC_EDT_MIN_COIL_SPH, "twelve");
    dlg().SetDlgItemText(IDC_EDT_MIN_COIL_SRC, "30");
    dlg().ClickDlgButton(IDC_BTN_APPLY);
    dlg().ClickDlgButton(IDC_BTN_COMPUTE);
    dlg().ClickDlgButton(IDOK);
    EXPECT_EQ(rec.count("Please enter a number."), 3);
    EXPECT_EQ(rec.messages().size(), 3u);
    EXPECT_TRUE(dlg().IsWindowVisible());
    EXPECT_EQ(dlg().GetFocusItem(), dlg().FindItem(IDC_EDT_MIN_COIL_SPH));
    // Apply left the typing as it was, the later field included.
    EXPECT_EQ(text(IDC_EDT_MIN_COIL_SPH), "twelve");
    EXPECT_EQ(text(IDC_EDT_MIN_COIL_SRC), "30");
    EXPECT_EQ(engine.orderCoilIntg, 2);
    EXPECT_EQ(data.minCoilSrcDist, before.minCoilSrcDist);

    // Change notifications read quietly: clicking a radio button or typing
    // in the unit factor says nothing about the faulty field.
    rec.clear();
    dlg().ClickDlgButton(IDC_RAD_COORD_MATLAB);
    dlg().SetDlgItemText(IDC_EDT_SPAT_UNIT, "");
    EXPECT_TRUE(rec.messages().empty());

    EXPECT_EQ(dlg().coordSystem, 1);
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

TEST_F(SettingsTest, ComputeWritesUnderTheWaitCursor) {
    std::vector<int> seen;  // the engine's order each time the cursor changes
    auto previous = megfwd::ui::setWaitCursorHandler([&](bool busy) { seen.push_back(busy ? engine.orderCoilIntg : -engine.orderCoilIntg); });
    show();
    dlg().SetDlgItemText(IDC_EDT_INTG_ORDER, "3");
    dlg().ClickDlgButton(IDC_BTN_COMPUTE);
    megfwd::ui::setWaitCursorHandler(previous);
    EXPECT_EQ(seen, (std::vector<int>{2, -3}));  // written while the cursor was up
    EXPECT_TRUE(dlg().IsWindowVisible());
}

// The three buttons that run a post-processing step on the manager.
class ActionTest : public SettingsTest {
protected:
    void SetUp() override {
        ASSERT_EQ(data.initFwdChn(nullptr, &trial, 0, 0, 0), 1);
        CBscMagSnskw* coil = data.pFwdChnl->pSnsCoils[firstMeasurement()].pMEGSns->getCoil(0);
        ASSERT_NE(coil, nullptr);
        coilPos = {coil->coilPos[0], coil->coilPos[1], coil->coilPos[2]};
        const double r = std::sqrt(coilPos[0] * coilPos[0] + coilPos[1] * coilPos[1] + coilPos[2] * coilPos[2]);
        const double s = (r - 8.0) / r;  // 8 mm under the coil, towards the head centre
        list.addPosition(0.0, 0.0, 0.0);
        list.addPosition(coilPos[0] * s, coilPos[1] * s, coilPos[2] * s);
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
    std::int64_t firstMeasurement() {
        for (std::int64_t e = 0; e < data.pFwdChnl->numChnl; ++e)
            if (data.pFwdChnl->pSnsCoils[e].snsKind >= 100 && data.pFwdChnl->pSnsCoils[e].pMEGSns) return e;
        return 0;
    }
    double* coil0() { return data.pFwdChnl->pSnsCoils[firstMeasurement()].pMEGSns->getCoil(0)->coilPos; }

    CMDTrialkw trial = megfwd::demo::makeDefaultTrial();
    CVirtSnsPOXlistkw list;
    std::vector<double> coilPos;
};

TEST_F(ActionTest, StencilClearsTheSourceNextToACoil) {
    bool busyDuringStep = false;
    auto previous = megfwd::ui::setWaitCursorHandler([&](bool busy) { busyDuringStep = busyDuringStep || busy; });
    dlg().ClickDlgButton(IDC_BTN_STENCIL_LF);
    megfwd::ui::setWaitCursorHandler(previous);
    EXPECT_TRUE(busyDuringStep);
    EXPECT_EQ(AfxGetWaitCursorCount(), 0);
    const CFISrcSnsLf& deep = data.pVoxSnsLfx[0];
    const CFISrcSnsLf& near = data.pVoxSnsLfx[1];
    EXPECT_EQ(deep.pSnsLf[0].pLf[2], 3.0);
    EXPECT_EQ(near.pSnsLf[0].pLf[2], 0.0);
    EXPECT_EQ(near.pSnsLf[near.numSns - 1].pLf[0], 0.0);
    EXPECT_EQ(near.isVoxIn, 1);
}

TEST_F(ActionTest, RestoreButtonsBringGeometryBackToHostAxesAndMillimetres) {
    // As a scan in Matlab axes would leave it.
    CFISrcSnsLf& src = data.pVoxSnsLfx[1];
    src.coordMode = 1;
    data.pFwdChnl->coordMode = 1;
    data.singleSphere.coordMode = 1;
    data.singleSphere.setSphere(0.0, 0.0, 40.0, 75.0);
    const double before[3] = {src.srcField.pos[0], src.srcField.pos[1], src.srcField.pos[2]};
    dlg().ClickDlgButton(IDC_BTN_RESTORE_COORD);
    EXPECT_EQ(src.coordMode, 0);
    EXPECT_EQ(data.pFwdChnl->coordMode, 0);
    EXPECT_EQ(data.singleSphere.coordMode, 0);
    // OpenGL (x, y, z) = Matlab (x, z, -y).
    EXPECT_DOUBLE_EQ(src.srcField.pos[1], before[2]);
    EXPECT_DOUBLE_EQ(src.srcField.pos[2], -before[1]);
    EXPECT_DOUBLE_EQ(src.pSnsLf[0].pLf[2], -2.0);
    EXPECT_DOUBLE_EQ(coil0()[1], coilPos[2]);
    EXPECT_EQ(data.pVoxSnsLfx[0].pSnsLf[0].pLf[1], 2.0);  // source 0 was in host axes already

    // As a scan in metres would leave it; the manager's factor counts, not
    // the one typed in the dialog.
    data.spatUnit = 0.001;
    dlg().SetDlgItemText(IDC_EDT_SPAT_UNIT, "0.5");
    for (int i = 0; i < 2; ++i) data.pVoxSnsLfx[i].unitMode = 2;
    data.pFwdChnl->unitMode = 2;
    data.singleSphere.unitMode = 2;
    const double x1 = src.srcField.pos[0], c0 = coil0()[0];
    dlg().ClickDlgButton(IDC_BTN_RESTORE_UNIT);
    EXPECT_EQ(data.pFwdChnl->unitMode, 0);
    EXPECT_DOUBLE_EQ(src.srcField.pos[0], x1 / 0.001);
    EXPECT_DOUBLE_EQ(coil0()[0], c0 / 0.001);
    EXPECT_DOUBLE_EQ(data.singleSphere.radius, 75000.0);
    EXPECT_EQ(data.spatUnit, 0.001);
    EXPECT_EQ(dlg().spatUnit, 0.5);  // the controls were read into the members
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
    // The engine took its dialog's window with it (the sanitizer build checks
    // that nothing was released twice or leaked).
    EXPECT_EQ(log.destroyed, 1);
    EXPECT_EQ(CWnd::GetForegroundWindow(), nullptr);
}

TEST(EngineFacade, DialogThatCannotBeMadeFailsTheCall) {
    CMForwardkw engine;
    megfwd::alloc::failAfter(0);
    EXPECT_EQ(engine.showDlgFwdSetting(nullptr, nullptr), 0);
    megfwd::alloc::reset();
    EXPECT_EQ(engine.pDlgFwdSettings, nullptr);
    EXPECT_EQ(engine.showDlgFwdSetting(nullptr, nullptr), 1);

    // A window destroyed behind the engine's back is made again.
    engine.pDlgFwdSettings->DestroyWindow();
    EXPECT_EQ(engine.showDlgFwdSetting(nullptr, nullptr), 1);
    EXPECT_TRUE(engine.pDlgFwdSettings->IsWindowVisible());
}
