// The drivers' lists of mounted volumes: the request, the three reply layouts
// and the look-ups built on them (container search, listing).
#include "cryptdrv/volume_id.h"
#include "base/memory.h"
#include "console/console_setup.h"
#include "console/output.h"
#include "cryptdrv/driver_call.h"
#include <shlwapi.h>

// Where the copied blocks lie in each reply layout; mountedDrives and
// volumePaths are at the same offsets in all three.
struct ReplyLayout {
    DWORD replyLength;
    DWORD volumeLengthsOffset;          // 208 bytes
    DWORD encryptionAlgorithmsOffset;   // 104 bytes
    DWORD volumeTypesOffset;            // 104 bytes
};
static const ReplyLayout kReplyLayouts[] = {
    {kTrueCryptReplyLength, 13528, 13736, 13840},
    {kVeraCryptOldReplyLength, 15240, 15448, 15552},
    {kVeraCryptReplyLength, 16904, 17112, 17216},
};
enum { kPathsLength = 4 + 26 * kVolumePathCount * 2 };   // mask and volumePaths

DWORD VeraCryptReplyLength(WORD driverVersion)
{
    return driverVersion < 0x0118 ? kVeraCryptOldReplyLength : kVeraCryptReplyLength;
}

DWORD VeraCryptLayoutLength(DWORD askedLength, DWORD returnedLength)
{
    if (returnedLength > askedLength)
        return askedLength;
    if (returnedLength == kVeraCryptOldReplyLength || returnedLength == kVeraCryptReplyLength)
        return returnedLength;
    return askedLength;
}

int ConvertMountListReply(const void* reply, DWORD replyLength, MountList* list)
{
    for (unsigned i = 0; i < sizeof kReplyLayouts / sizeof kReplyLayouts[0]; i++) {
        const ReplyLayout* layout = &kReplyLayouts[i];
        if (layout->replyLength != replyLength)
            continue;
        const BYTE* bytes = (const BYTE*)reply;
        MemFill(list, 0, sizeof *list);
        MemCopy(list, bytes, kPathsLength);
        MemCopy(list->volumeLengths, bytes + layout->volumeLengthsOffset,
                sizeof list->volumeLengths);
        MemCopy(list->encryptionAlgorithms, bytes + layout->encryptionAlgorithmsOffset,
                sizeof list->encryptionAlgorithms);
        MemCopy(list->volumeTypes, bytes + layout->volumeTypesOffset,
                sizeof list->volumeTypes);
        return 1;
    }
    return 0;
}

int ReadVolumePath(const MountList* list, int drive, WCHAR* path, int pathCount)
{
    if (pathCount <= 0)
        return 0;
    path[0] = 0;
    if (drive < 0 || drive > 25)
        return 0;
    // A driver may fill all 260 units without a terminating zero: the entry's
    // end is the path's end.
    const WCHAR* entry = list->volumePaths[drive];
    int entryCount = 0;
    while (entryCount < kVolumePathCount && entry[entryCount])
        entryCount++;
    // A file container is stored as \??\C:\...; the listing and the search use
    // the DOS path. The skip never passes the end of the path.
    int start = 0;
    if (entryCount > 1 && entry[1] == L'?')
        start = entryCount < 4 ? entryCount : 4;
    int count = 0;
    for (; start + count < entryCount && count < pathCount - 1; count++)
        path[count] = entry[start + count];
    path[count] = 0;
    return count;
}

void* QueryMountList(const char* driverPath, DWORD replyLength, DWORD* returnedLength)
{
    void* buffer = MemAlloc(replyLength);
    DriverRequest request = {driverPath, kMountListRequest, buffer, replyLength, replyLength};
    DWORD returned = 0;
    int result = CallDriver(&request, &returned);
    DWORD error = result == DriverCallAnswered ? 0 : GetLastError();
    if (result == DriverCallNotOpened)
        DebugLog(1, "mount list: %s not available (%u)", driverPath, error);
    else
        DebugLog(1, "mount list: %s asked with %u bytes, error %u, %u returned", driverPath,
                 replyLength, error, returned);
    // A list asked for before a stop is of no use after it: the run ends.
    if (result == DriverCallAnswered && IsStopRequested()) {
        result = DriverCallFailed;
        error = ERROR_CANCELLED;
    }
    if (result != DriverCallAnswered) {
        MemFree(buffer);
        SetLastError(error);
        return NULL;
    }
    *returnedLength = returned;
    return buffer;
}

// The driver file's version only tells which size to ask for first: a
// portable installation runs its driver from its own folder, and after an
// upgrade the file may be newer or older than the running driver. A driver
// accepts any buffer at least as large as its own structure and returns that
// structure's size, so a refusal for size is asked again with the larger
// layout, and the byte count returned picks the layout to read.
static MountList* GetVeraCryptMountList(void)
{
    const char* driverPath = cryptDriverPaths[CryptVeraCrypt];
    DWORD askedLength = VeraCryptReplyLength(GetVeraCryptDriverVersion());
    DWORD returned = 0;
    void* reply = QueryMountList(driverPath, askedLength, &returned);
    if (!reply && GetLastError() == ERROR_INSUFFICIENT_BUFFER &&
        askedLength < kVeraCryptReplyLength) {
        askedLength = kVeraCryptReplyLength;
        reply = QueryMountList(driverPath, askedLength, &returned);
    }
    if (!reply)
        return NULL;
    MountList* list = (MountList*)MemAlloc(sizeof(MountList));
    ConvertMountListReply(reply, VeraCryptLayoutLength(askedLength, returned), list);
    MemFree(reply);
    return list;
}

MountList* GetMountList(CryptVolumeType type)
{
    MountList* list = NULL;
    DWORD returned = 0;
    if (type == CryptTrueCrypt)
        list = (MountList*)QueryMountList(cryptDriverPaths[CryptTrueCrypt],
                                          kTrueCryptReplyLength, &returned);
    else if (type == CryptVeraCrypt)
        list = GetVeraCryptMountList();
    // Bits above Z name no drive; drop them so that no reader sees them.
    if (list)
        list->mountedDrives &= kDriveLetterMask;
    return list;
}

CryptVolumeType FindVolumeProduct(char deviceLetter)
{
    char reach = FindLetterLeadingTo(deviceLetter);
    char target[MAX_PATH];
    if (reach && QueryLetterTarget(reach, target))
        return GetCryptVolumeType(target);
    for (int type = CryptTrueCrypt; type <= CryptVeraCrypt; type++) {
        MountList* list = GetMountList(type);
        int listed = list && deviceLetter >= 'A' && deviceLetter <= 'Z' &&
                     (list->mountedDrives >> (deviceLetter - 'A')) & 1;
        MemFree(list);
        if (listed)
            return type;
    }
    return CryptNone;
}

char FindLetterByContainer(const WCHAR* wanted)
{
    if (!wanted || !wanted[0])
        return 0;   // an empty text matches no container

    char letter = 0;
    for (int type = CryptTrueCrypt; type <= CryptVeraCrypt && !letter; type++) {
        MountList* list = GetMountList(type);
        if (!list)
            continue;
        DWORD mask = list->mountedDrives;
        for (int drive = 0; drive < 26 && !letter; drive++) {
            if (!(mask & (1u << drive)))
                continue;
            WCHAR path[kVolumePathCount + 1];
            if (ReadVolumePath(list, drive, path, kVolumePathCount + 1) > 0 &&
                StrStrIW(path, wanted))
                letter = (char)('A' + drive);
        }
        MemFree(list);
    }
    return letter;
}

void ListMountedVolumes(void)
{
    for (int type = CryptTrueCrypt; type <= CryptVeraCrypt; type++) {
        MountList* list = GetMountList(type);
        if (!list)
            continue;
        DWORD mask = list->mountedDrives;
        NewLineIfNeeded();   // after "waiting for the driver..."
        if (mask)
            ConsolePrintf("%s Volumes:\n", cryptProductNames[type]);
        for (int drive = 0; drive < 26; drive++) {
            if (!(mask & (1u << drive)))
                continue;
            char letter = (char)('A' + drive);
            WCHAR path[kVolumePathCount + 1];
            ReadVolumePath(list, drive, path, kVolumePathCount + 1);

            char target[MAX_PATH];
            if (QueryLetterTarget(letter, target) && target[kCryptPrefixLength] == letter) {
                ConsolePrintf("%c:    %S\n", letter, path);
                continue;
            }
            // The drive letter was changed after mounting: find where it went.
            char moved = FindLetterLeadingTo(letter);
            if (moved)
                ConsolePrintf("%c:    %S   (original Letter was %c:)\n", moved, path,
                              letter);
        }
        MemFree(list);
    }
}
