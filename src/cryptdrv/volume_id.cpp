// Which DOS devices are TrueCrypt or VeraCrypt volumes, and which drive letter
// such a volume's device carries (the character right after the prefix).
#include "cryptdrv/volume_id.h"
#include "diag/version_info.h"
#include "frame/text_util.h"
#include <shlwapi.h>

// Parallel tables indexed by CryptVolumeType, each ended by a null entry.
const char* const cryptProductNames[3] = {"TrueCrypt", "VeraCrypt", 0};
const char* const cryptDriverPaths[3] = {"\\\\.\\TrueCrypt", "\\\\.\\VeraCrypt", 0};
const char* const cryptVolumeDevicePrefixes[3] = {"\\Device\\TrueCryptVolume",
                                                  "\\Device\\VeraCryptVolume", 0};

static const char kVeraCryptDriverFile[] = "\\drivers\\veracrypt.sys";

CryptVolumeType GetCryptVolumeType(const char* targetPath)
{
    for (int type = 0; cryptVolumeDevicePrefixes[type]; type++)
        if (StrStrA(targetPath, cryptVolumeDevicePrefixes[type]))
            return type;
    return CryptNone;
}

// The target path of "X:", zero-filled so that index 23 is always defined.
static int QueryLetterTarget(char letter, char* target)
{
    char dosName[3] = {letter, ':', 0};
    MemFill(target, 0, MAX_PATH);
    return QueryDosDeviceA(dosName, target, MAX_PATH - 1) != 0;
}

const char* GetCryptProductName(char letter)
{
    char target[MAX_PATH];
    if (!QueryLetterTarget(letter, target))
        return "???";
    CryptVolumeType type = GetCryptVolumeType(target);
    return type == CryptNone ? "???" : cryptProductNames[type];
}

char GetCryptVolumeLetter(char letter)
{
    char target[MAX_PATH];
    if (!QueryLetterTarget(letter, target))
        return 0;
    // Only a device named by the prefix itself counts, not one merely containing it.
    for (int type = 0; cryptVolumeDevicePrefixes[type]; type++)
        if (StrStrA(target, cryptVolumeDevicePrefixes[type]) == target)
            return target[kCryptPrefixLength];
    return 0;
}

int IsCryptVolumeDrive(char letter)
{
    return GetCryptVolumeLetter(letter) != 0;
}

WORD GetVeraCryptDriverVersion(void)
{
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 0;
    CopyText(path + length, kVeraCryptDriverFile, MAX_PATH - (int)length);
    FileVersionRecord record;
    MemFill(&record, 0, sizeof record);
    ReadFileVersion(path, &record);   // a missing file leaves the record cleared
    return record.majorMinorCode;
}

char FindReachLetter(char deviceLetter)
{
    if (GetCryptVolumeLetter(deviceLetter) == deviceLetter)
        return deviceLetter;
    for (char letter = 'A'; letter <= 'Z'; letter++)
        if (GetCryptVolumeLetter(letter) == deviceLetter)
            return letter;
    return deviceLetter;
}
