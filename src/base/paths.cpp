#include "base/paths.h"
#include "base/memory.h"
#include "base/text.h"
#include <shlwapi.h>

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

int GetPathKind(const char* path)
{
    SetLastError(0);
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return 0;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 2 : 1;
}

int IsReparsePointPath(const char* path)
{
    if (!path || !*path)
        return 0;
    WCHAR wide[520];
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, 520) <= 0)
        return 0;
    wide[519] = 0;
    PathUnquoteSpacesW(wide);
    DWORD attributes = GetFileAttributesW(wide);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
