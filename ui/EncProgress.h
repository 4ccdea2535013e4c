// The small window that shows which file a batch is signing: a status line and a bar. It has
// no behaviour of its own; the batch sets its text and its bar. It lives on the stack of the
// batch, and Enter and Esc never close it.
#pragma once

#include "AfxCtrls.h"

class CEncProgress : public CPageDialog {
    DECLARE_DYNAMIC(CEncProgress)
public:
    explicit CEncProgress(CWnd* pParent);
    ~CEncProgress() override;

    CProgressCtrl m_progress;
    CStatic m_status;

protected:
    DECLARE_MESSAGE_MAP()

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
};
