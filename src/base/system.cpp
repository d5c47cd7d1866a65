#include "base/system.h"
#include "base/text.h"

char exePath[MAX_PATH];
OsVersionRecord osVersion;

int ProgramPathInCodePage(const WCHAR* modulePath, DWORD count, UINT codePage,
                          char* path)
{
    if (count > 0 && count < MAX_PATH && WideToAnsiExact(modulePath, codePage, path,
                                                         MAX_PATH))
        return 1;
    path[0] = 0;
    return 0;
}

void ReadExePath(void)
{
    WCHAR modulePath[MAX_PATH];
    DWORD count = GetModuleFileNameW(NULL, modulePath, MAX_PATH);
    ProgramPathInCodePage(modulePath, count, GetACP(), exePath);
}

char* ReadCommandLine(UINT codePage)
{
    return WideToAnsiReplacing(GetCommandLineW(), codePage);
}
