// The Qt window of the forward settings dialog, under the offscreen platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFontMetrics>
#include <QGroupBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "forward_process/CMDataForwardkw.h"
#include "forward_engine/CMForwardkw.h"
#include "support/MessageRecorder.h"
#include "ui/CDlgForwardSettings.h"
#include "ui/qt/QtDialogWindow.h"

using megfwd::ui::QtDialogWindow;

namespace {

// One QApplication for the whole program, made before the first test.
class QtApplication : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "test_ui_qt";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app.reset(); }

private:
    std::unique_ptr<QApplication> app;
};
::testing::Environment* const qtApplication = ::testing::AddGlobalTestEnvironment(new QtApplication);

class QtWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(engine.showDlgFwdSetting(&data, nullptr), 1);
        window = std::make_unique<QtDialogWindow>(engine.pDlgFwdSettings);
        QApplication::processEvents();
    }
    void TearDown() override { window.reset(); }
    template <class W>
    W* widget(int id) {
        W* w = qobject_cast<W*>(window->widgetFor(id));
        EXPECT_NE(w, nullptr) << id;
        return w;
    }
    void press(Qt::Key key) {
        QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &down);
    }

    megfwd::test::MessageRecorder rec;
    CMDataForwardkw data;
    CMForwardkw engine;
    std::unique_ptr<QtDialogWindow> window;
};

QString textOf(QWidget* w) {
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
    return QStringLiteral("<unknown widget>");
}

bool kindMatches(DlgItemKind kind, QWidget* w) {
    switch (kind) {
        case DlgItemKind::CheckBox: return qobject_cast<QCheckBox*>(w) != nullptr;
        case DlgItemKind::RadioButton: return qobject_cast<QRadioButton*>(w) != nullptr;
        case DlgItemKind::PushButton: return qobject_cast<QPushButton*>(w) && !static_cast<QPushButton*>(w)->isDefault();
        case DlgItemKind::DefPushButton: return qobject_cast<QPushButton*>(w) && static_cast<QPushButton*>(w)->isDefault();
        case DlgItemKind::Edit: return qobject_cast<QLineEdit*>(w) != nullptr;
        case DlgItemKind::Label: return qobject_cast<QLabel*>(w) != nullptr;
        case DlgItemKind::GroupBox: return qobject_cast<QGroupBox*>(w) != nullptr;
    }
    return false;
}

// Whether an edit shows its whole text: with the cursor at the end, which
// scrolls a text that does not fit, the first character is still at the left.
// The edit settles its scrolling when it paints, hence the grab.
bool showsWholeText(QLineEdit* e) {
    const int cursor = e->cursorPosition();
    e->setCursorPosition(static_cast<int>(e->text().size()));
    e->grab();
    const bool whole = e->cursorPositionAt(QPoint(1, e->height() / 2)) == 0;
    e->setCursorPosition(cursor);
    return whole;
}

// Every caption fits its control, every edit shows its whole text, no two
// controls that the template keeps apart overlap, and every control lies in
// the window and in the group box that frames it in the template. One pixel
// is allowed where the template's edges meet, as each rectangle is rounded
// to pixels on its own.
void expectTextsFit(const QtDialogWindow& window) {
    const DlgTemplate* t = AfxFindDialogTemplate(IDD_FWD_SETTINGS);
    const QRect inWindow = window.rect().adjusted(0, 0, 1, 1);
    auto place = [t](int i) {
        const DlgItemTemplate& it = t->items[static_cast<std::size_t>(i)];
        return QRect(it.x, it.y, it.cx, it.cy);
    };
    auto isGroupBox = [t](int i) { return t->items[static_cast<std::size_t>(i)].kind == DlgItemKind::GroupBox; };
    for (int i = 0; i < 68; ++i) {
        QWidget* w = window.widgetAt(i);
        SCOPED_TRACE("control #" + std::to_string(i + 1) + " " + textOf(w).toStdString());
        if (auto* e = qobject_cast<QLineEdit*>(w)) {
            EXPECT_TRUE(showsWholeText(e));
        } else if (!isGroupBox(i)) {
            EXPECT_LE(w->sizeHint().width(), w->width());
        }
        EXPECT_TRUE(inWindow.contains(w->geometry()));
        for (int j = 0; j < 68; ++j) {
            const QRect other = window.widgetAt(j)->geometry();
            if (isGroupBox(j)) {
                if (j != i && place(j).contains(place(i))) {
                    EXPECT_TRUE(other.adjusted(-1, -1, 1, 1).contains(w->geometry())) << "group box #" << j + 1;
                }
            } else if (j > i && !isGroupBox(i) && !place(j).intersects(place(i))) {
                EXPECT_LE(other.intersected(w->geometry()).width(), 1) << "control #" << j + 1;
            }
        }
    }
}

}  // namespace

TEST(FitLayout, WidensPushesAlongTheRowAndStretchesTheFrame) {
    // Units as dialog units; minGap 3. A group box (0) with two rows, a
    // second group box (9) that does not reach the content's right edge, and
    // two controls outside group boxes (7 ends at that edge).
    const std::vector<megfwd::ui::LayoutItem> items = {
        {QRect(5, 0, 90, 30), 0, true},
        {QRect(10, 10, 20, 10), 26},  // 1: grows into the gap before 2
        {QRect(40, 10, 20, 10), 20},
        {QRect(62, 10, 20, 10), 0},   // 3: too narrow a need changes nothing
        {QRect(10, 20, 20, 8), 40},   // 4: pushes 5, which keeps its 2 of gap
        {QRect(32, 20, 30, 8), 0},
        {QRect(70, 20, 20, 8), 0},    // 6: pushed 3 behind 5, past the frame
        {QRect(70, 35, 25, 10), 0},   // 7: moves with the right edge
        {QRect(5, 35, 20, 10), 0},
        {QRect(5, 50, 60, 20), 0, true},
        {QRect(10, 55, 50, 8), 56},   // 10: widens its own group box only
    };
    const megfwd::ui::FittedLayout f = megfwd::ui::fitLayout(items, 100, 3);
    const std::vector<QRect> want = {QRect(5, 0, 103, 30), QRect(10, 10, 26, 10), QRect(40, 10, 20, 10),
                                     QRect(62, 10, 20, 10), QRect(10, 20, 40, 8),  QRect(52, 20, 30, 8),
                                     QRect(85, 20, 20, 8),  QRect(83, 35, 25, 10), QRect(5, 35, 20, 10),
                                     QRect(5, 50, 64, 20),  QRect(10, 55, 56, 8)};
    ASSERT_EQ(f.rects.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(f.rects[i], want[i]) << "item " << i;
    EXPECT_EQ(f.windowWidth, 113);  // 6 ends at 105, 3 inside the frame's old 5 of margin

    // Needs within the template widths leave everything as it was.
    std::vector<megfwd::ui::LayoutItem> fitting = items;
    for (auto& it : fitting) it.neededWidth = 0;
    const megfwd::ui::FittedLayout same = megfwd::ui::fitLayout(fitting, 100, 3);
    for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(same.rects[i], items[i].rect) << "item " << i;
    EXPECT_EQ(same.windowWidth, 100);

    // Rows: a control two units off the top most of its class and height
    // share moves to it; another height or another class keeps its top, and
    // a row thirteen units below is a row of its own.
    const std::vector<megfwd::ui::LayoutItem> row = {
        {QRect(0, 10, 10, 10), 0, false, 1}, {QRect(20, 10, 10, 10), 0, false, 1},
        {QRect(40, 8, 10, 10), 0, false, 1},  // moves down to 10
        {QRect(60, 9, 10, 8), 0, false, 1},   {QRect(80, 11, 10, 10), 0, false, 2},
        {QRect(0, 23, 10, 10), 0, false, 1},
    };
    const megfwd::ui::FittedLayout rows = megfwd::ui::fitLayout(row, 100, 3, 2);
    const std::vector<int> tops = {10, 10, 10, 9, 11, 23};
    for (std::size_t i = 0; i < row.size(); ++i) EXPECT_EQ(rows.rects[i].y(), tops[i]) << "item " << i;
}

TEST_F(QtWindowTest, EveryControlOfTheTemplateIsBuiltInItsScaledRow) {
    const DlgTemplate* t = AfxFindDialogTemplate(IDD_FWD_SETTINGS);
    ASSERT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Leading Field  Parameters"));
    EXPECT_EQ(window->font().pointSize(), 8);

    // Base units measured here from the window's font.
    const QFontMetrics fm(window->font());
    const double bx = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 52.0;
    const double by = fm.height();
    EXPECT_NEAR(window->baseUnits().x, bx, 0.5);
    EXPECT_EQ(window->baseUnits().y, by);
    // Vertical places are the template's rows; a control is widened, or moved
    // right by one widened before it, only where its text needs the room
    // (checked in TextsFitAndNumbersShowWhole).
    const double sx = window->baseUnits().x / 4.0, sy = by / 8.0;
    EXPECT_GE(window->width(), 373 * sx - 0.5);
    EXPECT_NEAR(window->height(), 433 * sy, 0.5);

    ASSERT_EQ(window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly).size(), 68);
    for (int i = 0; i < 68; ++i) {
        const DlgItemTemplate& it = t->items[static_cast<std::size_t>(i)];
        QWidget* w = window->widgetAt(i);
        SCOPED_TRACE("control #" + std::to_string(i + 1) + " " + it.text);
        ASSERT_NE(w, nullptr);
        EXPECT_TRUE(kindMatches(it.kind, w));
        EXPECT_EQ(textOf(w).toStdString(), engine.pDlgFwdSettings->GetItemState(i)->text);
        if (it.kind != DlgItemKind::Edit && it.id != IDC_LBL_SPAT_UNIT) {
            EXPECT_EQ(textOf(w).toStdString(), it.text);
        }
        const QRect g = w->geometry();
        EXPECT_GE(g.x(), it.x * sx - 0.5);
        // Three controls lie a unit or two off their rows in the template
        // and are drawn in them.
        const int rowY = it.id == IDC_RAD_COIL_SV_CFT05 ? 232
                         : it.id == IDC_RAD_COIL_DX     ? 245
                         : std::string(it.text) == "Source-sphere Dist..." ? 119
                                                                           : it.y;
        EXPECT_NEAR(g.y(), rowY * sy, 0.5);
        EXPECT_GE(g.width(), it.cx * sx - 0.5);
        EXPECT_NEAR(g.height(), it.cy * sy, 0.5);
        EXPECT_TRUE(w->isVisible());
    }
    // The edits show the engine's and manager's values.
    EXPECT_EQ(widget<QLineEdit>(IDC_EDT_INTG_ORDER)->text(), QStringLiteral("2"));
    EXPECT_EQ(widget<QLineEdit>(IDC_EDT_SPHERE_R)->text(), QStringLiteral("75"));
    EXPECT_TRUE(widget<QRadioButton>(IDC_RAD_COIL_SV_NT04)->isChecked());
}

TEST_F(QtWindowTest, TextsFitAndNumbersShowWhole) {
    {
        SCOPED_TRACE("the manager's defaults");  // the source-sphere distance is the double epsilon
        expectTextsFit(*window);
    }
    // The longest numbers, the unit label's longest text, a number typed in.
    data.userSphere.center[0] = -std::numeric_limits<double>::min();
    data.userSphere.radius = 1.0 / 3.0;
    data.spatUnit = 2.0;
    widget<QPushButton>(IDC_BTN_UPDATE)->click();
    EXPECT_EQ(widget<QLineEdit>(IDC_EDT_SPHERE_X)->text(), QStringLiteral("-2.2250738585072014e-308"));
    QLineEdit* mu = widget<QLineEdit>(IDC_EDT_MU4PI);
    mu->selectAll();
    mu->insert(QStringLiteral("1.2345678901234567e+100"));
    {
        SCOPED_TRACE("long numbers");
        expectTextsFit(*window);
    }
    // Short numbers again: the window goes back to the template's width.
    data.userSphere.center[0] = data.userSphere.radius = data.spatUnit = data.minSrcSphDist = 1.0;
    widget<QPushButton>(IDC_BTN_UPDATE)->click();
    EXPECT_NEAR(window->width(), 373 * window->baseUnits().x / 4.0, 0.5);
}

// Every caption is drawn whole: its text, measured in the control's font,
// fits the rectangle the style gives the text (the control less its check
// indicator, button margins or label margins).
TEST_F(QtWindowTest, EveryCaptionFitsTheRectangleItIsDrawnIn) {
    for (int i = 0; i < 68; ++i) {
        QWidget* w = window->widgetAt(i);
        SCOPED_TRACE("control #" + std::to_string(i + 1) + " " + textOf(w).toStdString());
        const QFontMetrics fm = w->fontMetrics();
        const int textWidth = fm.horizontalAdvance(textOf(w));
        QRect room;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            QStyleOptionButton opt;
            opt.initFrom(b);
            opt.text = b->text();
            const bool radio = qobject_cast<QRadioButton*>(w) != nullptr, check = qobject_cast<QCheckBox*>(w) != nullptr;
            const QStyle::SubElement part = radio   ? QStyle::SE_RadioButtonContents
                                            : check ? QStyle::SE_CheckBoxContents
                                                    : QStyle::SE_PushButtonContents;
            room = w->style()->subElementRect(part, &opt, w);
        } else if (auto* l = qobject_cast<QLabel*>(w)) {
            room = l->contentsRect().adjusted(l->margin(), 0, -l->margin(), 0);
        } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
            QStyleOptionGroupBox opt;
            opt.initFrom(g);
            opt.text = g->title();
            opt.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
            room = w->style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxFrame, w);
        } else {
            continue;  // edits: TextsFitAndNumbersShowWhole
        }
        EXPECT_FALSE(textOf(w).isEmpty());
        EXPECT_LE(textWidth, room.width()) << "text " << textWidth << " px, room " << room.width() << " px";
        EXPECT_LE(fm.height(), w->height());
    }
}

TEST_F(QtWindowTest, TabVisitsTheTabStopsInTemplateOrder) {
    std::vector<QWidget*> expected;
    for (int i = 0; i < 68; ++i)
        if (engine.pDlgFwdSettings->GetItemState(i)->item->isTabStop()) expected.push_back(window->widgetAt(i));
    ASSERT_EQ(expected.size(), 29u);
    std::vector<QWidget*> chain;
    QWidget* w = expected.front();
    do {
        if (w->focusPolicy() & Qt::TabFocus) chain.push_back(w);
        w = w->nextInFocusChain();
    } while (w != expected.front() && chain.size() < 100);
    EXPECT_EQ(chain, expected);
    EXPECT_EQ(widget<QRadioButton>(IDC_RAD_SNS_BTI)->focusPolicy(), Qt::ClickFocus);
}

TEST_F(QtWindowTest, ClicksAndTypingRunTheDialogsHandlers) {
    // A radio button selects itself and clears its group in the window too.
    widget<QRadioButton>(IDC_RAD_COIL_BIOTSAVART06)->click();
    EXPECT_FALSE(widget<QRadioButton>(IDC_RAD_COIL_SV_NT04)->isChecked());
    widget<QRadioButton>(IDC_RAD_COIL_BIOTSAVART06)->click();  // a second click keeps it
    EXPECT_TRUE(widget<QRadioButton>(IDC_RAD_COIL_BIOTSAVART06)->isChecked());
    widget<QCheckBox>(IDC_CHK_MAG_SRC)->click();

    QLineEdit* unit = widget<QLineEdit>(IDC_EDT_SPAT_UNIT);
    unit->selectAll();
    unit->insert(QStringLiteral("0.001"));  // as typed: textEdited
    EXPECT_EQ(engine.pDlgFwdSettings->GetDlgItemText(IDC_EDT_SPAT_UNIT), "0.001");
    EXPECT_EQ(engine.pDlgFwdSettings->number("spatUnit"), 0.001);  // the change handler read it
    EXPECT_EQ(engine.coilFwdModel, 3);

    widget<QPushButton>(IDC_BTN_APPLY)->click();
    EXPECT_EQ(engine.coilFwdModel, 5);
    EXPECT_EQ(engine.isMagSrc, 1);
    EXPECT_EQ(data.spatUnit, 0.001);
    EXPECT_EQ(widget<QLabel>(IDC_LBL_SPAT_UNIT)->text(), QStringLiteral("Spatial Unit m"));

    // A handler that refills the controls shows in the window.
    engine.orderCoilIntg = 7;
    data.isApplySnsGain = 0;
    widget<QPushButton>(IDC_BTN_UPDATE)->click();
    EXPECT_EQ(widget<QLineEdit>(IDC_EDT_INTG_ORDER)->text(), QStringLiteral("7"));
    EXPECT_FALSE(widget<QCheckBox>(IDC_CHK_SNS_GAIN)->isChecked());

    // A faulty field keeps the dialog open on Enter (OK) and gets the focus.
    QLineEdit* order = widget<QLineEdit>(IDC_EDT_INTG_ORDER);
    order->selectAll();
    order->insert(QStringLiteral("8"));
    widget<QLineEdit>(IDC_EDT_MU4PI)->setFocus();
    press(Qt::Key_Return);
    EXPECT_EQ(rec.count("Please enter an integer between 1 and 7."), 2);  // writing, then the OK processing
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(engine.pDlgFwdSettings->GetFocusItem(), engine.pDlgFwdSettings->FindItem(IDC_EDT_INTG_ORDER));
}

TEST_F(QtWindowTest, EscapeAndCloseBoxHideThroughTheFramework) {
    int hidden = 0;
    QObject::connect(window.get(), &QtDialogWindow::dialogVisibilityChanged, [&](bool v) { hidden += v ? 0 : 1; });
    widget<QCheckBox>(IDC_CHK_ANA_SCAN)->click();
    press(Qt::Key_Escape);
    EXPECT_FALSE(engine.pDlgFwdSettings->IsWindowVisible());
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(data.isAnaScan, 1);

    ASSERT_EQ(engine.showDlgFwdSetting(nullptr, nullptr), 1);
    EXPECT_TRUE(window->isVisible());
    window->close();
    EXPECT_FALSE(engine.pDlgFwdSettings->IsWindowVisible());
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(hidden, 2);
}

TEST(QtWindow, EngineGoneTakesTheWindowAlong) {
    auto engine = std::make_unique<CMForwardkw>();
    ASSERT_EQ(engine->showDlgFwdSetting(nullptr, nullptr), 1);
    QtDialogWindow window(engine->pDlgFwdSettings);
    EXPECT_TRUE(window.isVisible());
    engine.reset();
    EXPECT_EQ(window.dialog(), nullptr);
    EXPECT_FALSE(window.isVisible());
    window.reject();  // nothing left to reach
    qobject_cast<QAbstractButton*>(window.widgetAt(0))->click();
}

TEST_F(QtWindowTest, ScreenshotIsWritten) {
    data.spatUnit = 0.001;
    widget<QPushButton>(IDC_BTN_UPDATE)->click();
    const QString path = QStringLiteral(MEGFWD_BINARY_DIR "/ui_qt_settings.png");
    QFile::remove(path);
    const QPixmap shot = window->grab();
    ASSERT_TRUE(shot.save(path, "PNG"));
    const QImage img(path);
    EXPECT_EQ(img.size(), window->size() * window->devicePixelRatio());
    // Not a blank picture: the text and frames make more than one colour.
    const QRgb first = img.pixel(0, 0);
    bool varied = false;
    for (int y = 0; y < img.height() && !varied; y += 3)
        for (int x = 0; x < img.width() && !varied; x += 3) varied = img.pixel(x, y) != first;
    EXPECT_TRUE(varied);
}

namespace {

struct ProgramRun {
    int status = -1;  // the exit code, or 128 + the signal that ended it
    std::string out, err;
};

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs the program with this process's environment less every display and
// platform variable, plus `extra` (NAME=value).
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string_view v = *e;
        if (!v.starts_with("DISPLAY=") && !v.starts_with("WAYLAND_DISPLAY=") && !v.starts_with("QT_QPA_PLATFORM="))
            env.emplace_back(v);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    auto pointers = [](std::vector<std::string>& v) {
        std::vector<char*> p;
        for (std::string& x : v) p.push_back(x.data());
        p.push_back(nullptr);
        return p;
    };
    std::vector<char*> argp = pointers(argv), envp = pointers(env);

    const std::filesystem::path out = MEGFWD_BINARY_DIR "/ui_qt_program.out", err = MEGFWD_BINARY_DIR "/ui_qt_program.err";
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    ProgramRun r;
    const int rc = posix_spawn(&pid, program.c_str(), &files, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&files);
    if (rc != 0) {
        r.err = std::strerror(rc);
        return r;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = readFile(out);
    r.err = readFile(err);
    return r;
}

}  // namespace

// megfwd-settings as a user starts it on a machine without a display.
TEST(SettingsProgram, HelpAndNoDisplayNeedNoDisplay) {
    using ::testing::HasSubstr;
    const std::string program = MEGFWD_BINARY_DIR "/megfwd-settings";
    if (!std::filesystem::exists(program)) GTEST_SKIP() << program << " is not built";

    const ProgramRun help = runProgram(program, {"--help"}, {});
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_THAT(help.out, HasSubstr("usage: megfwd-settings [--screenshot FILE]"));

    // One line that says what is missing and how to get a picture all the same.
    const ProgramRun bare = runProgram(program, {}, {});
    EXPECT_EQ(bare.status, 1);
    EXPECT_EQ(std::count(bare.err.begin(), bare.err.end(), '\n'), 1) << bare.err;
    EXPECT_THAT(bare.err, HasSubstr("no display"));
    EXPECT_THAT(bare.err, HasSubstr("QT_QPA_PLATFORM=offscreen megfwd-settings --screenshot FILE"));
    EXPECT_EQ(runProgram(program, {"--screenshot", "x.png"}, {"QT_QPA_PLATFORM=xcb"}).status, 1);

    // The advice works.
    const std::string shot = MEGFWD_BINARY_DIR "/ui_qt_program.png";
    std::filesystem::remove(shot);
    const ProgramRun offscreen = runProgram(program, {"--screenshot", shot}, {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(offscreen.status, 0) << offscreen.err;
    EXPECT_FALSE(QImage(QString::fromStdString(shot)).isNull());
}
