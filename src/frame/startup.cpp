#include "frame/startup.h"
#include <windows.h>

typedef BOOL(WINAPI* SetDllDirectoryAFn)(LPCSTR);
typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD);

void RemoveCurrentDirFromDllSearch(void)
{
    SetDllDirectoryAFn setDllDirectory = (SetDllDirectoryAFn)(void*)GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "SetDllDirectoryA");
    if (setDllDirectory)
        setDllDirectory("");
}

void RestrictDllSearchToSystem32(void)
{
    SetDefaultDllDirectoriesFn setDefault =
        (SetDefaultDllDirectoriesFn)(void*)GetProcAddress(
            GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
    if (setDefault)
        setDefault(0x800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */);
}
