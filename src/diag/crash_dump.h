// The diagnostics folder (src/diag/): the crash-dump writer and the
// self-deletion of the program file (self_delete.h). It rests on src/base/
// and src/console/.
//
// This file: the unhandled-exception filter. It reports the exception and
// writes a minidump beside the program (or in the temporary directory), then
// lets the system end the process. dbghelp.dll comes from the import table
// (a test program renames importLibraryNames[LibraryDbghelp] to simulate its
// absence).
#pragma once
#include <windows.h>

LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS* exceptionPointers);

// The two places a dump may go, each a buffer of MAX_PATH characters:
// firstChoice is the program path with the extension ".dmp", secondChoice the
// temporary directory with "Plomvane.dmp". Without a usable program path the
// first choice is the second one; without a temporary directory the second
// choice is empty.
void ComposeDumpPaths(const char* programPath, char* firstChoice,
                      char* secondChoice);
