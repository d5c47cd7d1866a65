// Recognises TrueCrypt and VeraCrypt volume devices and reads the drivers'
// lists of mounted volumes into one common layout (MountList).
#pragma once
#include <windows.h>

typedef int CryptVolumeType;     // 0 TrueCrypt, 1 VeraCrypt, -1 none
enum { CryptNone = -1, CryptTrueCrypt = 0, CryptVeraCrypt = 1 };

extern const char* const cryptProductNames[3];
extern const char* const cryptDriverPaths[3];
extern const char* const cryptVolumeDevicePrefixes[3];
enum { kCryptPrefixLength = 23 };   // the drive letter follows the prefix

#pragma pack(push, 1)
struct MountList {
    DWORD mountedDrives;              // bit n: drive A + n
    WCHAR volumePaths[26][260];
    DWORD notRead;
    ULONGLONG lengths[26];
    DWORD valuesA[26];
    DWORD valuesB[26];
};
#pragma pack(pop)
static_assert(sizeof(MountList) == 13944, "MountList layout");

CryptVolumeType GetCryptVolumeType(const char* targetPath);
const char* GetCryptProductName(char letter);
char GetCryptVolumeLetter(char letter);
int  IsCryptVolumeDrive(char letter);
WORD GetVeraCryptDriverVersion(void);
void* QueryMountList(const char* driverPath, DWORD size);
MountList* GetMountList(CryptVolumeType type);
char FindLetterByContainer(const char* text);
void ListMountedVolumes(void);
