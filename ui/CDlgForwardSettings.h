// The modeless dialog that edits the forward engine's formula settings and
// the forward data manager's preparation and post-processing settings, and
// runs single post-processing steps on the manager.
#pragma once

#include <vector>

#include "ui/AfxWin.h"

class CMForwardkw;

class CDlgForwardSettings : public CDialog {
public:
    static constexpr int IDD = IDD_FWD_SETTINGS;

    explicit CDlgForwardSettings(CWnd* pParent = nullptr);
    ~CDlgForwardSettings() override;

    CMForwardkw* pFwd = nullptr;  // the engine, not owned

    // The value each setting shows, one per row of the setting table
    // (forward_api/SettingTable.h) in its order, exchanged with the row's
    // controls and copied from and to the engine and the manager. Before the
    // dialog is first filled they hold the rows' dialog starting values.
    struct Staged {
        int whole = 0;                           // Code, Flag and Whole rows
        double number[4] = {0.0, 0.0, 0.0, 0.0};  // Number rows (one), Sphere rows (centre, radius)
    };
    std::vector<Staged> staged;
    // The staged value of a setting by its member name.
    int& whole(const char* member);
    double& number(const char* member, int index = 0);
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
