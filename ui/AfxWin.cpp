#include "ui/AfxWin.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace {

CWnd* g_foreground = nullptr;
int g_waitCursorCount = 0;
megfwd::ui::WaitCursorHandler g_waitCursorHandler;

bool isRadio(const DlgItemState& s) { return s.item->kind == DlgItemKind::RadioButton; }

// Blanks and tabs around the text are allowed, as the original parser allows them.
std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// from_chars does not take a leading '+'; the C parsers the original used do.
std::string_view skipPlus(std::string_view s) {
    if (s.size() > 1 && s.front() == '+' && s[1] != '-' && s[1] != '+') s.remove_prefix(1);
    return s;
}

bool parseInt(const CString& text, int& out) {
    std::string_view s = skipPlus(trimBlanks(text));
    if (s.empty()) return false;
    int v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return false;
    out = v;
    return true;
}

// Locale-independent, so a program that sets a locale with a decimal comma
// still reads "0.001".
bool parseDouble(const CString& text, double& out) {
    std::string_view s = skipPlus(trimBlanks(text));
    if (s.empty()) return false;
    double v = 0.0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return false;
    out = v;
    return true;
}

CString formatDouble(double v) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    if (ec != std::errc()) return CString();
    return CString(buf, end);
}

}  // namespace

// ---------------------------------------------------------------------------
// CWnd

CWnd::~CWnd() {
    DestroyWindow();
    if (g_foreground == this) g_foreground = nullptr;
}

const AFX_MSGMAP* CWnd::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, &entries[0]};
    return &map;
}

template <class F>
void CWnd::notify(F&& f) {
    // A copy, so an observer may remove itself while it is told.
    std::vector<CWndObserver*> copy = observers;
    for (CWndObserver* o : copy) {
        if (std::find(observers.begin(), observers.end(), o) != observers.end()) f(*o);
    }
}

void CWnd::AddObserver(CWndObserver* observer) {
    if (observer && std::find(observers.begin(), observers.end(), observer) == observers.end())
        observers.push_back(observer);
}

void CWnd::RemoveObserver(CWndObserver* observer) {
    observers.erase(std::remove(observers.begin(), observers.end(), observer), observers.end());
}

void CWnd::CreateFromTemplate(const DlgTemplate* tmpl) {
    items.clear();
    items.reserve(tmpl->items.size());
    for (const DlgItemTemplate& it : tmpl->items) {
        DlgItemState s;
        s.item = &it;
        s.text = it.text ? it.text : "";
        items.push_back(std::move(s));
    }
    pTemplate = tmpl;
    visible = false;
    focusIndex = -1;
    lockoutNotify = 0;
}

bool CWnd::DestroyWindow() {
    if (!HasWindow()) return false;
    visible = false;
    if (g_foreground == this) g_foreground = nullptr;
    pTemplate = nullptr;
    items.clear();
    focusIndex = -1;
    std::vector<CWndObserver*> gone;
    gone.swap(observers);
    for (CWndObserver* o : gone) o->windowDestroyed(*this);
    return true;
}

bool CWnd::ShowWindow(int nCmdShow) {
    if (!HasWindow()) return false;
    bool was = visible;
    bool now = nCmdShow != SW_HIDE;
    visible = now;
    if (!now && g_foreground == this) g_foreground = nullptr;
    if (was != now) notify([&](CWndObserver& o) { o.visibilityChanged(*this, now); });
    return was;
}

bool CWnd::SetForegroundWindow() {
    if (!HasWindow()) return false;
    g_foreground = this;
    notify([&](CWndObserver& o) { o.broughtToForeground(*this); });
    return true;
}

CWnd* CWnd::GetForegroundWindow() { return g_foreground; }

int CWnd::FindItem(int id) const {
    if (id == -1) return -1;  // controls without an identifier cannot be found by it
    for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i].item->id == id) return static_cast<int>(i);
    return -1;
}

const DlgItemState* CWnd::GetItemState(int index) const {
    if (index < 0 || index >= GetItemCount()) return nullptr;
    return &items[static_cast<std::size_t>(index)];
}

CString CWnd::GetDlgItemText(int id) const {
    const DlgItemState* s = GetItemState(FindItem(id));
    return s ? s->text : CString();
}

void CWnd::setItemText(int index, const CString& text) {
    DlgItemState& s = items[static_cast<std::size_t>(index)];
    if (s.text == text) return;
    s.text = text;
    notify([&](CWndObserver& o) { o.controlChanged(*this, index); });
}

void CWnd::setItemCheck(int index, int check) {
    DlgItemState& s = items[static_cast<std::size_t>(index)];
    int c = check != 0 ? 1 : 0;
    if (s.check == c) return;
    s.check = c;
    notify([&](CWndObserver& o) { o.controlChanged(*this, index); });
}

bool CWnd::SetDlgItemText(int id, const CString& text) {
    int index = FindItem(id);
    if (index < 0) return false;
    setItemText(index, text);
    if (items[static_cast<std::size_t>(index)].item->kind == DlgItemKind::Edit) OnCommand(id, EN_CHANGE);
    return true;
}

bool CWnd::CheckDlgButton(int id, int check) {
    int index = FindItem(id);
    if (index < 0) return false;
    DlgItemKind k = items[static_cast<std::size_t>(index)].item->kind;
    if (k != DlgItemKind::CheckBox && k != DlgItemKind::RadioButton) return false;
    setItemCheck(index, check);
    return true;
}

int CWnd::IsDlgButtonChecked(int id) const {
    const DlgItemState* s = GetItemState(FindItem(id));
    return s ? s->check : 0;
}

bool CWnd::ClickDlgButton(int id) {
    int index = FindItem(id);
    if (index < 0) return false;
    const DlgItemState& s = items[static_cast<std::size_t>(index)];
    if (!s.item->isButton()) return false;
    if (s.item->kind == DlgItemKind::CheckBox) {
        setItemCheck(index, s.check ? 0 : 1);
    } else if (s.item->kind == DlgItemKind::RadioButton) {
        // The group runs from the control that starts it to the next one that
        // starts a group.
        int first = index;
        while (first > 0 && !items[static_cast<std::size_t>(first)].item->startsGroup()) --first;
        int end = index + 1;
        while (end < GetItemCount() && !items[static_cast<std::size_t>(end)].item->startsGroup()) ++end;
        for (int i = first; i < end; ++i)
            if (i != index && isRadio(items[static_cast<std::size_t>(i)])) setItemCheck(i, 0);
        setItemCheck(index, 1);
    }
    OnCommand(id, BN_CLICKED);
    return true;
}

void CWnd::SetFocusIndex(int index) {
    if (index < -1 || index >= GetItemCount() || index == focusIndex) return;
    focusIndex = index;
    notify([&](CWndObserver& o) { o.focusChanged(*this, index); });
}

bool CWnd::GotoDlgItem(int id) {
    int index = FindItem(id);
    if (index < 0) return false;
    SetFocusIndex(index);
    return true;
}

bool CWnd::UpdateData(bool bSaveAndValidate) {
    if (!HasWindow()) return false;
    CDataExchange dx(this, bSaveAndValidate);
    ++lockoutNotify;
    DoDataExchange(&dx);
    --lockoutNotify;
    return !dx.m_bFailed;
}

bool CWnd::OnCommand(int id, int code) {
    if (!HasWindow() || lockoutNotify > 0) return false;
    for (const AFX_MSGMAP* map = GetMessageMap(); map; map = map->pBaseMap) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->pfn; ++e) {
            if (e->nID == id && e->nCode == code) {
                (this->*(e->pfn))();
                return true;
            }
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// CDataExchange and the exchange functions

int CDataExchange::PrepareCtrl(int nIDC) {
    int index = m_pDlgWnd->FindItem(nIDC);
    if (index < 0) {
        // A programming error: the exchange names a control the template
        // lacks. It fails, so the fault cannot go unnoticed.
        m_bFailed = true;
        return -1;
    }
    m_idLastControl = nIDC;
    return index;
}

void CDataExchange::Fail() {
    m_bFailed = true;
    if (m_idLastControl != 0) m_pDlgWnd->GotoDlgItem(m_idLastControl);
}

void CDataExchange::FailWithMessage(const CString& text) {
    AfxMessageBox(text, MB_OK, 0);
    Fail();
}

const DlgItemState& CDataExchange::item(int index) const {
    return m_pDlgWnd->items[static_cast<std::size_t>(index)];
}

void CDataExchange::setText(int index, const CString& text) { m_pDlgWnd->setItemText(index, text); }

void CDataExchange::setCheck(int index, int check) { m_pDlgWnd->setItemCheck(index, check); }

CString AfxFormatIntRangeMessage(int minVal, int maxVal) {
    return "Please enter an integer between " + std::to_string(minVal) + " and " + std::to_string(maxVal) + ".";
}

void DDX_Radio(CDataExchange* pDX, int nIDC, int& value) {
    if (pDX->m_bFailed) return;
    int first = pDX->PrepareCtrl(nIDC);
    if (first < 0) return;
    int n = pDX->m_pDlgWnd->GetItemCount();
    if (pDX->m_bSaveAndValidate) value = -1;
    int button = 0;
    for (int i = first; i < n && (i == first || !pDX->item(i).item->startsGroup()); ++i) {
        if (!isRadio(pDX->item(i))) continue;
        if (pDX->m_bSaveAndValidate) {
            if (pDX->item(i).check) value = button;
        } else {
            pDX->setCheck(i, button == value ? 1 : 0);
        }
        ++button;
    }
}

void DDX_Check(CDataExchange* pDX, int nIDC, int& value) {
    if (pDX->m_bFailed) return;
    int index = pDX->PrepareCtrl(nIDC);
    if (index < 0) return;
    if (pDX->m_bSaveAndValidate)
        value = pDX->item(index).check ? 1 : 0;
    else
        pDX->setCheck(index, value != 0 ? 1 : 0);
}

void DDX_Text(CDataExchange* pDX, int nIDC, int& value) {
    if (pDX->m_bFailed) return;
    int index = pDX->PrepareCtrl(nIDC);
    if (index < 0) return;
    if (!pDX->m_bSaveAndValidate) {
        pDX->setText(index, std::to_string(value));
        return;
    }
    int v = 0;
    if (!parseInt(pDX->item(index).text, v)) {
        pDX->FailWithMessage(AFX_MSG_PARSE_INT);
        return;
    }
    value = v;
}

void DDX_Text(CDataExchange* pDX, int nIDC, double& value) {
    if (pDX->m_bFailed) return;
    int index = pDX->PrepareCtrl(nIDC);
    if (index < 0) return;
    if (!pDX->m_bSaveAndValidate) {
        pDX->setText(index, formatDouble(value));
        return;
    }
    double v = 0.0;
    if (!parseDouble(pDX->item(index).text, v)) {
        pDX->FailWithMessage(AFX_MSG_PARSE_REAL);
        return;
    }
    value = v;
}

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value) {
    if (pDX->m_bFailed) return;
    int index = pDX->PrepareCtrl(nIDC);
    if (index < 0) return;
    if (pDX->m_bSaveAndValidate)
        value = pDX->item(index).text;
    else
        pDX->setText(index, value);
}

void DDV_MinMaxInt(CDataExchange* pDX, int value, int minVal, int maxVal) {
    if (pDX->m_bFailed || !pDX->m_bSaveAndValidate) return;
    if (value < minVal || value > maxVal) pDX->FailWithMessage(AfxFormatIntRangeMessage(minVal, maxVal));
}

void DDV_GreaterThanDouble(CDataExchange* pDX, double value, double bound) {
    if (pDX->m_bFailed || !pDX->m_bSaveAndValidate) return;
    if (!(value > bound)) pDX->FailWithMessage("Please enter a number greater than " + formatDouble(bound) + ".");
}

// ---------------------------------------------------------------------------
// CDialog

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_BN_CLICKED(IDOK, &CDialog::OnOK)
    ON_BN_CLICKED(IDCANCEL, &CDialog::OnCancel)
END_MESSAGE_MAP()

bool CDialog::Create(int nIDTemplate, CWnd* pParentWnd) {
    if (HasWindow()) return false;
    const DlgTemplate* tmpl = AfxFindDialogTemplate(nIDTemplate);
    if (!tmpl) return false;
    m_nIDTemplate = nIDTemplate;
    m_pParentWnd = pParentWnd;
    m_nModalResult = -1;
    CreateFromTemplate(tmpl);
    if (OnInitDialog() && HasWindow()) {
        for (int i = 0; i < GetItemCount(); ++i) {
            if (GetItemState(i)->item->isTabStop()) {
                SetFocusIndex(i);
                break;
            }
        }
    }
    if (HasWindow() && (tmpl->style & WS_VISIBLE)) ShowWindow(SW_SHOWNORMAL);
    return HasWindow();
}

bool CDialog::OnInitDialog() {
    UpdateData(false);
    return true;
}

void CDialog::OnOK() {
    if (!UpdateData(true)) return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::EndDialog(int nResult) {
    m_nModalResult = nResult;
    ShowWindow(SW_HIDE);
}

void CDialog::PressEscapeKey() { OnCommand(IDCANCEL, BN_CLICKED); }

void CDialog::ClickCloseBox() { OnCommand(IDCANCEL, BN_CLICKED); }

void CDialog::PressEnterKey() {
    int id = IDOK;
    for (int i = 0; i < GetItemCount(); ++i) {
        if (GetItemState(i)->item->kind == DlgItemKind::DefPushButton) {
            id = GetItemState(i)->item->id;
            break;
        }
    }
    OnCommand(id, BN_CLICKED);
}

// ---------------------------------------------------------------------------
// Wait cursor

CWaitCursor::CWaitCursor() { AfxBeginWaitCursor(); }
CWaitCursor::~CWaitCursor() { AfxEndWaitCursor(); }

void AfxBeginWaitCursor() {
    if (g_waitCursorCount++ == 0 && g_waitCursorHandler) g_waitCursorHandler(true);
}

void AfxEndWaitCursor() {
    if (g_waitCursorCount == 0) return;
    if (--g_waitCursorCount == 0 && g_waitCursorHandler) g_waitCursorHandler(false);
}

int AfxGetWaitCursorCount() { return g_waitCursorCount; }

namespace megfwd::ui {
WaitCursorHandler setWaitCursorHandler(WaitCursorHandler handler) {
    WaitCursorHandler previous = std::move(g_waitCursorHandler);
    g_waitCursorHandler = std::move(handler);
    return previous;
}
}  // namespace megfwd::ui
