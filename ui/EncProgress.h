// The small window that shows a batch at work: which file of how many, its name, the files and
// bytes done of the whole run, the speed and the time left, a bar over the run's bytes, and
// Cancel. It lives on the stack of the batch; Enter and Esc never close it and never cancel.
#pragma once

#include "AfxCtrls.h"

#include <cstdint>
#include <functional>
#include <string>

class CEncProgress : public CPageDialog {
    DECLARE_DYNAMIC(CEncProgress)
public:
    explicit CEncProgress(CWnd* pParent);
    ~CEncProgress() override;

    // A run of `files` files holding `bytes` bytes begins: empty bar, nothing done.
    void StartRun(std::size_t files, std::uint64_t bytes);
    // The file being signed, its name shortened in the middle when it does not fit.
    void ShowFile(const std::wstring& path);
    // `files` files and `bytes` bytes of the run are done; the bar, the counts, and once a
    // second has passed the speed and the time left follow.
    void ShowDone(std::size_t files, std::uint64_t bytes);
    // `milliseconds` spent waiting for the user do not count towards the speed.
    void LeaveOut(std::uint64_t milliseconds) { m_started += milliseconds; }

    BOOL PreTranslateMessage(MSG* pMsg) override;

    CProgressCtrl m_progress;
    CStatic m_status;
    CStatic m_file;
    CStatic m_done;
    CStatic m_rate;
    CButton m_btnCancel;
    // Called once when the user clicks Cancel.
    std::function<void()> m_onCancel;
    // Called a few times a second while the window shows, to bring the counts up to date.
    std::function<void()> m_onTick;

protected:
    DECLARE_MESSAGE_MAP()

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnCancelSigning();
    LRESULT OnTimer(WPARAM wParam, LPARAM lParam);

private:
    std::size_t m_files = 0;
    std::uint64_t m_bytes = 0;
    std::uint64_t m_started = 0; // GetTickCount64 at StartRun
    int m_position = -1;
    std::wstring m_doneText;
    std::wstring m_rateText;
};

// The bar's range: it moves with the run's bytes and files, and is full at the end.
inline constexpr int kProgressBarRange = 1000;
