// A Qt window that shows a dialog of the headless framework to a person.
//
// The window is built from the dialog's template (caption, font, every
// control at its place, radio groups, tab order) and bound to the
// framework's control state both ways: a click or an edit in the window goes
// through the framework (ClickDlgButton, SetDlgItemText, the Esc key and the
// close box), so it runs the dialog's own handlers, and every change of the
// framework's state (a handler filling the controls, the dialog hiding
// itself) shows in the window.
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
    void sync(int index);
    void clicked(int index);
    void edited(int index, const QString& text);

    CDialog* dlg;
    DialogBaseUnits units;
    std::vector<QWidget*> widgets;  // one per control, template order
};

// Process-wide handlers for a Qt program: messages in a modal message box,
// the wait cursor as the application's override cursor.
void installQtMessageBox();
void installQtWaitCursor();

}  // namespace megfwd::ui
