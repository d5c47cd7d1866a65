// The program's entry point and the few routines the compiler expects from a
// runtime library. Only the freestanding Quenbrax.exe links this file; test
// programs use the ordinary mingw runtime.
#include <windows.h>
#include "app/command_line.h"
#include "app/main_flow.h"
#include "app/startup.h"
#include "base/memory.h"
#include "base/system.h"
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
    RemoveCurrentDirFromDllSearch();
    RestrictDllSearchToSystem32();
    processHeap = GetProcessHeap();
    SetUnhandledExceptionFilter(CrashDumpFilter);

    int count = 0;
    char* arguments[kArgumentLimit + 1];
    // Not GetCommandLineA: its best-fit look-alikes can put quotes where the
    // user typed none.
    char* commandLine = ReadCommandLine();
    char* buffer = SplitCommandLine(commandLine, &count, arguments);
    int exitCode = MainFlow(count, arguments);
    MemFree(buffer);
    MemFree(commandLine);
    ExitProcess((UINT)exitCode);
}

}  // extern "C"
