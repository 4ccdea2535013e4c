#include "DllSearch.h"

#include <windows.h>

void RestrictDllSearchToSystem() {
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Loads that ask for the standard search order (LOAD_WITH_ALTERED_SEARCH_PATH) skip the
    // default directories: an empty DLL directory takes the current folder out of that order.
    ::SetDllDirectoryW(L"");
    ::SetSearchPathMode(BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE | BASE_SEARCH_PATH_PERMANENT);
}
