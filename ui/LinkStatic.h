// A static text control drawn as a link in the system's colours: the system's link colour
// (COLOR_HOTLIGHT) on the button face, both read at every paint so that a high-contrast scheme
// applies at once. It takes the keyboard focus (WS_TABSTOP in its template), shows it, and
// Enter or Space on it clicks it (STN_CLICKED), as a mouse click does. It is bound to a
// dialog's control by DDX_Control and never makes a window itself: the About box's web link.
#pragma once

#include "AfxCtrls.h"
#include "AfxGdi.h"

class CLinkStatic : public CStatic {
public:
    CLinkStatic();
    ~CLinkStatic() override;

    // Lets the keyboard reach and click the bound control; call once it is bound.
    void AcceptKeyboard();
    // The parent's colour request for this control, reflected here.
    HBRUSH CtlColor(CDC* pDC, UINT nCtlColor);

protected:
    DECLARE_MESSAGE_MAP()
};
