// Which DOS devices are TrueCrypt or VeraCrypt volumes, and which drive letter
// such a volume's device carries (the character right after the prefix).
#include "cryptdrv/volume_id.h"
#include "base/paths.h"
#include "base/version.h"
#include "console/output.h"
#include <shlwapi.h>

// Parallel tables indexed by CryptVolumeType, each ended by a null entry.
const char* const cryptProductNames[3] = {"TrueCrypt", "VeraCrypt", 0};
const char* const cryptDriverPaths[3] = {"\\\\.\\TrueCrypt", "\\\\.\\VeraCrypt", 0};
const char* const cryptVolumeDevicePrefixes[3] = {"\\Device\\TrueCryptVolume",
                                                  "\\Device\\VeraCryptVolume", 0};
const char kCryptVolumeText[] = "CryptVolume";

static const char kVeraCryptDriverFile[] = "\\drivers\\veracrypt.sys";

CryptVolumeType GetCryptVolumeType(const char* targetPath)
{
    for (int type = 0; cryptVolumeDevicePrefixes[type]; type++)
        if (StrStrA(targetPath, cryptVolumeDevicePrefixes[type]))
            return type;
    return CryptNone;
}

int QueryLetterTarget(char letter, char* target)
{
    DriveTexts texts;
    MakeDriveTexts(letter, &texts);
    return QueryDosDeviceTarget(texts.dosDeviceName, target);
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
    if (!MakeSystemPath(kVeraCryptDriverFile, path))
        return 0;
    // A missing file, or one without version information, reads as 0.
    FileVersionRecord record;
    record.majorMinorCode = 0;
    DWORD error = 0;
    if (ReadFileVersion(path, &record, &error) == VersionLibraryMissing)
        ConsolePrintf("%s", QB_VERSION_LIBRARY_MISSING);
    return record.majorMinorCode;
}

char FindLetterLeadingTo(char deviceLetter)
{
    for (char letter = 'A'; letter <= 'Z'; letter++)
        if (GetCryptVolumeLetter(letter) == deviceLetter)
            return letter;
    return 0;
}

char FindReachLetter(char deviceLetter)
{
    if (GetCryptVolumeLetter(deviceLetter) == deviceLetter)
        return deviceLetter;
    char letter = FindLetterLeadingTo(deviceLetter);
    return letter ? letter : deviceLetter;
}
