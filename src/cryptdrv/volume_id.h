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
// The drive letter a crypt volume is reached by: the letter its device name
// carries, unless that link was moved after mounting; then the first letter
// that leads to the volume. A volume no letter leads to keeps its own.
char FindReachLetter(char deviceLetter);
int  IsCryptVolumeDrive(char letter);
WORD GetVeraCryptDriverVersion(void);
void* QueryMountList(const char* driverPath, DWORD size);
MountList* GetMountList(CryptVolumeType type);
char FindLetterByContainer(const char* text);
void ListMountedVolumes(void);

// Mount-list building blocks, free of driver and system calls.
enum {
    kMountListRequest = 0x222018,      // device 0x22, function 0x806, buffered
    kTrueCryptReplySize = 13944,       // the TrueCrypt layout is MountList itself
    kVeraCryptOldReplySize = 15760,    // VeraCrypt before 1.18
    kVeraCryptReplySize = 17424,       // VeraCrypt 1.18 and later
    kVolumePathUnits = 260,
    kDriveLetterMask = 0x03FFFFFF,     // bits 0 (A) to 25 (Z); higher bits mean nothing
};
// The reply size to ask the VeraCrypt driver for, by its file's majorMinorCode
// (0 when unreadable counts as older than 1.18).
DWORD VeraCryptReplySize(WORD driverVersion);
// Converts a driver reply of one of the three sizes into list (overwritten
// whole). Returns 1, or 0 for any other size (list untouched).
int  ConvertMountListReply(const void* reply, DWORD replySize, MountList* list);
// The drive bits of a list that name real drive letters.
DWORD MountedDriveMask(const MountList* list);
// Copies drive n's container path into path (pathUnits > 0), without the
// \??\ prefix of a file container, never reading past the entry's 260 units
// even when the driver left it unterminated; always terminated. Returns the
// length copied.
int  ReadVolumePath(const MountList* list, int drive, WCHAR* path, int pathUnits);
