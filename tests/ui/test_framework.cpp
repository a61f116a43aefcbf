// The headless dialog framework: the settings template, control state, radio
// groups, data exchange and validation, message-map lookup, the wait cursor.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "support/MessageRecorder.h"
#include "ui/AfxWin.h"

using megfwd::test::MessageRecorder;

namespace {

// The template, transcribed from the dialog's design: id, kind (C check box,
// R radio, P push button, D default push button, E edit, L label, G group
// box), a group mark and the caption.
struct Row {
    int id;
    char kind;
    bool group;
    const char* text;
};
const Row kRows[] = {
    {2077, 'C', 0, "Tangential Lead Fields"}, {2092, 'C', 0, "Centralized Leadfield"},
    {2097, 'C', 0, "Spatially Constrained Leadfield"}, {2052, 'R', 1, "Default"}, {2056, 'R', 0, "Single"},
    {2058, 'R', 0, "Multiple"}, {2061, 'R', 0, "Boundary Element (BEM)"}, {2062, 'R', 0, "Finite Element (FEM)"},
    {2086, 'E', 1, ""}, {2087, 'E', 0, ""}, {2088, 'E', 0, ""}, {2089, 'E', 0, ""}, {2083, 'E', 0, ""},
    {2084, 'E', 0, ""}, {2095, 'E', 0, ""}, {2079, 'R', 1, "OpenGL"}, {2080, 'R', 0, "Matlab"},
    {2081, 'R', 0, "Direct3D"}, {2104, 'P', 1, "Restore Coord"}, {2100, 'C', 1, "Change Spatial Unit (meter)"},
    {2090, 'E', 0, ""}, {2102, 'P', 0, "Restore Unit"}, {2105, 'C', 0, "Magnetic Sources"},
    {2093, 'C', 0, "Forward Express"}, {2075, 'C', 1, "Use Reference Sensors"}, {2017, 'R', 1, "ST01"},
    {2020, 'R', 0, "SX02"}, {2023, 'R', 0, "SV_CF03"}, {2024, 'R', 0, "SV_NT04"}, {2031, 'R', 0, "SV_CFT05"},
    {2063, 'R', 0, "BiotSavart06"}, {2067, 'R', 0, "GS07"}, {2070, 'R', 0, "DX"}, {2009, 'R', 1, "Standard"},
    {2012, 'R', 0, "CTF "}, {2014, 'R', 0, "Neuromag"}, {2015, 'R', 0, "BTI"}, {2072, 'R', 0, "Yokogawa"},
    {2078, 'E', 1, ""}, {2085, 'E', 0, ""}, {2109, 'C', 0, "Restore Coord..."},
    {2111, 'C', 0, "Restore Spatial Unit"}, {2082, 'C', 0, "Sensor Gains"}, {2106, 'C', 0, "Unit Leadfield"},
    {2035, 'P', 1, "Update"}, {2027, 'P', 1, "Apply"}, {2038, 'P', 1, "Compute ..."}, {1, 'D', 0, "OK"},
    {-1, 'G', 0, "Sensor Forward Model"}, {-1, 'G', 0, "Coil Forward Model"}, {-1, 'G', 0, "Sphere Model"},
    {-1, 'L', 0, "Integration Order"}, {-1, 'G', 0, "Coordinates"}, {-1, 'L', 0, "Coil-sphere Dist..."},
    {-1, 'L', 0, "Coil-source Dist..."}, {-1, 'L', 0, "Mu4PI ratio"}, {-1, 'G', 0, "Sensor-dewar Geometry"},
    {-1, 'G', 0, "User Defined Sphere (mm)"}, {-1, 'L', 0, "X"}, {-1, 'L', 0, "Y"}, {-1, 'L', 0, "Z"},
    {-1, 'L', 0, "Radius"}, {2099, 'L', 0, "Spatial Unit (1.0 mm)"}, {-1, 'G', 0, "Spatial Contraints (mm)"},
    {-1, 'L', 0, "Source-sphere Dist..."}, {2107, 'P', 0, "Stencil Leafield"},
    {-1, 'G', 0, "Post-forward Processing"}, {2112, 'C', 0, "Anatomical Based Scan"},
};

char kindChar(DlgItemKind k) { return "CRPDELG"[static_cast<int>(k)]; }

// A dialog on the settings template with an exchange of its own, to test the
// exchange functions apart from the settings dialog.
class ProbeDialog : public CDialog {
public:
    int radio = 2, flag = 0, order = 3;
    double number = 0.5, after = 7.0;
    CString label = "probe";

    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Radio(pDX, IDC_RAD_SPHERE_DEFAULT, radio);
        DDX_Check(pDX, IDC_CHK_TANG_LFD, flag);
        DDX_Text(pDX, IDC_EDT_INTG_ORDER, order);
        DDV_MinMaxInt(pDX, order, 1, 7);
        DDX_Text(pDX, IDC_EDT_SPAT_UNIT, number);
        DDX_Text(pDX, IDC_LBL_SPAT_UNIT, label);
        DDX_Text(pDX, IDC_EDT_MU4PI, after);
    }
};

class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dlg.Create(IDD_FWD_SETTINGS)); }
    ProbeDialog dlg;
    MessageRecorder rec;
};

}  // namespace

TEST(DialogTemplate, SettingsTemplateMatchesTheDesign) {
    const DlgTemplate* t = AfxFindDialogTemplate(IDD_FWD_SETTINGS);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(AfxFindDialogTemplate(1), nullptr);
    EXPECT_STREQ(t->caption, "Leading Field  Parameters");
    EXPECT_EQ(t->cx, 373);
    EXPECT_EQ(t->cy, 433);
    EXPECT_STREQ(t->fontName, "MS Shell Dlg");
    EXPECT_EQ(t->pointSize, 8);
    EXPECT_EQ(t->style & (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
              WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
    EXPECT_EQ(t->style & WS_VISIBLE, 0u);

    ASSERT_EQ(t->items.size(), 68u);
    for (std::size_t i = 0; i < 68; ++i) {
        const DlgItemTemplate& it = t->items[i];
        SCOPED_TRACE("control #" + std::to_string(i + 1));
        EXPECT_EQ(it.id, kRows[i].id);
        EXPECT_EQ(kindChar(it.kind), kRows[i].kind);
        EXPECT_EQ(it.startsGroup(), kRows[i].group);
        EXPECT_STREQ(it.text, kRows[i].text);
        const bool tab = it.kind == DlgItemKind::CheckBox || it.kind == DlgItemKind::Edit || it.isButton();
        EXPECT_EQ(it.isTabStop(), tab && it.kind != DlgItemKind::RadioButton);
        if (it.kind == DlgItemKind::Edit) {
            EXPECT_EQ(it.style & (WS_BORDER | ES_AUTOHSCROLL), WS_BORDER | ES_AUTOHSCROLL);
        }
    }
    // A few positions, one of every kind.
    auto at = [&](int i) { const auto& it = t->items[i - 1]; return std::vector<int>{it.x, it.y, it.cx, it.cy}; };
    EXPECT_EQ(at(30), (std::vector<int>{288, 230, 57, 10}));
    EXPECT_EQ(at(21), (std::vector<int>{132, 173, 40, 14}));
    EXPECT_EQ(at(48), (std::vector<int>{316, 412, 50, 14}));
    EXPECT_EQ(at(49), (std::vector<int>{7, 266, 359, 37}));
    EXPECT_EQ(at(65), (std::vector<int>{281, 120, 78, 8}));
    EXPECT_EQ(at(68), (std::vector<int>{126, 334, 101, 10}));
}

TEST_F(ProbeTest, ClickingRadioSelectsItAndClearsOnlyItsGroup) {
    dlg.ClickDlgButton(IDC_RAD_SPHERE_BEM);
    EXPECT_EQ(dlg.IsDlgButtonChecked(IDC_RAD_SPHERE_BEM), 1);
    EXPECT_EQ(dlg.IsDlgButtonChecked(IDC_RAD_SPHERE_MULTIPLE), 0);
    dlg.CheckDlgButton(IDC_RAD_COORD_MATLAB, 1);
    dlg.ClickDlgButton(IDC_RAD_SPHERE_FEM);  // last of its group
    EXPECT_EQ(dlg.IsDlgButtonChecked(IDC_RAD_SPHERE_BEM), 0);
    EXPECT_EQ(dlg.IsDlgButtonChecked(IDC_RAD_COORD_MATLAB), 1);  // another group
    ASSERT_TRUE(dlg.UpdateData(true));
    EXPECT_EQ(dlg.radio, 4);

    dlg.ClickDlgButton(IDC_CHK_TANG_LFD);
    EXPECT_EQ(dlg.IsDlgButtonChecked(IDC_CHK_TANG_LFD), 1);
    dlg.ClickDlgButton(IDC_CHK_TANG_LFD);
    EXPECT_EQ(dlg.IsDlgButtonChecked(IDC_CHK_TANG_LFD), 0);
    EXPECT_FALSE(dlg.ClickDlgButton(IDC_EDT_MU4PI));
    EXPECT_FALSE(dlg.ClickDlgButton(4711));

    // A value outside the group clears every button; reading gives -1.
    dlg.radio = 9;
    dlg.UpdateData(false);
    for (int id : {2052, 2056, 2058, 2061, 2062}) EXPECT_EQ(dlg.IsDlgButtonChecked(id), 0);
    dlg.UpdateData(true);
    EXPECT_EQ(dlg.radio, -1);
}

TEST_F(ProbeTest, ReadingAcceptsNumbersAndRejectsEverythingElse) {
    dlg.flag = 5;  // any non-zero flag shows as checked and reads back as 1
    dlg.UpdateData(false);
    EXPECT_EQ(dlg.IsDlgButtonChecked(IDC_CHK_TANG_LFD), 1);

    struct Case {
        const char* order;
        const char* number;
        bool ok;
        const char* message;
    };
    const Case cases[] = {
        {" 5 ", "1e-3", true, nullptr},
        {"+7", "\t-0.25 ", true, nullptr},
        {"5x", "1", false, "Please enter an integer."},
        {"99999999999", "1", false, "Please enter an integer."},
        {"", "1", false, "Please enter an integer."},
        {"8", "1", false, "Please enter an integer between 1 and 7."},
        {"0", "1", false, "Please enter an integer between 1 and 7."},
        {"4", "abc", false, "Please enter a number."},
        {"4", "inf", false, "Please enter a number."},
        {"4", "1,5", false, "Please enter a number."},
        {"4", "", false, "Please enter a number."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.order) + " / " + c.number);
        rec.clear();
        dlg.after = 7.0;
        dlg.SetDlgItemText(IDC_EDT_INTG_ORDER, c.order);
        dlg.SetDlgItemText(IDC_EDT_SPAT_UNIT, c.number);
        dlg.SetDlgItemText(IDC_EDT_MU4PI, "3");
        EXPECT_EQ(dlg.UpdateData(true), c.ok);
        EXPECT_EQ(dlg.LastUpdateDataSucceeded(), c.ok);
        if (c.ok) {
            EXPECT_TRUE(rec.messages().empty());
            EXPECT_EQ(dlg.after, 3.0);
        } else {
            ASSERT_EQ(rec.messages().size(), 1u);
            EXPECT_EQ(rec.messages()[0].text, c.message);
            EXPECT_EQ(rec.messages()[0].type, MB_OK);
            EXPECT_EQ(dlg.after, 7.0);  // the reading stopped at the fault
        }
    }
    EXPECT_EQ(dlg.flag, 1);
    // The focus goes to the faulty edit.
    EXPECT_EQ(dlg.GetFocusItem(), dlg.FindItem(IDC_EDT_SPAT_UNIT));

    // The silent reading fails the same way without a word.
    rec.clear();
    EXPECT_FALSE(dlg.UpdateDataSilently());
    EXPECT_TRUE(rec.messages().empty());
}

TEST(WaitCursor, CountsNestedScopesAndReportsOnlyTheEdges) {
    std::vector<bool> edges;
    auto previous = megfwd::ui::setWaitCursorHandler([&](bool busy) { edges.push_back(busy); });
    EXPECT_EQ(AfxGetWaitCursorCount(), 0);
    {
        CWaitCursor outer;
        {
            CWaitCursor inner;
            EXPECT_EQ(AfxGetWaitCursorCount(), 2);
        }
        EXPECT_EQ(AfxGetWaitCursorCount(), 1);
    }
    AfxEndWaitCursor();  // unbalanced end is ignored
    EXPECT_EQ(AfxGetWaitCursorCount(), 0);
    EXPECT_EQ(edges, (std::vector<bool>{true, false}));
    megfwd::ui::setWaitCursorHandler(previous);
}
