#include "ui/qt/QtDialogWindow.h"

#include <algorithm>
#include <cstdlib>

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

// Space kept between a widened control and the neighbour it pushes, in
// dialog units (horizontal), when the template left at least that much.
constexpr int kMinGapDlu = 3;
// Controls of a kind whose tops differ by at most this many dialog units
// are one row (two units are four pixels at the usual font, a step the eye
// sees; the template's rows lie at least ten units apart).
constexpr int kRowToleranceDlu = 2;

int rightOf(const QRect& r) { return r.x() + r.width(); }  // the first unit past the rectangle

bool overlapVertically(const QRect& a, const QRect& b) {
    return a.y() < b.y() + b.height() && b.y() < a.y() + a.height();
}

// The width in pixels that a control's current content needs.
int neededWidth(QWidget* w) {
    if (qobject_cast<QGroupBox*>(w)) return 0;  // sized by what it frames
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        // QLineEdit's size hint is room for 17 'x' plus its margins and
        // frame; the text in place of the 17 'x', and a pixel for the cursor.
        const QFontMetrics fm = e->fontMetrics();
        return e->sizeHint().width() - 17 * fm.horizontalAdvance(QLatin1Char('x')) + fm.horizontalAdvance(e->text()) + 1;
    }
    return w->sizeHint().width();
}

// The same in whole horizontal dialog units, rounded up so that the pixels
// they give back are never fewer.
int neededDialogUnits(QWidget* w, const DialogBaseUnits& base) {
    return (neededWidth(w) * 4 + base.x - 1) / base.x;
}

// The top each control is drawn at: the top held by the most controls of
// its row (on a tie its own), when it has a row class.
std::vector<int> rowTops(const std::vector<LayoutItem>& items, int tolerance) {
    auto sameRow = [&](const LayoutItem& a, const LayoutItem& b) {
        return a.rowClass != 0 && a.rowClass == b.rowClass && !a.groupBox && !b.groupBox &&
               a.rect.height() == b.rect.height() && std::abs(a.rect.y() - b.rect.y()) <= tolerance;
    };
    std::vector<int> tops(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const int own = items[i].rect.y();
        int best = own, bestCount = 0;
        for (const LayoutItem& c : items) {
            if (!sameRow(items[i], c)) continue;
            int count = 0;
            for (const LayoutItem& d : items) count += sameRow(items[i], d) && d.rect.y() == c.rect.y();
            if (count > bestCount || (count == bestCount && c.rect.y() == own)) best = c.rect.y(), bestCount = count;
        }
        tops[i] = best;
    }
    return tops;
}

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

FittedLayout fitLayout(const std::vector<LayoutItem>& items, int windowWidth, int minGap, int rowTolerance) {
    const std::size_t n = items.size();
    FittedLayout out{std::vector<QRect>(n), windowWidth};
    std::vector<std::size_t> controls, groups;
    const std::vector<int> tops = rowTops(items, rowTolerance);
    for (std::size_t i = 0; i < n; ++i) {
        out.rects[i] = items[i].rect;
        (items[i].groupBox ? groups : controls).push_back(i);
    }
    // Left to right, so every control to the left of one is placed first.
    std::stable_sort(controls.begin(), controls.end(),
                     [&](std::size_t a, std::size_t b) { return items[a].rect.x() < items[b].rect.x(); });
    for (std::size_t k = 0; k < controls.size(); ++k) {
        const std::size_t i = controls[k];
        const QRect& t = items[i].rect;
        int x = t.x();
        for (std::size_t m = 0; m < k; ++m) {
            const std::size_t j = controls[m];
            const QRect& left = items[j].rect;
            if (rightOf(left) > t.x() || !overlapVertically(left, t)) continue;
            x = std::max(x, rightOf(out.rects[j]) + std::min(t.x() - rightOf(left), minGap));
        }
        out.rects[i] = QRect(x, tops[i], std::max(t.width(), items[i].neededWidth), t.height());
    }

    // The right edge of the content: group boxes and controls alike.
    int contentRight = 0;
    for (const LayoutItem& it : items) contentRight = std::max(contentRight, rightOf(it.rect));
    // The innermost group box around a control (the smallest that holds
    // it); n for none.
    auto area = [&](std::size_t i) { return items[i].rect.width() * items[i].rect.height(); };
    auto groupOf = [&](std::size_t i) {
        std::size_t best = n;
        for (std::size_t g : groups)
            if (items[g].rect.contains(items[i].rect) && (best == n || area(g) < area(best))) best = g;
        return best;
    };
    // How far each group box and the content must grow: a control keeps
    // min(its template margin, minGap) to the right edge around it.
    std::vector<int> groupGrowth(n, 0);
    int growth = 0;
    for (std::size_t i : controls) {
        const std::size_t g = groupOf(i);
        const int limit = g < n ? rightOf(items[g].rect) : contentRight;
        const int margin = std::max(0, std::min(limit - rightOf(items[i].rect), minGap));
        const int over = rightOf(out.rects[i]) + margin - limit;
        if (over <= 0) continue;
        if (g < n) groupGrowth[g] = std::max(groupGrowth[g], over);
        growth = std::max(growth, limit + over - contentRight);
    }
    for (std::size_t g : groups) {
        const bool reachesEdge = rightOf(items[g].rect) == contentRight;
        out.rects[g].setWidth(items[g].rect.width() + (reachesEdge ? growth : groupGrowth[g]));
    }
    for (std::size_t i : controls) {
        if (groupOf(i) < n || rightOf(items[i].rect) != contentRight) continue;
        out.rects[i].moveLeft(std::max(out.rects[i].x(), contentRight + growth - out.rects[i].width()));
    }
    out.windowWidth = windowWidth + growth;
    return out;
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
    templateSize = QSize(t->cx, t->cy);

    widgets.assign(static_cast<std::size_t>(dlg->GetItemCount()), nullptr);
    templateRects.assign(widgets.size(), QRect());
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
        templateRects[static_cast<std::size_t>(i)] = QRect(it.x, it.y, it.cx, it.cy);
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
    built = true;
    fitToContents();
    if (QWidget* w = widgetAt(dlg->GetFocusItem())) w->setFocus();
}

void QtDialogWindow::fitToContents() {
    // In dialog units, where edges that meet in the template meet exactly;
    // a needed width is rounded up to whole units.
    std::vector<LayoutItem> items(widgets.size());
    for (std::size_t i = 0; i < widgets.size(); ++i)
        items[i] = {templateRects[i], neededDialogUnits(widgets[i], units),
                    qobject_cast<QGroupBox*>(widgets[i]) != nullptr,
                    1 + static_cast<int>(dlg->GetItemState(static_cast<int>(i))->item->kind)};
    const FittedLayout fitted = fitLayout(items, templateSize.width(), kMinGapDlu, kRowToleranceDlu);
    for (std::size_t i = 0; i < widgets.size(); ++i) {
        const QRect& r = fitted.rects[i];
        const QRect px = dialogUnitsToPixels(units, r.x(), r.y(), r.width(), r.height());
        if (widgets[i]->geometry() != px) widgets[i]->setGeometry(px);
    }
    const QRect size = dialogUnitsToPixels(units, 0, 0, fitted.windowWidth, templateSize.height());
    setFixedSize(size.width(), size.height());
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
    // Typing in an edit comes here too (the framework reports the new
    // text), so an edit widens while a long number is typed into it.
    if (!built) return;
    const int cx = std::max(templateRects[static_cast<std::size_t>(index)].width(), neededDialogUnits(w, units));
    if (dialogUnitsToPixels(units, 0, 0, cx, 0).width() != w->width()) fitToContents();
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
