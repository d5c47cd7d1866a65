// Test program for the crash filter: sets up as the program's entry does,
// then faults with an access violation.
//   crash_probe [missing-helper] [unknown-path]
// missing-helper names a dump helper library that does not exist;
// unknown-path crashes before the program path is stored.
#include <windows.h>
#include <string.h>
#include "diag/crash_dump.h"
#include "app/startup.h"
#include "base/imports.h"
#include "base/memory.h"
#include "base/system.h"

int main(int argc, char** argv)
{
    processHeap = GetProcessHeap();
    RemoveCurrentDirFromDllSearch();
    RestrictDllSearchToSystem32();
    bool knowPath = true;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "missing-helper") == 0)
            importLibraryNames[LibraryDbghelp] = "qb_missing_dump_helper.dll";
        else if (strcmp(argv[i], "unknown-path") == 0)
            knowPath = false;
    }
    if (knowPath)
        GetModuleFileNameA(NULL, exePath, MAX_PATH);
    SetUnhandledExceptionFilter(CrashDumpFilter);

    volatile int* volatile target = nullptr;
    *target = 1;
    return 0;
}
