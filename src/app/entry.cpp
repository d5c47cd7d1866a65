// The program's entry point and the few routines the compiler expects from a
// runtime library. Only the freestanding Quenbrax.exe links this file; test
// programs use the ordinary mingw runtime.
#include <windows.h>
#include "app/command_line.h"
#include "app/main_flow.h"
#include "app/startup.h"
#include "base/memory.h"
#include "diag/crash_dump.h"

extern "C" {

// GCC emits calls to these for structure copies and zero-filling. They are
// built with -fno-tree-loop-distribute-patterns so the loops stay loops.
void* memset(void* block, int value, size_t count)
{
    unsigned char* p = (unsigned char*)block;
    while (count--)
        *p++ = (unsigned char)value;
    return block;
}

void* memcpy(void* destination, const void* source, size_t count)
{
    unsigned char* d = (unsigned char*)destination;
    const unsigned char* s = (const unsigned char*)source;
    while (count--)
        *d++ = *s++;
    return destination;
}

void* memmove(void* destination, const void* source, size_t count)
{
    unsigned char* d = (unsigned char*)destination;
    const unsigned char* s = (const unsigned char*)source;
    if (d < s) {
        while (count--)
            *d++ = *s++;
    } else {
        while (count--)
            d[count] = s[count];
    }
    return destination;
}

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
    char* buffer = SplitCommandLine(GetCommandLineA(), &count, arguments);
    int exitCode = MainFlow(count, arguments);
    MemFree(buffer);
    ExitProcess((UINT)exitCode);
}

}  // extern "C"
