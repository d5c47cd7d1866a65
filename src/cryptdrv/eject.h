// The dismount request and the eject escalation: first try, report of open
// handles (-h), second try, third try (forced with -f), retry loop (-l).
// After a dismount: the drive letter's link is removed, the shell and all
// top-level windows are told, and links in other logon sessions are deleted.
#pragma once
#include <windows.h>

enum EjectOutcome {
    EjectNotDismounted = 0,
    EjectDismounted = 1,
    EjectDismountedByForce = 2,
    EjectVolumeGone = 3,
    EjectFilesOpen = 4,
    EjectDriveNotFound = 5,
};

// Driver result codes that change the course of the eject.
enum DriverResult { DriverSuccess = 0, DriverDriveNotFound = 5, DriverFilesOpen = 6 };

// Device I/O control code of the dismount (device type 0x22, function 0x804,
// buffered, any access); the DismountBlock is its input and its output.
enum { kDismountRequestCode = 0x222010 };

struct DismountBlock {
    LONG  driveNumber;       // 0 for A to 25 for Z
    DWORD ignoreOpenFiles;   // 1 in the forced request
    DWORD unused;            // sent as 0, never read
    LONG  returnCode;        // the driver's result code
};
static_assert(sizeof(DismountBlock) == 16, "DismountBlock layout");

// The volume-removal notice sent with WM_DEVICECHANGE (a DEV_BROADCAST_VOLUME).
struct VolumeBroadcast {
    DWORD size;          // 20
    DWORD deviceType;    // 2, a volume
    DWORD reserved;
    DWORD unitMask;      // bit n: drive A + n
    WORD  flags;         // 0: a real volume, not media or network
    WORD  padding;
};
static_assert(sizeof(VolumeBroadcast) == 20, "VolumeBroadcast layout");

// Block builders; a letter outside A..Z gives drive number -1 and no unit bit.
void FillDismountBlock(char letter, DismountBlock* block);
void FillVolumeBroadcast(char letter, VolumeBroadcast* block);

// Returns 1 when a request reached the driver (*resultCode then holds its
// answer), 0 when none could be made (*resultCode untouched). *forcedResult is
// set to 1 only when the forced request was made and answered 0.
int DismountVolume(char letter, int force, int* forcedResult, int* resultCode);
// The same for a volume reached through reachLetter whose driver knows it by
// deviceLetter (they differ once a drive letter was moved after mounting).
int DismountVolumeVia(char reachLetter, char deviceLetter, int force,
                      int* forcedResult, int* resultCode);
// Unforced DismountVolume; 1 only when the driver answered 0.
int TryDismountOnce(char letter, int* resultCode);
// The name of a driver result code; unknown codes in decimal, in one shared
// buffer that the next such call overwrites.
const char* DriverResultName(int code);
// The whole escalation; returns an EjectOutcome.
// letter: the drive letter the volume's device name carries, the one the
// driver knows it by. When that link was moved after mounting, the volume is
// reached through the letter FindReachLetter finds, once, at the start.
int EjectVolume(char letter, DWORD force, DWORD loop);
