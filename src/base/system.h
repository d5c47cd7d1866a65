// Facts of the running system and program, read once at start-up by the main
// flow (before any other thread exists) and read-only afterwards.
#pragma once
#include <windows.h>
#include "base/version.h"

// The program's path in the ANSI code page; empty when unknown, longer than
// 259 characters (a path cut short would name another file) or not exactly
// expressible in that code page (a look-alike would name another file too).
extern char exePath[MAX_PATH];
extern OsVersionRecord osVersion;

void ReadExePath(void);   // fills exePath
// The decision behind exePath: a module path of count units (as
// GetModuleFileNameW gives it) in codePage into path (MAX_PATH bytes);
// returns 1, or 0 with path empty when the program's path is unknown.
int ProgramPathInCodePage(const WCHAR* modulePath, DWORD count, UINT codePage,
                          char* path);
// The command line in codePage, each character without a counterpart there
// as '?', so it splits as the UTF-16 text does. A MemAlloc text. In UTF-8 it
// holds every character of the UTF-16 text.
char* ReadCommandLine(UINT codePage);
