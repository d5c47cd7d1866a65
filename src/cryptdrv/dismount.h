// One dismount request to a crypt-volume driver, its forced second request,
// and the notices after a dismount: the drive letter's link is removed and the
// shell and all top-level windows are told.
#pragma once
#include <windows.h>
#include <dbt.h>
#include "cryptdrv/volume_id.h"

// Driver result codes that change the course of the eject.
enum DriverResult { DriverSuccess = 0, DriverDriveNotFound = 5, DriverFilesOpen = 6 };

// Device I/O control code of the dismount (device type 0x22, function 0x804,
// buffered, any access); the DismountBlock is its input and its output.
enum { kDismountRequestCode = 0x222010 };

struct DismountBlock {
    LONG  driveNumber;       // 0 for A to 25 for Z
    DWORD ignoreOpenFiles;   // 1 in the forced request
    DWORD hiddenVolumeProtectionTriggered;   // sent as 0; set on a dismount of an outer
                                             // volume whose hidden volume's protection
                                             // refused a write
    LONG  returnCode;        // the driver's result code
};
static_assert(sizeof(DismountBlock) == 16, "DismountBlock layout");
static_assert(sizeof(DEV_BROADCAST_VOLUME) == 20, "volume notice layout");

// Block builders; a letter outside A..Z gives drive number -1 and no unit bit.
void FillDismountBlock(char letter, DismountBlock* block);
void FillVolumeBroadcast(char letter, DEV_BROADCAST_VOLUME* block);

// What became of a dismount request.
enum DismountSent {
    DismountNotSent = 0,    // no request could be made, or the call failed
    DismountAnswered = 1,   // the driver answered (*resultCode holds it)
    DismountCanceled = 2,   // the user asked to stop: before the request (none was
                            // made), or while the driver worked on it and it then
                            // refused (*resultCode holds its answer)
};

// What the requests of an eject came to. Flags only ever go from 0 to 1.
struct DismountAnswer {
    int   resultCode;            // the driver's last answer
    int   forcedResult;          // 1 once a forced request was answered 0
    int   protectionTriggered;   // 1 once a dismount said the hidden volume's
                                 // protection refused writes to the outer volume
    DWORD linkError;             // a letter's link to the volume outlived the
                                 // dismount: why its removal failed; else 0
    char  linkLetter;            // that letter
};

// Dismounts the volume reached through reachLetter whose driver knows it by
// deviceLetter (they differ once a drive letter was moved after mounting).
// type names the driver; CryptNone takes it from reachLetter's link (a volume
// without a link in this session is named by its type alone). The shell is
// told that the drive goes before each request and after a dismount.
// Returns a DismountSent; answer->resultCode is written whenever the driver
// answered; forcedResult is set only when the forced request was made and
// answered 0. Each request is made with CallDriver (driver_call.h): the keys
// work while the driver takes its time, and a stop asked for meanwhile lets
// the request end and makes no further one; a dismount the driver carried out
// is still DismountAnswered with 0.
int DismountVolumeVia(char reachLetter, char deviceLetter, CryptVolumeType type, int force,
                      DismountAnswer* answer);
// Tells the shell the drive is there again, after removal notices for an
// eject that ended with the volume still mounted.
void NotifyShellDriveBack(char letter);
// The name of a driver result code; unknown codes in decimal, in one shared
// buffer that the next such call overwrites.
const char* DriverResultName(int code);
