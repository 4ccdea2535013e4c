// Owners for the Win32 handles the layer and the program hold.
#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

struct ModuleFreer {
    void operator()(HMODULE module) const { ::FreeLibrary(module); }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer>;

// A menu that is not (yet) attached to a window. A window destroys its menu itself, also when
// it dies inside its own creation: the owner checks that the menu still exists.
struct MenuDestroyer {
    void operator()(HMENU menu) const {
        if (::IsMenu(menu))
            ::DestroyMenu(menu);
    }
};
using UniqueMenu = std::unique_ptr<std::remove_pointer_t<HMENU>, MenuDestroyer>;

// Memory from the shell or COM's task allocator (item id lists, strings).
struct CoTaskMemFreer {
    void operator()(void* memory) const { ::CoTaskMemFree(memory); }
};
template <class T> using UniqueCoTaskMem = std::unique_ptr<T, CoTaskMemFreer>;

// An open registry key.
struct RegKeyCloser {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using UniqueRegKey = std::unique_ptr<std::remove_pointer_t<HKEY>, RegKeyCloser>;

// Memory from LocalAlloc, as some system functions return it (CommandLineToArgvW).
struct LocalFreer {
    void operator()(void* memory) const { ::LocalFree(memory); }
};
template <class T> using UniqueLocalMem = std::unique_ptr<T, LocalFreer>;
