// What the windows ask of the program around them: the step switches of the main frame, the
// web site, and path completion for edits. The application implements it; the windows never
// reach for the application itself.
#pragma once

#include "AfxWin.h"

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
};
