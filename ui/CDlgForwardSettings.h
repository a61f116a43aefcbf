// The modeless dialog that edits the forward engine's formula settings and
// the forward data manager's preparation and post-processing settings, and
// runs single post-processing steps on the manager.
#pragma once

#include "ui/AfxWin.h"

class CMForwardkw;

class CDlgForwardSettings : public CDialog {
public:
    static constexpr int IDD = IDD_FWD_SETTINGS;

    explicit CDlgForwardSettings(CWnd* pParent = nullptr);
    ~CDlgForwardSettings() override;

    CMForwardkw* pFwd = nullptr;  // the engine, not owned

    // One member per bound setting, named as the member it mirrors. The
    // values here are shown until the dialog is first filled from an engine.
    // Manager settings:
    int sphereModel = 0;
    int coordSystem = 0;
    int isTangLfd = 0;
    int isApplySnsGain = 0;
    double minCoilSphDist = 0.0;
    double minCoilSrcDist = 0.0;
    double userSphere[4] = {0.0, 0.0, 0.0, 0.0};  // centre x, y, z and radius
    double spatUnit = 1.0;
    int isUnit2Meter = 0;
    int isCentralizedLf = 0;
    double minSrcSphDist = 1.0;
    int isSpatConstrained = 0;
    int isUnitLf = 0;
    int isRestoreCoord = 0;
    int isRestoreUnit = 0;
    int isAnaScan = 0;
    // Engine settings:
    int coilFwdModel = 0;
    int snsFwdModel = 0;
    int isUseRefSns = 1;
    int orderCoilIntg = 0;
    int isFwdExpress = 0;
    int isMagSrc = 0;
    double mu4PiRatio = 1.0;
    // The text of the unit label.
    CString strSpatUnitLabel = "Spatial Unit MM";

    // Members from the manager (when the engine has one) and the engine, the
    // label, then the controls. 0 without an engine.
    int readFwdSettings();
    // Controls into the members, then the members into the manager (when the
    // engine has one) and the engine. 0 without an engine, and 0 when the
    // controls do not read (an integration order outside 1..7, a number
    // field that is not a number, a unit factor not above 0): the framework
    // has shown its message and nothing reaches the engine or the manager,
    // so they never get half of an edit.
    int writeFwdSettings();
    // strSpatUnitLabel from spatUnit.
    void updateSpatUnitLabel();

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    bool OnInitDialog() override;

    void OnBnClickedOk();
    void OnBnClickedApply();
    void OnBnClickedUpdate();
    void OnBnClickedCompute();
    void OnBnClickedRestoreUnit();
    void OnBnClickedRestoreCoord();
    void OnBnClickedStencilLf();
    void OnBnClickedAnaScan();
    void OnCtrlChanged();

    DECLARE_MESSAGE_MAP()

private:
    // Whether the data exchange refuses a unit factor of 0 or below; off
    // only while a change notification reads the controls.
    bool isUnitFactorChecked = true;
};
