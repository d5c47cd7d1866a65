// Unhandled-exception filter: reports the exception and writes a minidump
// beside the program (or in the temporary directory), then lets the system end
// the process.
#pragma once
#include <windows.h>

LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS* exceptionPointers);

// File name of the dump helper library, loaded from the system directory.
// Written only by test programs (to name a library that does not exist).
extern const char* crashDumpHelperLibrary;

// The two places a dump may go, each a buffer of MAX_PATH characters:
// firstChoice is the program path with the extension ".dmp", secondChoice the
// temporary directory with "Plomvane.dmp". Without a usable program path the
// first choice is the second one; without a temporary directory the second
// choice is empty.
void ComposeDumpPaths(const char* programPath, char* firstChoice,
                      char* secondChoice);
