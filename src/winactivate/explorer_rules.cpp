// Which File Explorer windows show the volume, over any list of folder windows.
#include "winactivate/explorer_windows.h"
#include "base/imports.h"
#include "base/memory.h"

VolumeFolders* NewVolumeFolders(const char* driveRoot, const char* volumeName)
{
    VolumeFolders* folders = (VolumeFolders*)MemAlloc(sizeof(VolumeFolders));
    WCHAR* root = folders->paths[0];
    root[0] = (BYTE)driveRoot[0];
    root[1] = ':';
    root[2] = '\\';
    folders->count = 1;
    // Every path that reaches the volume (drive letters and mount folders),
    // each terminated, the list ended by an empty one.
    enum { kNameListCount = 2048 };
    WCHAR* names = (WCHAR*)MemAlloc(kNameListCount * sizeof(WCHAR));
    WCHAR* volume = names + kNameListCount - MAX_PATH;
    DWORD needed = 0;
    GetVolumePathNamesForVolumeNameWFn listPaths =
        (GetVolumePathNamesForVolumeNameWFn)GetImport(ImportGetVolumePathNamesForVolumeNameW);
    if (listPaths && volumeName[0] &&
        MultiByteToWideChar(CP_ACP, 0, volumeName, -1, volume, MAX_PATH) &&
        listPaths(volume, names, kNameListCount - MAX_PATH, &needed)) {
        for (WCHAR* name = names; *name && folders->count < kVolumeFolderLimit;
             name += lstrlenW(name) + 1) {
            // Each ends in a backslash; the drive root comes again, which
            // does no harm.
            int length = lstrlenW(name);
            if (length < MAX_PATH)
                MemCopy(folders->paths[folders->count++], name, (length + 1) * sizeof(WCHAR));
        }
    }
    MemFree(names);
    return folders;
}

static int IsFolderOnVolume(const WCHAR* path, const VolumeFolders* folders)
{
    int pathLength = lstrlenW(path);
    for (int f = 0; f < folders->count; f++) {
        // The folder without its closing backslash, then the end of the path
        // or a separator: whole components only.
        int length = lstrlenW(folders->paths[f]) - 1;
        if (length > 0 && pathLength >= length &&
            CompareStringOrdinal(path, length, folders->paths[f], length, TRUE) == CSTR_EQUAL &&
            (path[length] == 0 || path[length] == '\\'))
            return 1;
    }
    return 0;
}

int WalkVolumeWindows(const ShellWindowSource* source, const VolumeFolders* folders,
                      DWORD processId, int closeAll, HWND* windows)
{
    ShellFolderWindow item;
    int count = source->count(source->context);
    int found = 0;
    for (int n = 0; n < count && (closeAll || !found); n++) {
        int index = closeAll ? count - 1 - n : n;
        if (!source->read(source->context, index, &item) || !IsFolderOnVolume(item.path, folders))
            continue;
        if (closeAll ? !source->quit(source->context)
                     : processId != 0 && item.processId != processId)
            continue;
        if (found < kClosedWindowLimit)
            windows[found] = item.window;
        found++;
    }
    return found;
}

int FormatClosedLine(char* text, int closedCount, const char* dosDeviceName)
{
    text[0] = 0;
    if (closedCount <= 0)
        return 0;
    return wsprintfA(text, "closed %d File Explorer window(s) on %.2s", closedCount,
                     dosDeviceName);
}
