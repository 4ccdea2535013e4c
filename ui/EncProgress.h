// The small window that shows which file a batch is signing: a status line, a bar that moves
// with the files and with the bytes of a large one, and Cancel. It lives on the stack of the
// batch; Enter and Esc never close it and never cancel.
#pragma once

#include "AfxCtrls.h"

#include <cstdint>
#include <functional>

class CEncProgress : public CPageDialog {
    DECLARE_DYNAMIC(CEncProgress)
public:
    explicit CEncProgress(CWnd* pParent);
    ~CEncProgress() override;

    // The bar's range for `files` files (one more step than files, as the batch counts).
    void StartBar(std::size_t files);
    // Shows file `position` (from 1) with `copied` of its `size` bytes done.
    void ShowFileProgress(std::size_t position, std::uint64_t copied, std::uint64_t size);

    BOOL PreTranslateMessage(MSG* pMsg) override;

    CProgressCtrl m_progress;
    CStatic m_status;
    CButton m_btnCancel;
    // Called once when the user clicks Cancel.
    std::function<void()> m_onCancel;

protected:
    DECLARE_MESSAGE_MAP()

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnCancelSigning();

private:
    int m_units = 0; // the bar's position
};

// Bar units per file: the bar moves within a file as its bytes are copied.
inline constexpr int kProgressUnitsPerFile = 100;
