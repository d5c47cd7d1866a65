// Process-wide option flags and run values. MainFlow writes them while the
// options are read, before any other thread exists; they are read-only after.
#pragma once
#include <windows.h>
#include "diag/version_info.h"

extern DWORD optForce, optLoop, optShowHandles, optActivateWindows, optNoAbout,
             optSelfDelete, optDebug, optHandlesV;
extern char exePath[MAX_PATH];
extern FileVersionRecord ownFileVersion;
extern OsVersionRecord osVersion;

enum OptionResult {
    OptionRead = 0,       // an option (known or ignored) was read
    OptionHelp = 1,       // -?: banner, usage, exit code 2
    OptionNotAnOption = 2 // does not start with - or /: usage, exit code 5
};

// Reads one argument after the DriveSpec; may set *waitMs (-w:nnnn, -n:nnnn).
int ReadOption(const char* argument, int* waitMs);
