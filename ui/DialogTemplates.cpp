// The library's dialog resources.
#include "ui/DialogTemplate.h"
#include "base/DialogResources.h"

namespace {

constexpr DlgItemKind kCheck = DlgItemKind::CheckBox;
constexpr DlgItemKind kRadio = DlgItemKind::RadioButton;
constexpr DlgItemKind kPush = DlgItemKind::PushButton;
constexpr DlgItemKind kDefPush = DlgItemKind::DefPushButton;
constexpr DlgItemKind kEdit = DlgItemKind::Edit;
constexpr DlgItemKind kLabel = DlgItemKind::Label;
constexpr DlgItemKind kGroupBox = DlgItemKind::GroupBox;

// Styles of the control kinds, and the same with WS_GROUP.
constexpr unsigned CHECK = BS_AUTOCHECKBOX | WS_TABSTOP;
constexpr unsigned RADIO = BS_AUTORADIOBUTTON;
constexpr unsigned PUSH = BS_PUSHBUTTON | WS_TABSTOP;
constexpr unsigned DEFPUSH = BS_DEFPUSHBUTTON | WS_TABSTOP;
constexpr unsigned EDIT = ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP;
constexpr unsigned LABEL = 0;
constexpr unsigned GROUPBOX = BS_GROUPBOX;
constexpr unsigned G = WS_GROUP;

// IDD_FWD_SETTINGS, in tab order.
constexpr DlgItemTemplate kFwdSettingsItems[] = {
    {IDC_CHK_TANG_LFD, kCheck, "Tangential Lead Fields", 13, 16, 86, 10, CHECK},
    {IDC_CHK_CENTRALIZED_LF, kCheck, "Centralized Leadfield", 111, 16, 86, 10, CHECK},
    {IDC_CHK_SPAT_CONSTRAINED, kCheck, "Spatially Constrained Leadfield", 209, 16, 123, 10, CHECK},
    {IDC_RAD_SPHERE_DEFAULT, kRadio, "Default", 13, 44, 39, 10, RADIO | G},
    {IDC_RAD_SPHERE_SINGLE, kRadio, "Single", 66, 44, 35, 10, RADIO},
    {IDC_RAD_SPHERE_MULTIPLE, kRadio, "Multiple", 113, 44, 40, 10, RADIO},
    {IDC_RAD_SPHERE_BEM, kRadio, "Boundary Element (BEM)", 166, 44, 93, 10, RADIO},
    {IDC_RAD_SPHERE_FEM, kRadio, "Finite Element (FEM)", 273, 44, 93, 10, RADIO},
    {IDC_EDT_SPHERE_X, kEdit, "", 13, 77, 40, 14, EDIT | G},
    {IDC_EDT_SPHERE_Y, kEdit, "", 81, 77, 40, 14, EDIT},
    {IDC_EDT_SPHERE_Z, kEdit, "", 149, 77, 40, 14, EDIT},
    {IDC_EDT_SPHERE_R, kEdit, "", 217, 77, 40, 14, EDIT},
    {IDC_EDT_MIN_COIL_SPH, kEdit, "", 13, 117, 40, 14, EDIT},
    {IDC_EDT_MIN_COIL_SRC, kEdit, "", 124, 117, 40, 14, EDIT},
    {IDC_EDT_MIN_SRC_SPH, kEdit, "", 235, 117, 40, 14, EDIT},
    {IDC_RAD_COORD_OPENGL, kRadio, "OpenGL", 13, 157, 41, 10, RADIO | G},
    {IDC_RAD_COORD_MATLAB, kRadio, "Matlab", 83, 157, 37, 10, RADIO},
    {IDC_RAD_COORD_DIRECT3D, kRadio, "Direct3D", 149, 157, 43, 10, RADIO},
    {IDC_BTN_RESTORE_COORD, kPush, "Restore Coord", 265, 157, 66, 14, PUSH | G},
    {IDC_CHK_UNIT2METER, kCheck, "Change Spatial Unit (meter)", 13, 175, 103, 10, CHECK | G},
    {IDC_EDT_SPAT_UNIT, kEdit, "", 132, 173, 40, 14, EDIT},
    {IDC_BTN_RESTORE_UNIT, kPush, "Restore Unit", 265, 172, 65, 14, PUSH},
    {IDC_CHK_MAG_SRC, kCheck, "Magnetic Sources", 13, 203, 73, 10, CHECK},
    {IDC_CHK_FWD_EXPRESS, kCheck, "Forward Express", 125, 203, 73, 10, CHECK},
    {IDC_CHK_USE_REF_SNS, kCheck, "Use Reference Sensors", 237, 203, 89, 10, CHECK | G},
    {IDC_RAD_COIL_ST01, kRadio, "ST01", 13, 232, 32, 10, RADIO | G},
    {IDC_RAD_COIL_SX02, kRadio, "SX02", 73, 232, 32, 10, RADIO},
    {IDC_RAD_COIL_SV_CF03, kRadio, "SV_CF03", 133, 232, 45, 10, RADIO},
    {IDC_RAD_COIL_SV_NT04, kRadio, "SV_NT04", 206, 232, 54, 10, RADIO},
    {IDC_RAD_COIL_SV_CFT05, kRadio, "SV_CFT05", 288, 230, 57, 10, RADIO},
    {IDC_RAD_COIL_BIOTSAVART06, kRadio, "BiotSavart06", 13, 245, 56, 10, RADIO},
    {IDC_RAD_COIL_GS07, kRadio, "GS07", 73, 245, 43, 10, RADIO},
    {IDC_RAD_COIL_DX, kRadio, "DX", 133, 244, 37, 10, RADIO},
    {IDC_RAD_SNS_STANDARD, kRadio, "Standard", 13, 284, 45, 10, RADIO | G},
    {IDC_RAD_SNS_CTF, kRadio, "CTF ", 84, 284, 31, 10, RADIO},
    {IDC_RAD_SNS_NEUROMAG, kRadio, "Neuromag", 141, 284, 44, 10, RADIO},
    {IDC_RAD_SNS_BTI, kRadio, "BTI", 211, 284, 37, 10, RADIO},
    {IDC_RAD_SNS_YOKOGAWA, kRadio, "Yokogawa", 274, 284, 52, 10, RADIO},
    {IDC_EDT_INTG_ORDER, kEdit, "", 13, 331, 40, 14, EDIT | G},
    {IDC_EDT_MU4PI, kEdit, "", 262, 331, 40, 14, EDIT},
    {IDC_CHK_RESTORE_COORD, kCheck, "Restore Coord...", 9, 372, 71, 10, CHECK},
    {IDC_CHK_RESTORE_UNIT, kCheck, "Restore Spatial Unit", 96, 372, 71, 10, CHECK},
    {IDC_CHK_SNS_GAIN, kCheck, "Sensor Gains", 183, 372, 62, 10, CHECK},
    {IDC_CHK_UNIT_LF, kCheck, "Unit Leadfield", 261, 372, 62, 10, CHECK},
    {IDC_BTN_UPDATE, kPush, "Update", 17, 412, 50, 14, PUSH | G},
    {IDC_BTN_APPLY, kPush, "Apply", 69, 412, 50, 14, PUSH | G},
    {IDC_BTN_COMPUTE, kPush, "Compute ...", 125, 412, 50, 14, PUSH | G},
    {1, kDefPush, "OK", 316, 412, 50, 14, DEFPUSH},
    {-1, kGroupBox, "Sensor Forward Model", 7, 266, 359, 37, GROUPBOX},
    {-1, kGroupBox, "Coil Forward Model", 7, 220, 359, 37, GROUPBOX},
    {-1, kGroupBox, "Sphere Model", 7, 32, 359, 28, GROUPBOX},
    {-1, kLabel, "Integration Order", 56, 335, 72, 8, LABEL},
    {-1, kGroupBox, "Coordinates", 7, 145, 359, 51, GROUPBOX},
    {-1, kLabel, "Coil-sphere Dist...", 62, 119, 62, 8, LABEL},
    {-1, kLabel, "Coil-source Dist...", 171, 119, 62, 8, LABEL},
    {-1, kLabel, "Mu4PI ratio", 308, 335, 45, 8, LABEL},
    {-1, kGroupBox, "Sensor-dewar Geometry", 7, 311, 359, 41, GROUPBOX},
    {-1, kGroupBox, "User Defined Sphere (mm)", 7, 64, 359, 35, GROUPBOX},
    {-1, kLabel, "X", 63, 79, 10, 8, LABEL},
    {-1, kLabel, "Y", 129, 79, 16, 8, LABEL},
    {-1, kLabel, "Z", 197, 79, 16, 8, LABEL},
    {-1, kLabel, "Radius", 268, 79, 27, 8, LABEL},
    {IDC_LBL_SPAT_UNIT, kLabel, "Spatial Unit (1.0 mm)", 175, 175, 75, 8, LABEL},
    {-1, kGroupBox, "Spatial Contraints (mm)", 7, 104, 359, 35, GROUPBOX},
    {-1, kLabel, "Source-sphere Dist...", 281, 120, 78, 8, LABEL},
    {IDC_BTN_STENCIL_LF, kPush, "Stencil Leafield", 9, 387, 59, 14, PUSH},
    {-1, kGroupBox, "Post-forward Processing", 7, 359, 359, 46, GROUPBOX},
    {IDC_CHK_ANA_SCAN, kCheck, "Anatomical Based Scan", 126, 334, 101, 10, CHECK},
};

constexpr DlgTemplate kFwdSettings = {
    IDD_FWD_SETTINGS,
    "Leading Field  Parameters",
    373,
    433,
    "MS Shell Dlg",
    8,
    DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU,
    kFwdSettingsItems,
};

}  // namespace

const DlgTemplate* AfxFindDialogTemplate(int resourceId) {
    if (resourceId == IDD_FWD_SETTINGS) return &kFwdSettings;
    return nullptr;
}
