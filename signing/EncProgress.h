// The small window that shows which file a batch is signing: a status line and a bar. It has
// no behaviour of its own; the batch sets its text and its bar.
#pragma once

#include "AfxCtrls.h"

class CEncProgress : public CDialog {
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
    // Enter and Esc never close it while a batch runs.
    void OnOK() override {}
    void OnCancel() override {}
};
