// The drivers' lists of mounted volumes: the request, the three reply layouts
// and the look-ups built on them (container search, listing).
#include "cryptdrv/volume_id.h"
#include "frame/memory.h"
#include "frame/text_util.h"
#include "console/output.h"
#include <shlwapi.h>

// Where the copied blocks lie in each reply layout; mountedDrives and
// volumePaths are at the same offsets in all three.
struct ReplyLayout {
    DWORD size;
    DWORD lengthsOffset;   // 208 bytes
    DWORD valuesAOffset;   // 104 bytes
    DWORD valuesBOffset;   // 104 bytes
};
static const ReplyLayout kReplyLayouts[] = {
    {kTrueCryptReplySize, 13528, 13736, 13840},
    {kVeraCryptOldReplySize, 15240, 15448, 15552},
    {kVeraCryptReplySize, 16904, 17112, 17216},
};
enum { kPathsBytes = 4 + 26 * kVolumePathUnits * 2 };   // mask and volumePaths

DWORD VeraCryptReplySize(WORD driverVersion)
{
    return driverVersion < 0x0118 ? kVeraCryptOldReplySize : kVeraCryptReplySize;
}

int ConvertMountListReply(const void* reply, DWORD replySize, MountList* list)
{
    for (unsigned i = 0; i < sizeof kReplyLayouts / sizeof kReplyLayouts[0]; i++) {
        const ReplyLayout* layout = &kReplyLayouts[i];
        if (layout->size != replySize)
            continue;
        const BYTE* bytes = (const BYTE*)reply;
        MemFill(list, 0, sizeof *list);
        MemCopy(list, bytes, kPathsBytes);
        MemCopy(list->lengths, bytes + layout->lengthsOffset, sizeof list->lengths);
        MemCopy(list->valuesA, bytes + layout->valuesAOffset, sizeof list->valuesA);
        MemCopy(list->valuesB, bytes + layout->valuesBOffset, sizeof list->valuesB);
        return 1;
    }
    return 0;
}

DWORD MountedDriveMask(const MountList* list)
{
    return list->mountedDrives & kDriveLetterMask;
}

int ReadVolumePath(const MountList* list, int drive, WCHAR* path, int pathUnits)
{
    if (pathUnits <= 0)
        return 0;
    path[0] = 0;
    if (drive < 0 || drive > 25)
        return 0;
    // A driver may fill all 260 units without a terminating zero: the entry's
    // end is the path's end.
    const WCHAR* entry = list->volumePaths[drive];
    int entryLength = 0;
    while (entryLength < kVolumePathUnits && entry[entryLength])
        entryLength++;
    // A file container is stored as \??\C:\...; the listing and the search use
    // the DOS path. The skip never passes the end of the path.
    int start = 0;
    if (entryLength > 1 && entry[1] == L'?')
        start = entryLength < 4 ? entryLength : 4;
    int length = 0;
    for (; start + length < entryLength && length < pathUnits - 1; length++)
        path[length] = entry[start + length];
    path[length] = 0;
    return length;
}

void* QueryMountList(const char* driverPath, DWORD size)
{
    HANDLE device = CreateFileA(driverPath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                NULL, OPEN_EXISTING, 0, NULL);
    if (!IsValidHandle(device)) {
        DebugLog(1, "mount list: %s not available (%u)", driverPath, GetLastError());
        return NULL;
    }
    void* buffer = MemAlloc(size);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device, kMountListRequest, buffer, size, buffer, size,
                              &returned, NULL);
    DWORD error = ok ? 0 : GetLastError();
    CloseHandle(device);
    DebugLog(1, "mount list: %s asked with %u bytes, error %u", driverPath, size, error);
    if (!ok) {
        MemFree(buffer);
        return NULL;
    }
    return buffer;
}

MountList* GetMountList(CryptVolumeType type)
{
    MountList* list = NULL;
    if (type == CryptTrueCrypt) {
        list = (MountList*)QueryMountList(cryptDriverPaths[CryptTrueCrypt],
                                          kTrueCryptReplySize);
    } else if (type == CryptVeraCrypt) {
        DWORD size = VeraCryptReplySize(GetVeraCryptDriverVersion());
        void* reply = QueryMountList(cryptDriverPaths[CryptVeraCrypt], size);
        if (!reply)
            return NULL;
        list = (MountList*)MemAlloc(sizeof(MountList));
        ConvertMountListReply(reply, size, list);
        MemFree(reply);
    }
    // Bits above Z name no drive; drop them so that no reader sees them.
    if (list)
        list->mountedDrives &= kDriveLetterMask;
    return list;
}

char FindLetterByContainer(const char* text)
{
    WCHAR wanted[kVolumePathUnits];
    if (!text || !text[0])
        return 0;   // an empty text matches no container
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wanted, kVolumePathUnits) <= 0)
        return 0;
    wanted[kVolumePathUnits - 1] = 0;

    char letter = 0;
    for (int type = CryptTrueCrypt; type <= CryptVeraCrypt && !letter; type++) {
        MountList* list = GetMountList(type);
        if (!list)
            continue;
        DWORD mask = MountedDriveMask(list);
        for (int drive = 0; drive < 26 && !letter; drive++) {
            if (!(mask & (1u << drive)))
                continue;
            WCHAR path[kVolumePathUnits + 1];
            if (ReadVolumePath(list, drive, path, kVolumePathUnits + 1) > 0 &&
                StrStrIW(path, wanted))
                letter = (char)('A' + drive);
        }
        MemFree(list);
    }
    return letter;
}

// The letter now leading to the volume mounted as original, or 0.
static char FindMovedLetter(char original)
{
    for (char letter = 'A'; letter <= 'Z'; letter++)
        if (GetCryptVolumeLetter(letter) == original)
            return letter;
    return 0;
}

void ListMountedVolumes(void)
{
    for (int type = CryptTrueCrypt; type <= CryptVeraCrypt; type++) {
        MountList* list = GetMountList(type);
        if (!list)
            continue;
        DWORD mask = MountedDriveMask(list);
        if (mask)
            ConsolePrintf("%s Volumes:\n", cryptProductNames[type]);
        for (int drive = 0; drive < 26; drive++) {
            if (!(mask & (1u << drive)))
                continue;
            char letter = (char)('A' + drive);
            WCHAR path[kVolumePathUnits + 1];
            ReadVolumePath(list, drive, path, kVolumePathUnits + 1);

            WCHAR dosName[3] = {(WCHAR)letter, L':', 0};
            WCHAR target[MAX_PATH];
            MemFill(target, 0, sizeof target);
            if (QueryDosDeviceW(dosName, target, MAX_PATH - 1) &&
                target[kCryptPrefixLength] == (WCHAR)letter) {
                ConsolePrintf("%c:    %S\n", letter, path);
                continue;
            }
            // The drive letter was changed after mounting: find where it went.
            char moved = FindMovedLetter(letter);
            if (moved)
                ConsolePrintf("%c:    %S   (original Letter was %c:)\n", moved, path,
                              letter);
        }
        MemFree(list);
    }
}
