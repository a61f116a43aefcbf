// A Qt window that shows a dialog of the headless framework to a person.
//
// The window is built from the dialog's template (caption, font, every
// control at its place, radio groups, tab order) and bound to the
// framework's control state both ways: a click or an edit in the window goes
// through the framework (ClickDlgButton, SetDlgItemText, the Esc key and the
// close box), so it runs the dialog's own handlers, and every change of the
// framework's state (a handler filling the controls, the dialog hiding
// itself) shows in the window.
//
// The template was drawn for the original window system's font; here texts
// can be wider. A control whose text needs more room than the template gives
// it is widened (fitLayout), so no caption is clipped and an edit never shows
// part of a number, which would read as a different number.
#pragma once

#include <QDialog>
#include <QRect>
#include <vector>

#include "ui/AfxWin.h"

class QFont;

namespace megfwd::ui {

// The dialog base units of a font: the average character width and the
// character height in pixels, as the original window system measures them.
struct DialogBaseUnits {
    int x = 0;
    int y = 0;
};
DialogBaseUnits dialogBaseUnits(const QFont& font);
// Dialog units to pixels: x * base.x / 4 and y * base.y / 8, rounded.
QRect dialogUnitsToPixels(const DialogBaseUnits& base, int x, int y, int cx, int cy);

// One control for fitLayout: its place from the template, the width its
// content needs (both in one unit, dialog units in the window), whether it
// is a group box (a frame around other controls, not a neighbour in their
// rows), and its row class: controls of one non-zero class share rows (the
// template's kind of control).
struct LayoutItem {
    QRect rect;
    int neededWidth = 0;
    bool groupBox = false;
    int rowClass = 0;
};
struct FittedLayout {
    std::vector<QRect> rects;  // one per item, in the same order
    int windowWidth = 0;
};
// Widens every control to the width it needs, never narrower than its
// template width, and keeps the template everywhere else. Vertical places
// do not change, except that controls of one row class and height whose
// tops lie within rowTolerance of each other are drawn at one top, the one
// most of them have: the template puts a few of them a unit or two off
// their row (the SV_CFT05 choice two units above the other formulas), which
// shows as a step in the row. A widened control first uses the free space to its right;
// beyond that it pushes the controls to its right in its row (those that
// overlap it vertically), keeping min(template gap, minGap) between them.
// When controls then pass the right edge of their group box (or of the
// content, outside group boxes), the window widens: group boxes reaching the
// content's right edge stretch with it, and controls outside group boxes
// that end at that edge (the OK button) move along.
FittedLayout fitLayout(const std::vector<LayoutItem>& items, int windowWidth, int minGap, int rowTolerance = 0);

class QtDialogWindow : public QDialog, public CWndObserver {
    Q_OBJECT

public:
    // dlg must have its window (HasWindow); it is not owned. The Qt window
    // is visible exactly when the framework's window is.
    explicit QtDialogWindow(CDialog* dlg, QWidget* parent = nullptr);
    ~QtDialogWindow() override;

    // Null once the framework's window is gone.
    CDialog* dialog() const { return dlg; }
    DialogBaseUnits baseUnits() const { return units; }
    // The widget of a control, by template index or by identifier; null when
    // there is none.
    QWidget* widgetAt(int index) const;
    QWidget* widgetFor(int id) const;

    void controlChanged(CWnd& wnd, int index) override;
    void visibilityChanged(CWnd& wnd, bool visible) override;
    void broughtToForeground(CWnd& wnd) override;
    void focusChanged(CWnd& wnd, int index) override;
    void windowDestroyed(CWnd& wnd) override;

signals:
    // The framework's window was shown or hidden (OK, Esc, the close box).
    void dialogVisibilityChanged(bool visible);

public slots:
    // Esc: the framework's cancel processing decides.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void build();
    // Places the controls by fitLayout from their template places and their
    // texts' widths, and sizes the window.
    void fitToContents();
    void sync(int index);
    void clicked(int index);
    void edited(int index, const QString& text);

    CDialog* dlg;
    DialogBaseUnits units;
    std::vector<QWidget*> widgets;  // one per control, template order
    std::vector<QRect> templateRects;  // their template places, in dialog units
    QSize templateSize;                // the window's, in dialog units
    bool built = false;
};

// Process-wide handlers for a Qt program: messages in a modal message box,
// the wait cursor as the application's override cursor.
void installQtMessageBox();
void installQtWaitCursor();

}  // namespace megfwd::ui
