// Facts of the running system and program, read once at start-up by the main
// flow (before any other thread exists) and read-only afterwards.
#pragma once
#include <windows.h>
#include "base/version.h"

// The program's path; empty when unknown or longer than 259 characters (a
// path cut short would name another file).
extern char exePath[MAX_PATH];
extern OsVersionRecord osVersion;

void ReadExePath(void);   // fills exePath
