// The headless dialog framework: the settings template, radio groups, data
// exchange and validation, the wait cursor. Clicks, check boxes and radio
// groups in use are checked through the settings dialog.
#include <gtest/gtest.h>

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
    int radio = 2, order = 3;
    double number = 0.5, after = 7.0;

    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Radio(pDX, IDC_RAD_SPHERE_DEFAULT, radio);
        DDX_Text(pDX, IDC_EDT_INTG_ORDER, order);
        DDV_MinMaxInt(pDX, order, 1, 7);
        DDX_Text(pDX, IDC_EDT_SPAT_UNIT, number);
        DDV_GreaterThanDouble(pDX, number, 0.0);
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
    EXPECT_EQ((std::vector<int>{t->cx, t->cy, t->pointSize}), (std::vector<int>{373, 433, 8}));
    EXPECT_STREQ(t->fontName, "MS Shell Dlg");
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
        const auto edit = WS_BORDER | ES_AUTOHSCROLL;  // every edit has a border and scrolls
        EXPECT_TRUE(it.kind != DlgItemKind::Edit || (it.style & edit) == edit);
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

TEST_F(ProbeTest, RadioValueOutsideItsGroupAndReadingNumbers) {
    EXPECT_FALSE(dlg.ClickDlgButton(IDC_EDT_MU4PI));  // only buttons click
    EXPECT_FALSE(dlg.ClickDlgButton(4711));
    // A value outside the group clears every button; reading gives -1.
    dlg.radio = 9;
    dlg.UpdateData(false);
    for (int id : {2052, 2056, 2058, 2061, 2062}) EXPECT_EQ(dlg.IsDlgButtonChecked(id), 0);
    dlg.UpdateData(true);
    EXPECT_EQ(dlg.radio, -1);

    // Numbers are read with blanks around them; anything else is refused and
    // the reading stops at the fault.
    const char *integer = "Please enter an integer.", *range = "Please enter an integer between 1 and 7.",
               *number = "Please enter a number.", *positive = "Please enter a number greater than 0.";
    const struct {
        const char *order, *number, *message;  // no message: read
    } cases[] = {{" 5 ", "1e-3", nullptr}, {"+7", "\t+0.25 ", nullptr}, {"5x", "1", integer},
                 {"99999999999", "1", integer}, {"", "1", integer}, {"8", "1", range}, {"0", "1", range},
                 {"4", "abc", number}, {"4", "inf", number}, {"4", "1,5", number}, {"4", "", number},
                 {"4", " -0.25", positive}, {"4", "0", positive}, {"4", "-0", positive}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.order) + " / " + c.number);
        rec.clear();
        dlg.after = 7.0;
        dlg.SetDlgItemText(IDC_EDT_INTG_ORDER, c.order);
        dlg.SetDlgItemText(IDC_EDT_SPAT_UNIT, c.number);
        dlg.SetDlgItemText(IDC_EDT_MU4PI, "3");
        EXPECT_EQ(dlg.UpdateData(true), !c.message);
        EXPECT_EQ(rec.texts(), c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
        for (const auto& m : rec.messages()) EXPECT_EQ(m.type, MB_OK);
        EXPECT_EQ(dlg.after, c.message ? 7.0 : 3.0);
    }
}

TEST(WaitCursor, CountsNestedScopesAndReportsOnlyTheEdges) {
    std::vector<bool> edges;
    auto previous = megfwd::ui::setWaitCursorHandler([&](bool busy) { edges.push_back(busy); });
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
