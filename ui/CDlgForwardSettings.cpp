#include "ui/CDlgForwardSettings.h"

#include "forward_data/CMDataForwardkw.h"
#include "forward_engine/CMForwardkw.h"

CDlgForwardSettings::CDlgForwardSettings(CWnd* pParent) : CDialog(IDD, pParent) {}

CDlgForwardSettings::~CDlgForwardSettings() = default;

void CDlgForwardSettings::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Radio(pDX, IDC_RAD_SPHERE_DEFAULT, sphereModel);
    DDX_Radio(pDX, IDC_RAD_COORD_OPENGL, coordSystem);
    DDX_Radio(pDX, IDC_RAD_COIL_ST01, coilFwdModel);
    DDX_Radio(pDX, IDC_RAD_SNS_STANDARD, snsFwdModel);
    DDX_Check(pDX, IDC_CHK_USE_REF_SNS, isUseRefSns);
    DDX_Check(pDX, IDC_CHK_TANG_LFD, isTangLfd);
    DDX_Text(pDX, IDC_EDT_INTG_ORDER, orderCoilIntg);
    DDX_Check(pDX, IDC_CHK_SNS_GAIN, isApplySnsGain);
    DDX_Text(pDX, IDC_EDT_MIN_COIL_SPH, minCoilSphDist);
    DDX_Text(pDX, IDC_EDT_MIN_COIL_SRC, minCoilSrcDist);
    DDX_Text(pDX, IDC_EDT_SPHERE_X, userSphere[0]);
    DDX_Text(pDX, IDC_EDT_SPHERE_Y, userSphere[1]);
    DDX_Text(pDX, IDC_EDT_SPHERE_Z, userSphere[2]);
    DDX_Text(pDX, IDC_EDT_SPHERE_R, userSphere[3]);
    DDX_Text(pDX, IDC_EDT_SPAT_UNIT, spatUnit);
    // A factor of 0 or below cannot be undone by the unit restore.
    if (isUnitFactorChecked) DDV_GreaterThanDouble(pDX, spatUnit, 0.0);
    DDX_Check(pDX, IDC_CHK_FWD_EXPRESS, isFwdExpress);
    DDX_Text(pDX, IDC_LBL_SPAT_UNIT, strSpatUnitLabel);
    DDX_Check(pDX, IDC_CHK_UNIT2METER, isUnit2Meter);
    DDX_Check(pDX, IDC_CHK_CENTRALIZED_LF, isCentralizedLf);
    DDX_Text(pDX, IDC_EDT_MIN_SRC_SPH, minSrcSphDist);
    DDX_Check(pDX, IDC_CHK_SPAT_CONSTRAINED, isSpatConstrained);
    DDX_Check(pDX, IDC_CHK_MAG_SRC, isMagSrc);
    DDX_Check(pDX, IDC_CHK_UNIT_LF, isUnitLf);
    DDX_Text(pDX, IDC_EDT_MU4PI, mu4PiRatio);
    DDX_Check(pDX, IDC_CHK_RESTORE_COORD, isRestoreCoord);
    DDX_Check(pDX, IDC_CHK_RESTORE_UNIT, isRestoreUnit);
    // The range check of the order comes late in the exchange; pointing it at
    // the order's edit puts the focus there, not on the check box before it.
    pDX->PrepareCtrl(IDC_EDT_INTG_ORDER);
    DDV_MinMaxInt(pDX, orderCoilIntg, 1, 7);
    DDX_Check(pDX, IDC_CHK_ANA_SCAN, isAnaScan);
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
    if (const CMDataForwardkw* d = pFwd->pDataFwd) {
        sphereModel = d->sphereModel;
        coordSystem = d->coordSystem;
        isTangLfd = d->isTangLfd;
        isApplySnsGain = d->isApplySnsGain;
        minCoilSphDist = d->minCoilSphDist;
        minCoilSrcDist = d->minCoilSrcDist;
        for (int i = 0; i < 3; ++i) userSphere[i] = d->userSphere.center[i];
        userSphere[3] = d->userSphere.radius;
        spatUnit = d->spatUnit;
        isUnit2Meter = d->isUnit2Meter;
        isCentralizedLf = d->isCentralizedLf;
        minSrcSphDist = d->minSrcSphDist;
        isSpatConstrained = d->isSpatConstrained;
        isUnitLf = d->isUnitLf;
        isRestoreCoord = d->isRestoreCoord;
        isRestoreUnit = d->isRestoreUnit;
        isAnaScan = d->isAnaScan;
    }
    coilFwdModel = pFwd->coilFwdModel;
    snsFwdModel = pFwd->snsFwdModel;
    isUseRefSns = pFwd->isUseRefSns;
    orderCoilIntg = pFwd->orderCoilIntg;
    isFwdExpress = pFwd->isFwdExpress;
    isMagSrc = pFwd->isMagSrc;
    mu4PiRatio = pFwd->mu4PiRatio;
    updateSpatUnitLabel();
    UpdateData(false);
    return 1;
}

int CDlgForwardSettings::writeFwdSettings() {
    if (!UpdateData(true)) return 0;
    if (!pFwd) return 0;
    if (CMDataForwardkw* d = pFwd->pDataFwd) {
        d->sphereModel = sphereModel;
        d->coordSystem = coordSystem;
        d->isTangLfd = isTangLfd;
        d->isApplySnsGain = isApplySnsGain;
        d->minCoilSphDist = minCoilSphDist;
        d->minCoilSrcDist = minCoilSrcDist;
        for (int i = 0; i < 3; ++i) d->userSphere.center[i] = userSphere[i];
        d->userSphere.radius = userSphere[3];
        d->spatUnit = spatUnit;
        d->isUnit2Meter = isUnit2Meter;
        d->isCentralizedLf = isCentralizedLf;
        d->minSrcSphDist = minSrcSphDist;
        d->isSpatConstrained = isSpatConstrained;
        d->isUnitLf = isUnitLf;
        d->isRestoreCoord = isRestoreCoord;
        d->isRestoreUnit = isRestoreUnit;
        d->isAnaScan = isAnaScan;
    }
    pFwd->coilFwdModel = coilFwdModel;
    pFwd->snsFwdModel = snsFwdModel;
    pFwd->isUseRefSns = isUseRefSns;
    pFwd->orderCoilIntg = orderCoilIntg;
    pFwd->isFwdExpress = isFwdExpress;
    pFwd->isMagSrc = isMagSrc;
    pFwd->mu4PiRatio = mu4PiRatio;
    return 1;
}

void CDlgForwardSettings::updateSpatUnitLabel() {
    // The factor multiplies millimetre coordinates: 0.001 gives metres. A
    // factor that is not a number fails every comparison and ends as unknown.
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
    if (pFwd && pFwd->pDataFwd) pFwd->pDataFwd->isAnaScan = isAnaScan;
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
