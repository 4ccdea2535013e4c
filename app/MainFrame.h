// The main frame: a fixed-size window whose client area is exactly one wizard step.
#pragma once

#include "AfxWin.h"
#include "WizardHost.h"

#include <new>

class CMainFrame : public CFrameWnd {
    DECLARE_DYNAMIC(CMainFrame)
public:
    // The steps it shows reach the program through `host`.
    explicit CMainFrame(IWizardHost& host) : m_host(host) {}
    ~CMainFrame() override;

    BOOL PreCreateWindow(CREATESTRUCTW& cs) override;

    // The step protocol: each creates a new step, makes it current, shows it and fits the
    // frame around it. The caller, the previous step, then destroys itself. False when the
    // new step could not be made; the previous step then stays current.
    bool ShowHomeStep();
    bool ShowAddSignatureStep();
    bool ShowCheckSignatureStep();

    // Makes `batch` the running batch (the step and the menu take no input, closing asks the
    // batch first), or with null ends it. Ending it returns true when the frame was closed
    // meanwhile and is closing now.
    bool SetBatch(IBatchControl* batch);
    BOOL PreTranslateMessage(MSG* pMsg) override;

    // The step shown now; null only while the frame is being created or destroyed.
    CDialog* GetCurrentStep() const { return m_pCurrentStep; }

    // Shows a new step of class TStep (constructed with the frame as parent) from template
    // `nIDTemplate`.
    template <class TStep> bool ShowStep(UINT nIDTemplate) {
        CDialog* step = new (std::nothrow) TStep(this, m_host);
        return step && AdoptStep(step, nIDTemplate);
    }

    // Puts a new step of class TStep in place of the current one and returns it; null when it
    // could not be made (the current step then stays). For start-up, when no step is acting.
    template <class TStep> TStep* ReplaceStep(UINT nIDTemplate) {
        CDialog* previous = m_pCurrentStep;
        auto* step = new (std::nothrow) TStep(this, m_host);
        if (!step || !AdoptStep(step, nIDTemplate))
            return nullptr;
        if (previous)
            previous->DestroyWindow();
        return step;
    }

protected:
    DECLARE_MESSAGE_MAP()

    int OnCreate(LPCREATESTRUCTW lpCreateStruct);
    void OnSetFocus(CWnd* pOldWnd);
    void OnDestroy();
    void OnClose();
    LRESULT OnActivate(WPARAM wParam, LPARAM lParam);
    LRESULT OnRaiseBatchWindow(WPARAM wParam, LPARAM lParam);
    // Help > Help Topics and F1: the help page in the default web browser.
    void OnHelpTopics();
    LRESULT OnDpiChanged(WPARAM wParam, LPARAM lParam);

private:
    // Creates the step's window; on success the step owns itself and becomes current.
    bool AdoptStep(CDialog* step, UINT nIDTemplate);
    // Resizes the frame so that its client area is the current step's size.
    void FitToStep(UINT flags);

    IWizardHost& m_host;
    CDialog* m_pCurrentStep = nullptr; // not owned: a step deletes itself with its window
    IBatchControl* m_pBatch = nullptr; // the batch running now, if any
    bool m_bCloseAfterBatch = false;
};
