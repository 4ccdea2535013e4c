// What the windows ask of the program around them: the step switches of the main frame, the
// web site, and path completion for edits. The application implements it; the windows never
// reach for the application itself.
#pragma once

#include "AfxWin.h"

// A batch that runs while the main window stays open.
class IBatchControl {
public:
    virtual ~IBatchControl() = default;
    // The user closes the main window during the batch: true when the batch is stopping and
    // the program is to close once it is over.
    virtual bool StopForClose() = 0;
    // The batch's own window, kept above the main window while the batch runs; null when none.
    virtual HWND BatchWindow() = 0;
};

class IWizardHost {
public:
    virtual ~IWizardHost() = default;

    // Each shows a new step of its kind in the main frame; false when it could not be shown
    // (the current step then stays).
    virtual bool ShowHomeStep() = 0;
    virtual bool ShowAddSignatureStep() = 0;
    virtual bool ShowCheckSignatureStep() = 0;
    // The maker's web site in the default browser.
    virtual void OpenWebSite() = 0;
    // Lets the edit `hEdit` suggest file-system paths while the user types, where the system
    // offers that.
    virtual void AutoCompletePaths(HWND hEdit) = 0;
    // From here to EndBatch the current step and the menu take no input, and closing the main
    // window asks `batch` first.
    virtual void BeginBatch(IBatchControl& batch) = 0;
    // Gives the input back. True when the main window was closed during the batch and closes
    // now: the step must not move on.
    virtual bool EndBatch() = 0;
};
