#include "forward_engine/CMForwardkw.h"

#include "ui/CDlgForwardSettings.h"

CMForwardkw::CMForwardkw() : CMForward08Grid06Sam() { pDlgFwdSettings = nullptr; }

CMForwardkw::CMForwardkw(const CMForwardkw& other) : CMForward08Grid06Sam(other), pDlgFwdSettings(nullptr) {}

CMForwardkw& CMForwardkw::operator=(const CMForwardkw& other) {
    if (this != &other) CMForward08Grid06Sam::operator=(other);
    return *this;
}

CMForwardkw::~CMForwardkw() {
    if (pDlgFwdSettings) {
        pDlgFwdSettings->pFwd = nullptr;
        pDlgFwdSettings->DestroyWindow();
        delete pDlgFwdSettings;
        pDlgFwdSettings = nullptr;
    }
}

int CMForwardkw::showDlgFwdSetting(CMDataForwardkw* pData, CWnd* pParent) {
    if (pData) pDataFwd = pData;
    if (pParent) pParentWnd = pParent;
    if (!pDlgFwdSettings) pDlgFwdSettings = megfwd::newObject<CDlgForwardSettings>(nullptr);
    if (!pDlgFwdSettings) return 1;
    // A top-level window: pParentWnd stays stored but is not its parent. The
    // window is made again if someone destroyed it.
    if (!pDlgFwdSettings->HasWindow() && !pDlgFwdSettings->Create(CDlgForwardSettings::IDD, nullptr)) {
        delete pDlgFwdSettings;
        pDlgFwdSettings = nullptr;
        return 1;
    }
    pDlgFwdSettings->pFwd = this;
    pDlgFwdSettings->ShowWindow(SW_SHOWNORMAL);
    pDlgFwdSettings->readFwdSettings();
    pDlgFwdSettings->SetForegroundWindow();
    return 1;
}
