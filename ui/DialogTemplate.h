// Dialog templates: the caption, size, font and style of a dialog and its
// controls in tab order, as the resource compiler of the original framework
// would have stored them. The library's templates are compiled in; a dialog
// finds its template by resource number.
#pragma once

#include <span>

// Window styles (the framework's bit values).
constexpr unsigned WS_POPUP = 0x80000000u;
constexpr unsigned WS_VISIBLE = 0x10000000u;
constexpr unsigned WS_CAPTION = 0x00C00000u;
constexpr unsigned WS_BORDER = 0x00800000u;
constexpr unsigned WS_SYSMENU = 0x00080000u;
constexpr unsigned WS_GROUP = 0x00020000u;
constexpr unsigned WS_TABSTOP = 0x00010000u;
// Dialog styles.
constexpr unsigned DS_MODALFRAME = 0x80u;
constexpr unsigned DS_SETFONT = 0x40u;
// Button styles.
constexpr unsigned BS_PUSHBUTTON = 0x0u;
constexpr unsigned BS_DEFPUSHBUTTON = 0x1u;
constexpr unsigned BS_AUTOCHECKBOX = 0x3u;
constexpr unsigned BS_GROUPBOX = 0x7u;
constexpr unsigned BS_AUTORADIOBUTTON = 0x9u;
// Edit styles.
constexpr unsigned ES_AUTOHSCROLL = 0x80u;

enum class DlgItemKind {
    CheckBox,       // two-state check box that toggles itself
    RadioButton,    // radio button that selects itself and clears its group
    PushButton,
    DefPushButton,  // the push button that Enter presses
    Edit,           // single-line edit
    Label,          // static text
    GroupBox,
};

// One control of a template. Positions and sizes are in dialog units.
struct DlgItemTemplate {
    int id;             // -1: a control without an identifier
    DlgItemKind kind;
    const char* text;   // caption; empty for edits
    int x, y, cx, cy;
    unsigned style;     // WS_, BS_ and ES_ bits

    bool startsGroup() const { return (style & WS_GROUP) != 0; }
    bool isTabStop() const { return (style & WS_TABSTOP) != 0; }
    bool isButton() const {
        return kind == DlgItemKind::CheckBox || kind == DlgItemKind::RadioButton ||
               kind == DlgItemKind::PushButton || kind == DlgItemKind::DefPushButton;
    }
};

struct DlgTemplate {
    int resourceId;
    const char* caption;
    int cx, cy;             // client size in dialog units
    const char* fontName;
    int pointSize;
    unsigned style;         // WS_ and DS_ bits
    std::span<const DlgItemTemplate> items;  // tab order
};

// The library's template with this resource number, or null.
const DlgTemplate* AfxFindDialogTemplate(int resourceId);
