// A small dialog framework in the manner of the Windows one the settings
// dialog was written for: windows created from a dialog template, show and
// hide, data exchange and validation between controls and members, a message
// map from control notifications to handlers, the wait cursor and the
// foreground window.
//
// The framework is headless. It keeps the state of every control (its text
// and check mark) itself, so a program can drive a dialog the way a user
// would: type into an edit (SetDlgItemText), click a button (ClickDlgButton),
// press Esc or Enter, close it. A view (a real window, or a test) follows the
// state through CWndObserver and feeds user input back through the same
// calls.
//
// Everything runs on the one user-interface thread; the foreground window and
// the wait-cursor count are process-wide, as they are for the original.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host_interfaces/Afx.h"
#include "ui/DialogTemplate.h"
#include "base/DialogResources.h"

// ShowWindow commands.
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOW = 5;

// Control notification codes.
constexpr int BN_CLICKED = 0;
constexpr int EN_CHANGE = 0x0300;

class CWnd;
class CDataExchange;

// ---------------------------------------------------------------------------
// Message map: which handler runs for which control id and notification code.
// A class declares DECLARE_MESSAGE_MAP() in its body and defines its entries
// between BEGIN_MESSAGE_MAP(Class, Base) and END_MESSAGE_MAP(); entries the
// class does not have are looked up in its base's map.

using AFX_PMSG = void (CWnd::*)();

struct AFX_MSGMAP_ENTRY {
    int nID;
    int nCode;
    AFX_PMSG pfn;  // null ends the entries
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* pBaseMap;
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                              \
protected:                                                 \
    static const AFX_MSGMAP* GetThisMessageMap();          \
                                                           \
public:                                                    \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                   \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {                            \
        using TheBaseClass = baseClass;                                          \
        static const AFX_MSGMAP_ENTRY messageEntries[] = {

#define ON_COMMAND_NOTIFY(id, code, memberFxn) {(id), (code), static_cast<AFX_PMSG>(memberFxn)},
#define ON_BN_CLICKED(id, memberFxn) ON_COMMAND_NOTIFY(id, BN_CLICKED, memberFxn)
#define ON_EN_CHANGE(id, memberFxn) ON_COMMAND_NOTIFY(id, EN_CHANGE, memberFxn)

#define END_MESSAGE_MAP()                                                        \
    {0, 0, nullptr}};                                                            \
        static const AFX_MSGMAP messageMap = {TheBaseClass::GetThisMessageMap(), \
                                              &messageEntries[0]};               \
        return &messageMap;                                                      \
    }

// ---------------------------------------------------------------------------

// The live state of one control of a window.
struct DlgItemState {
    const DlgItemTemplate* item = nullptr;  // id, kind, position, style
    CString text;                           // caption or edit text
    int check = 0;                          // check boxes and radio buttons: 0 or 1
};

// Follows a window: a view that shows it, or a test. Every call comes after
// the change it reports.
class CWndObserver {
public:
    virtual ~CWndObserver() = default;
    virtual void controlChanged(CWnd& wnd, int index) { (void)wnd, (void)index; }
    virtual void visibilityChanged(CWnd& wnd, bool visible) { (void)wnd, (void)visible; }
    virtual void broughtToForeground(CWnd& wnd) { (void)wnd; }
    virtual void focusChanged(CWnd& wnd, int index) { (void)wnd, (void)index; }
    // The window is gone; the observer has already been removed.
    virtual void windowDestroyed(CWnd& wnd) { (void)wnd; }
};

class CWnd {
public:
    CWnd() = default;
    // A window that still exists is destroyed first.
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    // ----- the window
    bool HasWindow() const { return pTemplate != nullptr; }
    const DlgTemplate* GetTemplate() const { return pTemplate; }
    // SW_HIDE hides, SW_SHOWNORMAL and SW_SHOW show. Returns whether the
    // window was visible before; false without a window.
    bool ShowWindow(int nCmdShow);
    bool IsWindowVisible() const { return HasWindow() && visible; }
    // Makes this window the foreground window; false without a window.
    bool SetForegroundWindow();
    static CWnd* GetForegroundWindow();
    // Removes the window and its controls; the C++ object stays. False when
    // there was no window.
    virtual bool DestroyWindow();

    // ----- controls, by identifier (the first control with the id) or by
    // template index
    int GetItemCount() const { return static_cast<int>(items.size()); }
    int FindItem(int id) const;  // template index, or -1
    const DlgItemState* GetItemState(int index) const;
    CString GetDlgItemText(int id) const;
    // Sets a control's text. For an edit this is what typing does: the window
    // receives EN_CHANGE (unless notifications are locked out during a data
    // exchange).
    bool SetDlgItemText(int id, const CString& text);
    // Sets a check box's or radio button's mark (0 or 1) without a
    // notification and without touching the rest of a radio group.
    bool CheckDlgButton(int id, int check);
    int IsDlgButtonChecked(int id) const;  // 0 also for unknown ids
    // What a mouse click does: a check box toggles, a radio button selects
    // itself and clears the other radio buttons of its group; then the window
    // receives BN_CLICKED. False for controls that are not buttons.
    bool ClickDlgButton(int id);
    int GetFocusItem() const { return focusIndex; }  // template index, -1 none
    bool GotoDlgItem(int id);

    // ----- data exchange
    // true: reads and validates the controls into the members; on a failure
    // the framework shows its validation message, moves the focus to the
    // control and stops there (members read before it keep their new value).
    // false: fills the controls from the members. Returns false on failure
    // and without a window. Control notifications are locked out meanwhile.
    bool UpdateData(bool bSaveAndValidate = true);
    virtual void DoDataExchange(CDataExchange* pDX) { (void)pDX; }

    // ----- commands
    // Runs the handler of the message map for this control and code; false
    // when none is found or notifications are locked out.
    bool OnCommand(int id, int code);
    virtual const AFX_MSGMAP* GetMessageMap() const { return GetThisMessageMap(); }

    void AddObserver(CWndObserver* observer);
    void RemoveObserver(CWndObserver* observer);

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    // Builds the controls from the template (hidden window, no focus).
    void CreateFromTemplate(const DlgTemplate* tmpl);
    void SetFocusIndex(int index);

private:
    friend class CDataExchange;
    void setItemText(int index, const CString& text);
    void setItemCheck(int index, int check);
    template <class F>
    void notify(F&& f);

    const DlgTemplate* pTemplate = nullptr;
    std::vector<DlgItemState> items;
    std::vector<CWndObserver*> observers;
    bool visible = false;
    int focusIndex = -1;
    int lockoutNotify = 0;
};

// ---------------------------------------------------------------------------
// Data exchange between controls and members (DoDataExchange).

class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, bool bSaveAndValidate) : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}

    bool m_bSaveAndValidate;  // true: controls to members
    CWnd* m_pDlgWnd;
    bool m_bFailed = false;   // set by the first failure; later exchanges do nothing
    int m_idLastControl = 0;  // the control the last exchange prepared

    // Index of the control, remembered as the last control; -1 (and a
    // failure) when the window has no such control.
    int PrepareCtrl(int nIDC);
    // Shows the validation message and fails.
    void FailWithMessage(const CString& text);
    // Marks the exchange failed and moves the focus to the last control.
    void Fail();

    // Control state for the exchange functions (index from PrepareCtrl).
    const DlgItemState& item(int index) const;
    void setText(int index, const CString& text);  // no notification
    void setCheck(int index, int check);
};

// The framework's validation messages.
inline constexpr const char* AFX_MSG_PARSE_INT = "Please enter an integer.";
inline constexpr const char* AFX_MSG_PARSE_REAL = "Please enter a number.";
// "Please enter an integer between <min> and <max>."
CString AfxFormatIntRangeMessage(int minVal, int maxVal);

// Radio group starting at nIDC (a control that starts a group): value is the
// index of the checked radio button among the group's radio buttons in
// template order, -1 when none is checked. Filling with a value outside the
// group clears every button.
void DDX_Radio(CDataExchange* pDX, int nIDC, int& value);
// Check box: filling shows any non-zero flag as checked; reading gives 0 or 1.
void DDX_Check(CDataExchange* pDX, int nIDC, int& value);
// Integer text: blanks around the number are allowed; anything else, or a
// number outside the range of int, fails with AFX_MSG_PARSE_INT.
void DDX_Text(CDataExchange* pDX, int nIDC, int& value);
// Number text: a finite decimal number with blanks around it, else failure
// with AFX_MSG_PARSE_REAL. Numbers are shown in the shortest text that reads
// back as the same double, so filling and reading again changes nothing.
void DDX_Text(CDataExchange* pDX, int nIDC, double& value);
// Plain text.
void DDX_Text(CDataExchange* pDX, int nIDC, CString& value);
// Only when reading: value outside minVal..maxVal fails with the range message.
void DDV_MinMaxInt(CDataExchange* pDX, int value, int minVal, int maxVal);
// Only when reading: value not above bound fails with
// "Please enter a number greater than <bound>."
void DDV_GreaterThanDouble(CDataExchange* pDX, double value, double bound);

// ---------------------------------------------------------------------------

class CDialog : public CWnd {
public:
    explicit CDialog(int nIDTemplate = 0, CWnd* pParentWnd = nullptr)
        : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

    // Creates the modeless window from the template: controls from the
    // template, OnInitDialog, then the focus on the first tab stop when
    // OnInitDialog returns true. The window is visible only when the template
    // says so. False when the window exists already or the template is not
    // found.
    bool Create(int nIDTemplate, CWnd* pParentWnd = nullptr);
    // Fills the controls from the members; true lets the framework set the
    // focus.
    virtual bool OnInitDialog();
    // Reads and validates the controls and, when they are valid, ends the
    // dialog with IDOK.
    virtual void OnOK();
    // Ends the dialog with IDCANCEL; nothing is read.
    virtual void OnCancel();
    // Records the result and hides the window (a modeless dialog is not
    // destroyed).
    void EndDialog(int nResult);
    int GetDialogResult() const { return m_nModalResult; }

    // What the dialog manager does with the keyboard and the caption bar.
    void PressEscapeKey();  // IDCANCEL
    void PressEnterKey();   // the default push button (IDOK when there is none)
    void ClickCloseBox();   // IDCANCEL, as the window's close command

    int m_nIDTemplate;
    CWnd* m_pParentWnd;
    int m_nModalResult = -1;

    DECLARE_MESSAGE_MAP()
};

// ---------------------------------------------------------------------------
// The wait cursor: counted, shown while at least one CWaitCursor lives.

class CWaitCursor {
public:
    CWaitCursor();
    ~CWaitCursor();
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;
};

void AfxBeginWaitCursor();
void AfxEndWaitCursor();     // ignored when no wait cursor is shown
int AfxGetWaitCursorCount();

namespace megfwd::ui {
// Called with true when the wait cursor appears and false when it goes.
using WaitCursorHandler = std::function<void(bool busy)>;
// Installs a handler and returns the previous one.
WaitCursorHandler setWaitCursorHandler(WaitCursorHandler handler);
}  // namespace megfwd::ui
