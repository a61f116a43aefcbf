// The most-derived forward engine, through which the host shows the forward
// settings dialog.
#pragma once

#include "forward_engine/CMForward08Grid06Sam.h"

class CDlgForwardSettings;
class CMDataForwardkw;
class CWnd;

class CMForwardkw : public CMForward08Grid06Sam {
public:
    // Owned once shown: created by the first showDlgFwdSetting, shown again
    // by the later ones.
    CDlgForwardSettings* pDlgFwdSettings = nullptr;

    CMForwardkw();
    // A copy takes the engine's settings but not its dialog: it starts
    // without one, so no dialog is shared or released twice. Assignment keeps
    // the target's own dialog, which goes on showing the target.
    CMForwardkw(const CMForwardkw& other);
    CMForwardkw& operator=(const CMForwardkw& other);
    // Destroys the dialog's window and releases the dialog, so no handler can
    // reach an engine that is gone.
    ~CMForwardkw();

    // Shows the settings dialog for this engine and the manager pData (a null
    // pData or pParent leaves the stored one as it was), creating it on the
    // first call, and fills it from the engine and the manager. Always 1:
    // when the dialog cannot be created (no memory, no template) nothing is
    // shown and pDlgFwdSettings stays null, which is how a caller tells.
    int showDlgFwdSetting(CMDataForwardkw* pData, CWnd* pParent);
};
