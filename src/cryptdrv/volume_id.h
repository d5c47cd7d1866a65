// The crypt-volume driver folder (src/cryptdrv/): which DOS devices are
// TrueCrypt or VeraCrypt volumes and which drive letter they carry, the
// drivers' lists of mounted volumes, and the single dismount request with its
// notices (dismount.h). It rests on src/base/ and src/console/.
//
// This file: volume identification and the mount lists in one common layout
// (MountList).
#pragma once
#include <windows.h>

typedef int CryptVolumeType;     // 0 TrueCrypt, 1 VeraCrypt, -1 none
enum { CryptNone = -1, CryptTrueCrypt = 0, CryptVeraCrypt = 1 };

extern const char* const cryptProductNames[3];
extern const char* const cryptDriverPaths[3];
extern const char* const cryptVolumeDevicePrefixes[3];
enum { kCryptPrefixLength = 23 };   // the drive letter follows the prefix
// What every crypt volume's device name contains, whichever the product.
extern const char kCryptVolumeText[];   // "CryptVolume"

enum { kVolumePathCount = 260 };   // UTF-16 units of one volumePaths entry

#pragma pack(push, 1)
struct MountList {
    DWORD mountedDrives;                    // bit n: drive A + n
    WCHAR volumePaths[26][kVolumePathCount];
    DWORD notRead;
    // Per drive, copied from the driver's reply and never read.
    ULONGLONG volumeLengths[26];            // bytes of each volume
    DWORD encryptionAlgorithms[26];         // the driver's algorithm ids
    DWORD volumeTypes[26];                  // the driver's volume types
};
#pragma pack(pop)
static_assert(sizeof(MountList) == 13944, "MountList layout");

CryptVolumeType GetCryptVolumeType(const char* targetPath);
// QueryDosDeviceTarget of the letter's "X:" (MAX_PATH bytes; index 23, where
// a crypt volume's device name has its letter, is always defined).
int  QueryLetterTarget(char letter, char* target);
const char* GetCryptProductName(char letter);
char GetCryptVolumeLetter(char letter);
// The first letter A to Z whose crypt volume carries deviceLetter in its
// device name; 0 when no letter leads to that volume.
char FindLetterLeadingTo(char deviceLetter);
// The drive letter a crypt volume is reached by: the letter its device name
// carries, unless that link was moved after mounting; then the first letter
// that leads to the volume. A volume no letter leads to keeps its own.
char FindReachLetter(char deviceLetter);
int  IsCryptVolumeDrive(char letter);
WORD GetVeraCryptDriverVersion(void);
// The driver's reply in a new block of replyLength bytes, *returnedLength the
// byte count the driver gave; null on failure (the last error says why).
void* QueryMountList(const char* driverPath, DWORD replyLength, DWORD* returnedLength);
// A driver's list with only the bits of A to Z in mountedDrives; null when
// there is none (no such driver, or no answer). A MemAlloc block.
MountList* GetMountList(CryptVolumeType type);
// The product whose driver has the volume of deviceLetter: the one that a
// letter's link to its device names, else the one whose mount list shows the
// drive (a volume without a link in this session: its letter was removed, or
// it exists only in another logon session); CryptNone when neither.
CryptVolumeType FindVolumeProduct(char deviceLetter);
// The first volume (TrueCrypt before VeraCrypt, A before Z) whose container
// path holds text, ignoring case; 0 for none or an empty text. UTF-16 like the
// drivers' paths, so that a name the ANSI code page cannot hold still matches.
char FindLetterByContainer(const WCHAR* text);
void ListMountedVolumes(void);

// Mount-list building blocks, free of driver and system calls.
enum {
    kMountListRequest = 0x222018,      // device 0x22, function 0x806, buffered
    kTrueCryptReplyLength = 13944,     // the TrueCrypt layout is MountList itself
    kVeraCryptOldReplyLength = 15760,  // VeraCrypt before 1.18
    kVeraCryptReplyLength = 17424,     // VeraCrypt 1.18 and later
    kDriveLetterMask = 0x03FFFFFF,     // bits 0 (A) to 25 (Z); higher bits mean nothing
};
// The reply length to ask the VeraCrypt driver for, by its file's
// majorMinorCode (0 when unreadable counts as older than 1.18).
DWORD VeraCryptReplyLength(WORD driverVersion);
// The VeraCrypt layout to read a reply in: the one whose size the driver
// returned, else (a count that fits no layout) the size that was asked for.
DWORD VeraCryptLayoutLength(DWORD askedLength, DWORD returnedLength);
// Converts a driver reply of one of the three lengths into list (overwritten
// whole). Returns 1, or 0 for any other length (list untouched).
int  ConvertMountListReply(const void* reply, DWORD replyLength, MountList* list);
// Copies drive n's container path into path (pathCount > 0 units), without
// the \??\ prefix of a file container, never reading past the entry's 260
// units even when the driver left it unterminated; always terminated.
// Returns the count of units copied.
int  ReadVolumePath(const MountList* list, int drive, WCHAR* path, int pathCount);
