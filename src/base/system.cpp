#include "base/system.h"

char exePath[MAX_PATH];
OsVersionRecord osVersion;

void ReadExePath(void)
{
    DWORD length = GetModuleFileNameA(NULL, exePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        exePath[0] = 0;
}
