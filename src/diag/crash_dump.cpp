// The process-wide unhandled-exception filter. It runs on the faulting thread,
// takes no lock, reports through DebugLog and never recovers: it always hands
// the exception on to the system's default handling.
#include "diag/crash_dump.h"
#include "base/imports.h"
#include "base/maker.h"
#include "base/system.h"
#include "base/text.h"
#include "console/console_setup.h"
#include "console/output.h"
#include <dbghelp.h>
#include <shlwapi.h>

// The type of the import table's ImportMiniDumpWriteDump (its argument types
// come from dbghelp.h, which only this file needs).
typedef BOOL (WINAPI* MiniDumpWriteDumpFn)(
    HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
    PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

static const char kTempDumpName[] = "Plomvane.dmp";

void ComposeDumpPaths(const char* programPath, char* firstChoice,
                      char* secondChoice)
{
    secondChoice[0] = 0;
    char temp[MAX_PATH];
    DWORD length = GetTempPathA(MAX_PATH, temp);
    if (length > 0 && length + sizeof kTempDumpName <= MAX_PATH) {
        CopyText(secondChoice, temp, MAX_PATH);
        CopyText(secondChoice + length, kTempDumpName, MAX_PATH - (int)length);
    }

    // Before the program path is known (or when ".dmp" does not fit) the
    // first choice would be a bare ".dmp" in whatever the current directory
    // is; the temporary directory is the better place then.
    CopyText(firstChoice, programPath, MAX_PATH);
    if (firstChoice[0] == 0 || !PathRenameExtensionA(firstChoice, ".dmp"))
        CopyText(firstChoice, secondChoice, MAX_PATH);
}

static HANDLE CreateDumpFile(const char* path)
{
    if (path[0] == 0)
        return INVALID_HANDLE_VALUE;
    return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, NULL,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

static void WriteDump(EXCEPTION_POINTERS* exceptionPointers)
{
    char firstChoice[MAX_PATH];
    char secondChoice[MAX_PATH];
    ComposeDumpPaths(exePath, firstChoice, secondChoice);

    const EXCEPTION_RECORD* record = exceptionPointers->ExceptionRecord;
    DebugLog(0, "Exception 0x%08X at 0x%p!", record->ExceptionCode,
             record->ExceptionAddress);

    if (!GetImportLibrary(LibraryDbghelp)) {
        DebugLog(0, "\ncannot load dbghelp.dll -> no crashdump\n");
        return;
    }
    MiniDumpWriteDumpFn miniDumpWriteDump =
        (MiniDumpWriteDumpFn)GetImport(ImportMiniDumpWriteDump);
    if (!miniDumpWriteDump) {
        DebugLog(1, "\nerror: dbghelp.dll too old");
        return;
    }

    const char* dumpPath = firstChoice;
    HANDLE file = CreateDumpFile(firstChoice);
    if (file == INVALID_HANDLE_VALUE && lstrcmpiA(firstChoice, secondChoice) != 0) {
        dumpPath = secondChoice;
        file = CreateDumpFile(secondChoice);
    }
    if (file == INVALID_HANDLE_VALUE)
        return;

    MINIDUMP_EXCEPTION_INFORMATION exceptionInfo;
    exceptionInfo.ThreadId = GetCurrentThreadId();
    exceptionInfo.ExceptionPointers = exceptionPointers;
    exceptionInfo.ClientPointers = TRUE;
    if (miniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file,
                          MiniDumpNormal, &exceptionInfo, NULL, NULL))
        DebugLog(0, "MiniDump written to %s\nplease send it to " QB_SUPPORT_EMAIL,
                 dumpPath);
    else
        DebugLog(0, "writing MiniDump failed with err=0x%X", GetLastError());
    CloseHandle(file);
}

LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS* exceptionPointers)
{
    // The process ends here too: the console gets back the input mode it had.
    RestoreFoundInputMode();
    WriteDump(exceptionPointers);
    DebugLog(0, "\n");
    Sleep(100);
    return EXCEPTION_CONTINUE_SEARCH;
}
