// A static text control with its own text colour on the button-face colour: the About box's
// web link. It is bound to a dialog's control by DDX_Control and never makes a window itself.
#pragma once

#include "AfxCtrls.h"
#include "AfxGdi.h"

class CLinkStatic : public CStatic {
public:
    CLinkStatic();
    ~CLinkStatic() override;

    // Stores the text colour and redraws the control at once.
    void SetTextColor(COLORREF crText);
    // The parent's colour request for this control, reflected here.
    HBRUSH CtlColor(CDC* pDC, UINT nCtlColor);

protected:
    DECLARE_MESSAGE_MAP()

    CBrush m_brushBk;     // solid brush of m_crBk
    COLORREF m_crBk;      // the button-face colour when the control object was made
    COLORREF m_crText{0}; // black until SetTextColor
};
