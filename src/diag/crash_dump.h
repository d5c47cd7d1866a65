// Unhandled-exception filter: reports the exception and writes a minidump
// beside the program (or in the temporary directory), then lets the system end
// the process.
#pragma once
#include <windows.h>

LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS* exceptionPointers);
