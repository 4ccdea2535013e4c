// The default web browser: found in the registry, and started with an address.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

// Fills the empty string `path` with the program path of the browser registered for web
// addresses (the default value of HKEY_CLASSES_ROOT\http\shell\open\command, cut by
// ProgramPathOfCommand) and returns its text; empty when none is registered.
LPCWSTR GetDefaultBrowserPath(std::wstring& path);

// Starts the default browser's program with `address` as its one parameter. When no browser
// program is registered or it cannot be started, the address goes to the system's own handler
// for it instead. Everything goes through the seam; nothing is shown on failure.
void OpenWebAddress(const std::wstring& address);
