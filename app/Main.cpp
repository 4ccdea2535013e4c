// Quorvane's entry: the one application object and the framework's entry.
#include "DllSearch.h"
#include "MainApp.h"
#include "TextConvert.h"

#include <exception>

CMainApp theApp;

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow) {
    RestrictDllSearchToSystem();
    try {
        return AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow);
    } catch (const std::exception& error) {
        // A fault no window could handle: say what it was before the program ends.
        AfxMessageBox(ToWide(Utf8ToUtf16Lossy(error.what())), MB_OK | MB_ICONERROR);
        return 1;
    }
}
