// Windows' own DLLs only, for Quorvane.exe and quorvane-cli.exe alike.
#pragma once

// A DLL named without a path is then looked for in System32 alone: never beside the program (a
// downloads folder) nor in the current folder (the folder of a file opened from Explorer), where
// anyone may have put one of that name; SearchPath looks in the current folder last. Call it
// first thing in the program, before anything loads a DLL.
void RestrictDllSearchToSystem();
