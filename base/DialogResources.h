// Resource numbers of the library's dialog template and its controls.
#pragma once

// The framework's command ids of the standard buttons (IDOK comes with the
// message box in host_interfaces/Afx.h).
constexpr int IDCANCEL = 2;

// The forward settings dialog.
constexpr int IDD_FWD_SETTINGS = 2119;

// Check boxes.
constexpr int IDC_CHK_TANG_LFD = 2077;          // "Tangential Lead Fields"
constexpr int IDC_CHK_CENTRALIZED_LF = 2092;    // "Centralized Leadfield"
constexpr int IDC_CHK_SPAT_CONSTRAINED = 2097;  // "Spatially Constrained Leadfield"
constexpr int IDC_CHK_UNIT2METER = 2100;        // "Change Spatial Unit (meter)"
constexpr int IDC_CHK_MAG_SRC = 2105;           // "Magnetic Sources"
constexpr int IDC_CHK_FWD_EXPRESS = 2093;       // "Forward Express"
constexpr int IDC_CHK_USE_REF_SNS = 2075;       // "Use Reference Sensors"
constexpr int IDC_CHK_RESTORE_COORD = 2109;     // "Restore Coord..."
constexpr int IDC_CHK_RESTORE_UNIT = 2111;      // "Restore Spatial Unit"
constexpr int IDC_CHK_SNS_GAIN = 2082;          // "Sensor Gains"
constexpr int IDC_CHK_UNIT_LF = 2106;           // "Unit Leadfield"
constexpr int IDC_CHK_ANA_SCAN = 2112;          // "Anatomical Based Scan"

// Head model radio group.
constexpr int IDC_RAD_SPHERE_DEFAULT = 2052;
constexpr int IDC_RAD_SPHERE_SINGLE = 2056;
constexpr int IDC_RAD_SPHERE_MULTIPLE = 2058;
constexpr int IDC_RAD_SPHERE_BEM = 2061;
constexpr int IDC_RAD_SPHERE_FEM = 2062;

// Coordinate system radio group.
constexpr int IDC_RAD_COORD_OPENGL = 2079;
constexpr int IDC_RAD_COORD_MATLAB = 2080;
constexpr int IDC_RAD_COORD_DIRECT3D = 2081;

// Coil forward model radio group.
constexpr int IDC_RAD_COIL_ST01 = 2017;
constexpr int IDC_RAD_COIL_SX02 = 2020;
constexpr int IDC_RAD_COIL_SV_CF03 = 2023;
constexpr int IDC_RAD_COIL_SV_NT04 = 2024;
constexpr int IDC_RAD_COIL_SV_CFT05 = 2031;
constexpr int IDC_RAD_COIL_BIOTSAVART06 = 2063;
constexpr int IDC_RAD_COIL_GS07 = 2067;
constexpr int IDC_RAD_COIL_DX = 2070;

// Sensor forward model radio group.
constexpr int IDC_RAD_SNS_STANDARD = 2009;
constexpr int IDC_RAD_SNS_CTF = 2012;
constexpr int IDC_RAD_SNS_NEUROMAG = 2014;
constexpr int IDC_RAD_SNS_BTI = 2015;
constexpr int IDC_RAD_SNS_YOKOGAWA = 2072;

// Edits.
constexpr int IDC_EDT_SPHERE_X = 2086;
constexpr int IDC_EDT_SPHERE_Y = 2087;
constexpr int IDC_EDT_SPHERE_Z = 2088;
constexpr int IDC_EDT_SPHERE_R = 2089;
constexpr int IDC_EDT_MIN_COIL_SPH = 2083;
constexpr int IDC_EDT_MIN_COIL_SRC = 2084;
constexpr int IDC_EDT_MIN_SRC_SPH = 2095;
constexpr int IDC_EDT_SPAT_UNIT = 2090;
constexpr int IDC_EDT_INTG_ORDER = 2078;
constexpr int IDC_EDT_MU4PI = 2085;

// Push buttons (OK is IDOK).
constexpr int IDC_BTN_RESTORE_COORD = 2104;
constexpr int IDC_BTN_RESTORE_UNIT = 2102;
constexpr int IDC_BTN_UPDATE = 2035;
constexpr int IDC_BTN_APPLY = 2027;
constexpr int IDC_BTN_COMPUTE = 2038;
constexpr int IDC_BTN_STENCIL_LF = 2107;

// The unit label.
constexpr int IDC_LBL_SPAT_UNIT = 2099;
