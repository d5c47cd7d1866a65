#include "base/paths.h"
#include "base/memory.h"
#include "base/text.h"

void MakeDriveTexts(char letter, DriveTexts* texts)
{
    texts->dosDeviceName[0] = letter;
    texts->dosDeviceName[1] = ':';
    texts->dosDeviceName[2] = 0;
    texts->rootPath[0] = letter;
    texts->rootPath[1] = ':';
    texts->rootPath[2] = '\\';
    texts->rootPath[3] = 0;
}

int QueryDosDeviceTarget(const char* dosDeviceName, char* target)
{
    char reply[MAX_PATH];
    MemFill(reply, 0, sizeof reply);
    if (!QueryDosDeviceA(dosDeviceName, reply, MAX_PATH - 1))
        return 0;
    MemCopy(target, reply, sizeof reply);
    return 1;
}

int MakeSystemPath(const char* suffix, char* path)
{
    char built[MAX_PATH];
    UINT length = GetSystemDirectoryA(built, MAX_PATH);
    if (length == 0 || length + lstrlenA(suffix) >= MAX_PATH)
        return 0;
    CopyText(built + length, suffix, MAX_PATH - (int)length);
    CopyText(path, built, MAX_PATH);
    return 1;
}
