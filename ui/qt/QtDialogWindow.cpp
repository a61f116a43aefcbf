#include "ui/qt/QtDialogWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>

namespace megfwd::ui {

namespace {

// a * b / c rounded to the nearest integer, as the original window system's
// conversion rounds.
int mulDiv(int a, int b, int c) {
    const long long p = static_cast<long long>(a) * b;
    return static_cast<int>(p >= 0 ? (p + c / 2) / c : -((-p + c / 2) / c));
}

QString qs(const CString& s) { return QString::fromStdString(s); }

}  // namespace

DialogBaseUnits dialogBaseUnits(const QFont& font) {
    // The average width of the 52 letters, rounded to a whole pixel, and the
    // height of a line of text.
    const QFontMetrics fm(font);
    const int width = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(width / 26 + 1) / 2, fm.height()};
}

QRect dialogUnitsToPixels(const DialogBaseUnits& base, int x, int y, int cx, int cy) {
    return QRect(mulDiv(x, base.x, 4), mulDiv(y, base.y, 8), mulDiv(cx, base.x, 4), mulDiv(cy, base.y, 8));
}

QtDialogWindow::QtDialogWindow(CDialog* dialog, QWidget* parent) : QDialog(parent), dlg(dialog) {
    if (!dlg || !dlg->HasWindow()) {
        dlg = nullptr;
        return;
    }
    build();
    dlg->AddObserver(this);
    if (dlg->IsWindowVisible()) show();
}

QtDialogWindow::~QtDialogWindow() {
    if (dlg) dlg->RemoveObserver(this);
}

void QtDialogWindow::build() {
    const DlgTemplate* t = dlg->GetTemplate();
    setWindowTitle(QString::fromUtf8(t->caption));
    // The template's face ("MS Shell Dlg") is a Windows alias; the style hint
    // lets the font system choose the nearest sans-serif face here.
    QFont f(QString::fromUtf8(t->fontName), t->pointSize);
    f.setStyleHint(QFont::SansSerif);
    setFont(f);
    units = dialogBaseUnits(font());
    const QRect size = dialogUnitsToPixels(units, 0, 0, t->cx, t->cy);
    setFixedSize(size.width(), size.height());

    widgets.assign(static_cast<std::size_t>(dlg->GetItemCount()), nullptr);
    QWidget* lastTabStop = nullptr;
    for (int i = 0; i < dlg->GetItemCount(); ++i) {
        const DlgItemState* s = dlg->GetItemState(i);
        const DlgItemTemplate& it = *s->item;
        QWidget* w = nullptr;
        switch (it.kind) {
            case DlgItemKind::CheckBox: w = new QCheckBox(this); break;
            case DlgItemKind::RadioButton: {
                // The framework keeps each group exclusive; Qt's own grouping by
                // parent would join every radio button of the window.
                auto* r = new QRadioButton(this);
                r->setAutoExclusive(false);
                w = r;
                break;
            }
            case DlgItemKind::PushButton:
            case DlgItemKind::DefPushButton: {
                auto* b = new QPushButton(this);
                b->setDefault(it.kind == DlgItemKind::DefPushButton);
                b->setAutoDefault(false);
                w = b;
                break;
            }
            case DlgItemKind::Edit: {
                auto* e = new QLineEdit(this);
                connect(e, &QLineEdit::textEdited, this, [this, i](const QString& text) { edited(i, text); });
                w = e;
                break;
            }
            case DlgItemKind::Label: w = new QLabel(this); break;
            case DlgItemKind::GroupBox: {
                auto* g = new QGroupBox(this);
                g->setAttribute(Qt::WA_TransparentForMouseEvents);
                w = g;
                break;
            }
        }
        if (auto* b = qobject_cast<QAbstractButton*>(w))
            connect(b, &QAbstractButton::clicked, this, [this, i]() { clicked(i); });
        w->setObjectName(QStringLiteral("dlgItem%1").arg(i));
        w->setProperty("dlgId", it.id);
        w->setGeometry(dialogUnitsToPixels(units, it.x, it.y, it.cx, it.cy));
        if (it.isTabStop()) {
            w->setFocusPolicy(Qt::StrongFocus);
            if (lastTabStop) QWidget::setTabOrder(lastTabStop, w);
            lastTabStop = w;
        } else {
            w->setFocusPolicy(it.kind == DlgItemKind::RadioButton ? Qt::ClickFocus : Qt::NoFocus);
        }
        widgets[static_cast<std::size_t>(i)] = w;
        sync(i);
    }
    // Group boxes are drawn behind the controls they frame.
    for (QWidget* w : widgets)
        if (qobject_cast<QGroupBox*>(w)) w->lower();
    if (QWidget* w = widgetAt(dlg->GetFocusItem())) w->setFocus();
}

QWidget* QtDialogWindow::widgetAt(int index) const {
    if (index < 0 || index >= static_cast<int>(widgets.size())) return nullptr;
    return widgets[static_cast<std::size_t>(index)];
}

QWidget* QtDialogWindow::widgetFor(int id) const { return dlg ? widgetAt(dlg->FindItem(id)) : nullptr; }

void QtDialogWindow::sync(int index) {
    QWidget* w = widgetAt(index);
    const DlgItemState* s = dlg ? dlg->GetItemState(index) : nullptr;
    if (!w || !s) return;
    const QString text = qs(s->text);
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        // Equal text keeps the cursor where the user has it; new text shows
        // from its start, as the original edits do.
        if (e->text() != text) {
            e->setText(text);
            e->setCursorPosition(0);
        }
    } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        b->setText(text);
        if (b->isCheckable()) b->setChecked(s->check != 0);
    } else if (auto* l = qobject_cast<QLabel*>(w)) {
        l->setText(text);
    } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
        g->setTitle(text);
    }
}

void QtDialogWindow::clicked(int index) {
    if (!dlg) return;
    const DlgItemState* s = dlg->GetItemState(index);
    if (!s) return;
    dlg->ClickDlgButton(s->item->id);
    // Qt has already toggled the button; the framework's state decides (a
    // checked radio button stays checked when clicked again).
    sync(index);
}

void QtDialogWindow::edited(int index, const QString& text) {
    if (!dlg) return;
    const DlgItemState* s = dlg->GetItemState(index);
    if (s) dlg->SetDlgItemText(s->item->id, text.toStdString());
}

void QtDialogWindow::controlChanged(CWnd&, int index) { sync(index); }

void QtDialogWindow::visibilityChanged(CWnd&, bool visible) {
    setVisible(visible);
    emit dialogVisibilityChanged(visible);
}

void QtDialogWindow::broughtToForeground(CWnd&) {
    // The offscreen platform of the tests has no window stack to raise in
    // (and says so on every call).
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) raise();
    activateWindow();
}

void QtDialogWindow::focusChanged(CWnd&, int index) {
    if (QWidget* w = widgetAt(index)) w->setFocus();
}

void QtDialogWindow::windowDestroyed(CWnd&) {
    dlg = nullptr;
    const bool wasVisible = isVisible();
    hide();
    if (wasVisible) emit dialogVisibilityChanged(false);
}

void QtDialogWindow::reject() {
    if (dlg)
        dlg->PressEscapeKey();
    else
        hide();
}

void QtDialogWindow::closeEvent(QCloseEvent* event) {
    if (!dlg) {
        event->accept();
        return;
    }
    // The framework hides the window through visibilityChanged.
    event->ignore();
    dlg->ClickCloseBox();
}

void installQtMessageBox() {
    megfwd::setMessageBoxHandler([](const std::string& text, unsigned type) {
        QWidget* parent = QApplication::activeWindow();
        if ((type & 0xF) == MB_YESNO) {
            auto answer = QMessageBox::question(parent, QApplication::applicationDisplayName(), qs(text),
                                                QMessageBox::Yes | QMessageBox::No);
            return answer == QMessageBox::Yes ? IDYES : IDNO;
        }
        QMessageBox::information(parent, QApplication::applicationDisplayName(), qs(text));
        return IDOK;
    });
}

void installQtWaitCursor() {
    setWaitCursorHandler([](bool busy) {
        if (busy)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    });
}

}  // namespace megfwd::ui
