#include "app/drive_names.h"
#include "app/eject.h"
#include "base/text.h"
#include "cryptdrv/volume_id.h"
#include <shlwapi.h>

// A message naming a device's target path, cut to 200 bytes at a character
// boundary so that it fits the message buffer.
static void TargetMessage(DriveSpecTarget* target, const char* format)
{
    char shown[201];
    CopyText(shown, target->targetPath, sizeof shown);
    wsprintfA(target->message, format, shown);
}

static int ResolveVolumeName(DriveSpecTarget* target, const char* found)
{
    // "\\?\Volume" and the braces with the GUID, lower-cased: 48 characters.
    CopyText(target->volumePath, "\\\\?\\Volume", sizeof target->volumePath);
    CopyText(target->volumePath + 10, found + 6, 39);
    CharLowerA(target->volumePath + 11);
    if (!QueryDosDeviceTarget(target->volumePath + 4, target->targetPath)) {
        CopyText(target->message, "not a VolumeName\n", sizeof target->message);
        return ResolvedMessage;
    }
    if (GetCryptVolumeType(target->targetPath) == CryptNone) {
        TargetMessage(target, "%s is not a Crypt Volume\n");
        return ResolvedMessage;
    }
    target->letter = target->targetPath[kCryptPrefixLength];
    return ResolvedLetter;
}

// Zero-filled, so that it needs no initialised data: a null entry is the
// system's own call.
PathQueries pathQueries;

static DWORD PathAttributes(const char* path)
{
    return pathQueries.getFileAttributes ? pathQueries.getFileAttributes(path)
                                         : GetFileAttributesA(path);
}

static BOOL MountPointVolume(const char* mountPoint, char* volumeName, DWORD length)
{
    return pathQueries.getVolumeNameForVolumeMountPoint
               ? pathQueries.getVolumeNameForVolumeMountPoint(mountPoint, volumeName, length)
               : GetVolumeNameForVolumeMountPointA(mountPoint, volumeName, length);
}

// Only a folder can be a mount folder: a file that is a reparse point (a
// cloud placeholder, a deduplicated file, a symbolic link to a container) is
// still a container.
static int IsMountFolder(const char* path)
{
    DWORD attributes = PathAttributes(path);
    DWORD wanted = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & wanted) == wanted;
}

// A folder where a volume is mounted; any other path names a container.
static int ResolvePath(DriveSpecTarget* target, const char* typed)
{
    DWORD length = GetFullPathNameA(typed, MAX_PATH, target->fullPath, NULL);
    if (length == 0 || length >= MAX_PATH || !IsMountFolder(target->fullPath)) {
        CopyText(target->containerText, typed, sizeof target->containerText);
        return ResolvedContainer;
    }
    AppendCharIfMissing(target->fullPath, '\\');
    if (!MountPointVolume(target->fullPath, target->volumePath, MAX_PATH)) {
        CopyText(target->message, "not a Volume\n", sizeof target->message);
        return ResolvedMessage;
    }
    target->volumePath[MAX_PATH - 1] = 0;
    StripTrailingChar(target->volumePath, '\\');
    if (lstrlenA(target->volumePath) <= 4 ||
        !QueryDosDeviceTarget(target->volumePath + 4, target->targetPath)) {
        CopyText(target->message, "not a Volume\n", sizeof target->message);
        return ResolvedMessage;
    }
    if (GetCryptVolumeType(target->targetPath) == CryptNone) {
        CopyText(target->message, "not a Crypt Volume\n", sizeof target->message);
        return ResolvedMessage;
    }
    target->letter = target->targetPath[kCryptPrefixLength];
    return ResolvedLetter;
}

static int ResolveDriveLetter(DriveSpecTarget* target, char letter)
{
    MakeDriveTexts(letter, &target->drive);
    const char* dosDeviceName = target->drive.dosDeviceName;
    if (!QueryDosDeviceTarget(dosDeviceName, target->targetPath)) {
        // No link here, but a driver lists a volume at that drive: its letter
        // was removed, or it exists only in other sessions. The driver finds
        // it by its number; the eject then deletes the other sessions' links.
        if (FindVolumeProduct(letter) != CryptNone) {
            target->letter = letter;
            return ResolvedLetter;
        }
        // Not mounted: a link to either product's volume device of that
        // letter in another session is one left behind.
        if (DeleteOtherSessionLinks(dosDeviceName, letter, CryptNone))
            return ResolvedOtherSession;
        wsprintfA(target->message, "%s is not a Volume\n", dosDeviceName);
        return ResolvedMessage;
    }
    if (GetCryptVolumeType(target->targetPath) == CryptNone) {
        TargetMessage(target, "%s is not a True- or VeraCrypt Volume\n");
        return ResolvedMessage;
    }
    target->letter = target->targetPath[kCryptPrefixLength];
    return ResolvedLetter;
}

int ResolveDriveSpec(DriveSpecTarget* target, const char* typed)
{
    char upper[MAX_PATH];
    CopyText(upper, typed, sizeof upper);
    CharUpperA(upper);
    int length = lstrlenA(upper);

    const char* found = StrStrIA(upper, "Volume{");
    if (found && (found - upper) + 43 < length && found[43] == '}')
        return ResolveVolumeName(target, found);
    if (length > 3)
        return ResolvePath(target, typed);
    if (upper[0] >= 'A' && upper[0] <= 'Z' && (upper[1] == ':' || upper[1] == 0))
        return ResolveDriveLetter(target, upper[0]);
    target->containerText[0] = 0;
    return ResolvedContainer;
}
