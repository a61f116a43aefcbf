// The Qt window of the forward settings dialog, under the offscreen platform.
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
#include <memory>

#include "forward_data/CMDataForwardkw.h"
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

}  // namespace

TEST_F(QtWindowTest, EveryControlOfTheTemplateSitsAtItsScaledPlace) {
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
    const double sx = window->baseUnits().x / 4.0, sy = by / 8.0;
    EXPECT_NEAR(window->width(), 373 * sx, 0.5);
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
        EXPECT_NEAR(g.x(), it.x * sx, 0.5);
        EXPECT_NEAR(g.y(), it.y * sy, 0.5);
        EXPECT_NEAR(g.width(), it.cx * sx, 0.5);
        EXPECT_NEAR(g.height(), it.cy * sy, 0.5);
        EXPECT_TRUE(w->isVisible());
    }
    // The edits show the engine's and manager's values.
    EXPECT_EQ(widget<QLineEdit>(IDC_EDT_INTG_ORDER)->text(), QStringLiteral("2"));
    EXPECT_EQ(widget<QLineEdit>(IDC_EDT_SPHERE_R)->text(), QStringLiteral("75"));
    EXPECT_TRUE(widget<QRadioButton>(IDC_RAD_COIL_SV_NT04)->isChecked());
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
    EXPECT_EQ(engine.pDlgFwdSettings->spatUnit, 0.001);  // the change handler read it
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
