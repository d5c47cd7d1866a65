// The program's entry point. Only the freestanding Quenbrax.exe links this
// file (with base/runtime.cpp); test programs use the ordinary mingw runtime.
#include <windows.h>
#include "app/command_line.h"
#include "app/main_flow.h"
#include "app/startup.h"
#include "base/memory.h"
#include "base/system.h"
#include "diag/crash_dump.h"

extern "C" {

void __attribute__((noreturn)) ProgramEntry(void)
{
    // Before any library is loaded: a missing or damaged system DLL, or a
    // drive without media, fails its call instead of showing a dialog box
    // that a script cannot answer.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    RemoveCurrentDirFromDllSearch();
    RestrictDllSearchToSystem32();
    processHeap = GetProcessHeap();
    allocFailureHandler = EndOutOfMemory;
    SetUnhandledExceptionFilter(CrashDumpFilter);

    int count = 0;
    char* arguments[kArgumentLimit + 1];
    // Not GetCommandLineA: its best-fit look-alikes can put quotes where the
    // user typed none.
    char* commandLine = ReadCommandLine(GetACP());
    char* buffer = SplitCommandLine(commandLine, &count, arguments);
    // The DriveSpec once more in UTF-8, which keeps every character that the
    // ANSI code page turned into '?': a container is found by its own name.
    int wholeCount = 0;
    char* wholeArguments[kArgumentLimit + 1];
    char* wholeLine = ReadCommandLine(CP_UTF8);
    char* wholeBuffer = SplitCommandLine(wholeLine, &wholeCount, wholeArguments);
    int exitCode = MainFlow(count, arguments, wholeCount > 1 ? wholeArguments[1] : "");
    MemFree(wholeBuffer);
    MemFree(wholeLine);
    MemFree(buffer);
    MemFree(commandLine);
    ExitProcess((UINT)exitCode);
}

}  // extern "C"
