// The most-derived forward engine, through which the host shows the forward
// settings dialog.
#pragma once

#include "forward_engine/CMForward08Grid06Sam.h"

class CDlgForwardSettings;

class CMForwardkw : public CMForward08Grid06Sam {
public:
    CDlgForwardSettings* pDlgFwdSettings = nullptr;
};
