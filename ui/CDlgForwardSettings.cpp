#include "ui/CDlgForwardSettings.h"

#include <span>

#include "forward_api/SettingTable.h"
#include "forward_process/CMDataForwardkw.h"
#include "forward_engine/CMForwardkw.h"

using megfwd::DialogExchange;
using megfwd::SettingRow;

namespace {

// The setting table's rows, and the index of one by member name.
std::span<const SettingRow> rows() { return megfwd::settingRows(); }

std::size_t rowIndex(const char* member) {
    const SettingRow* row = megfwd::findSetting(member);
    return static_cast<std::size_t>(row - rows().data());
}

// The controls of a sphere: four edits in a row, centre x, y, z and radius.
constexpr int kSphereEdits = 4;

}  // namespace

CDlgForwardSettings::CDlgForwardSettings(CWnd* pParent) : CDialog(IDD, pParent) {
    staged.resize(rows().size());
    for (std::size_t i = 0; i < rows().size(); ++i) {
        staged[i].whole = static_cast<int>(rows()[i].dialogStart);
        staged[i].number[0] = rows()[i].dialogStart;
    }
}

CDlgForwardSettings::~CDlgForwardSettings() = default;

int& CDlgForwardSettings::whole(const char* member) { return staged[rowIndex(member)].whole; }

double& CDlgForwardSettings::number(const char* member, int index) {
    return staged[rowIndex(member)].number[index];
}

void CDlgForwardSettings::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    auto exchange = [&](std::size_t i) {
        const SettingRow& row = rows()[i];
        Staged& v = staged[i];
        switch (row.exchange) {
            case DialogExchange::Radio: DDX_Radio(pDX, row.dialogControl, v.whole); break;
            case DialogExchange::Check: DDX_Check(pDX, row.dialogControl, v.whole); break;
            case DialogExchange::WholeText: DDX_Text(pDX, row.dialogControl, v.whole); break;
            case DialogExchange::NumberText:
                DDX_Text(pDX, row.dialogControl, v.number[0]);
                // A unit factor of 0 or below cannot be undone by the unit restore.
                if (row.dialogPositive && isUnitFactorChecked) DDV_GreaterThanDouble(pDX, v.number[0], 0.0);
                if (row.managerNumber == &CMDataForward::spatUnit)
                    DDX_Text(pDX, IDC_LBL_SPAT_UNIT, strSpatUnitLabel);
                break;
            case DialogExchange::SphereText:
                for (int k = 0; k < kSphereEdits; ++k) DDX_Text(pDX, row.dialogControl + k, v.number[k]);
                break;
            case DialogExchange::None: break;
        }
    };
    for (std::size_t i = 0; i < rows().size(); ++i)
        if (!rows()[i].dialogActsAtOnce) exchange(i);
    // The range checks come after the other fields are read; pointing each
    // at its edit puts the focus there, not on the control read before it.
    for (std::size_t i = 0; i < rows().size(); ++i)
        if (rows()[i].dialogMin <= rows()[i].dialogMax) {
            pDX->PrepareCtrl(rows()[i].dialogControl);
            DDV_MinMaxInt(pDX, staged[i].whole, rows()[i].dialogMin, rows()[i].dialogMax);
        }
    for (std::size_t i = 0; i < rows().size(); ++i)
        if (rows()[i].dialogActsAtOnce) exchange(i);
}

BEGIN_MESSAGE_MAP(CDlgForwardSettings, CDialog)
    ON_BN_CLICKED(IDOK, &CDlgForwardSettings::OnBnClickedOk)
    ON_BN_CLICKED(IDC_BTN_APPLY, &CDlgForwardSettings::OnBnClickedApply)
    ON_BN_CLICKED(IDC_BTN_UPDATE, &CDlgForwardSettings::OnBnClickedUpdate)
    ON_BN_CLICKED(IDC_BTN_COMPUTE, &CDlgForwardSettings::OnBnClickedCompute)
    ON_BN_CLICKED(IDC_BTN_RESTORE_UNIT, &CDlgForwardSettings::OnBnClickedRestoreUnit)
    ON_BN_CLICKED(IDC_BTN_RESTORE_COORD, &CDlgForwardSettings::OnBnClickedRestoreCoord)
    ON_BN_CLICKED(IDC_BTN_STENCIL_LF, &CDlgForwardSettings::OnBnClickedStencilLf)
    ON_BN_CLICKED(IDC_CHK_ANA_SCAN, &CDlgForwardSettings::OnBnClickedAnaScan)
    ON_BN_CLICKED(IDC_RAD_SNS_STANDARD, &CDlgForwardSettings::OnCtrlChanged)
    ON_BN_CLICKED(IDC_RAD_SNS_CTF, &CDlgForwardSettings::OnCtrlChanged)
    ON_BN_CLICKED(IDC_RAD_SNS_BTI, &CDlgForwardSettings::OnCtrlChanged)
    ON_BN_CLICKED(IDC_RAD_COIL_ST01, &CDlgForwardSettings::OnCtrlChanged)
    ON_BN_CLICKED(IDC_RAD_COIL_SX02, &CDlgForwardSettings::OnCtrlChanged)
    ON_BN_CLICKED(IDC_RAD_COIL_SV_CF03, &CDlgForwardSettings::OnCtrlChanged)
    ON_BN_CLICKED(IDC_RAD_COIL_SV_NT04, &CDlgForwardSettings::OnCtrlChanged)
    ON_BN_CLICKED(IDC_RAD_SPHERE_DEFAULT, &CDlgForwardSettings::OnCtrlChanged)
    ON_BN_CLICKED(IDC_RAD_SPHERE_SINGLE, &CDlgForwardSettings::OnCtrlChanged)
    ON_BN_CLICKED(IDC_RAD_SPHERE_MULTIPLE, &CDlgForwardSettings::OnCtrlChanged)
    ON_BN_CLICKED(IDC_RAD_SPHERE_BEM, &CDlgForwardSettings::OnCtrlChanged)
    ON_BN_CLICKED(IDC_CHK_SNS_GAIN, &CDlgForwardSettings::OnCtrlChanged)
    ON_BN_CLICKED(IDC_CHK_CENTRALIZED_LF, &CDlgForwardSettings::OnCtrlChanged)
    ON_BN_CLICKED(IDC_CHK_FWD_EXPRESS, &CDlgForwardSettings::OnCtrlChanged)
    ON_EN_CHANGE(IDC_EDT_SPAT_UNIT, &CDlgForwardSettings::OnCtrlChanged)
END_MESSAGE_MAP()

bool CDlgForwardSettings::OnInitDialog() {
    CDialog::OnInitDialog();
    readFwdSettings();  // 0 at creation: no engine yet, the controls show the defaults
    return true;
}

int CDlgForwardSettings::readFwdSettings() {
    if (!pFwd) return 0;
    const CMDataForwardkw* d = pFwd->pDataFwd;
    for (std::size_t i = 0; i < rows().size(); ++i) {
        const SettingRow& row = rows()[i];
        Staged& v = staged[i];
        if (row.exchange == DialogExchange::None) continue;
        if (row.engineWhole) v.whole = pFwd->*row.engineWhole;
        if (row.engineNumber) v.number[0] = pFwd->*row.engineNumber;
        if (!d) continue;  // the manager's part keeps what it shows
        if (row.managerWhole) v.whole = d->*row.managerWhole;
        if (row.managerNumber) v.number[0] = d->*row.managerNumber;
        if (row.managerSphere) {
            const CSpherekw& s = d->*row.managerSphere;
            for (int k = 0; k < 3; ++k) v.number[k] = s.center[k];
            v.number[3] = s.radius;
        }
    }
    updateSpatUnitLabel();
    UpdateData(false);
    return 1;
}

int CDlgForwardSettings::writeFwdSettings() {
    if (!UpdateData(true)) return 0;
    if (!pFwd) return 0;
    CMDataForwardkw* d = pFwd->pDataFwd;
    for (std::size_t i = 0; i < rows().size(); ++i) {
        const SettingRow& row = rows()[i];
        const Staged& v = staged[i];
        if (row.exchange == DialogExchange::None) continue;
        if (row.engineWhole) pFwd->*row.engineWhole = v.whole;
        if (row.engineNumber) pFwd->*row.engineNumber = v.number[0];
        if (!d) continue;
        if (row.managerWhole) d->*row.managerWhole = v.whole;
        if (row.managerNumber) d->*row.managerNumber = v.number[0];
        if (row.managerSphere) {
            CSpherekw& s = d->*row.managerSphere;
            for (int k = 0; k < 3; ++k) s.center[k] = v.number[k];
            s.radius = v.number[3];
        }
    }
    return 1;
}

void CDlgForwardSettings::updateSpatUnitLabel() {
    // The factor multiplies millimetre coordinates: 0.001 gives metres. A
    // factor that is not a number fails every comparison and ends as unknown.
    const double spatUnit = number("spatUnit");
    if (spatUnit > 1.009)
        strSpatUnitLabel = "Spatial Unit Unknown";
    else if (spatUnit >= 1.0)
        strSpatUnitLabel = "Spatial Unit mm";
    else if (spatUnit >= 0.1)
        strSpatUnitLabel = "Spatial Unit cm";
    else if (spatUnit >= 0.01)
        strSpatUnitLabel = "Spatial Unit dm";
    else if (spatUnit >= 0.001)
        strSpatUnitLabel = "Spatial Unit m";
    else
        strSpatUnitLabel = "Spatial Unit Unknown";
}

void CDlgForwardSettings::OnBnClickedOk() {
    // Two reads: writeFwdSettings, then the standard OK processing, which
    // validates again and ends the dialog only when every control reads. A
    // faulty control is therefore reported twice and the dialog stays open.
    writeFwdSettings();
    CDialog::OnOK();
}

void CDlgForwardSettings::OnBnClickedApply() {
    // The controls show the members afterwards whatever the read gave: a
    // control that did not read shows its member's value again, and the
    // label follows the factor the members hold.
    writeFwdSettings();
    updateSpatUnitLabel();
    UpdateData(false);
}

void CDlgForwardSettings::OnBnClickedUpdate() { readFwdSettings(); }

void CDlgForwardSettings::OnBnClickedCompute() {
    CWaitCursor wait;
    writeFwdSettings();
}

// The two restore steps work on the manager's own settings, so they run even
// when a control does not read (the framework has then shown its message).
void CDlgForwardSettings::OnBnClickedRestoreUnit() {
    UpdateData(true);
    if (pFwd && pFwd->pDataFwd) pFwd->pDataFwd->_28changeSpatUnit4SrcSnsSphere_MilliMeter();
}

void CDlgForwardSettings::OnBnClickedRestoreCoord() {
    UpdateData(true);
    if (pFwd && pFwd->pDataFwd) pFwd->pDataFwd->_28changeCoord4SrcSnsSphere_openGL();
}

void CDlgForwardSettings::OnBnClickedStencilLf() {
    CWaitCursor wait;
    if (pFwd && pFwd->pDataFwd) pFwd->pDataFwd->_26stencilLf2dewar();
}

void CDlgForwardSettings::OnBnClickedAnaScan() {
    // The check box is the last control read; when an earlier one does not
    // read, its member is stale and is not written.
    if (!UpdateData(true)) return;
    if (pFwd && pFwd->pDataFwd) pFwd->pDataFwd->isAnaScan = whole("isAnaScan");
}

void CDlgForwardSettings::OnCtrlChanged() {
    // Keeps the members in step while the user works; a control that does
    // not read gets the framework's message. The sign of the unit factor is
    // left to the reads that use the settings: this runs on every keystroke
    // in the factor, and typing 0.001 passes through 0.
    isUnitFactorChecked = false;
    UpdateData(true);
    isUnitFactorChecked = true;
}
