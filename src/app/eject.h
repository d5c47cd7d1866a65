// The eject flow: the dismount requests of one eject as a table of stages
// (first try; the open-handle report with -h, which brings the holders'
// windows to the front with -a; second try; third try, forced with -f), then
// with -l the retry loop in which F forces and Esc cancels. Every dismount
// ends in the same way: " OK" (or " OK (by force)" in the loop), the links of
// the drive letter in other logon sessions deleted, the end of the line.
#pragma once
#include <windows.h>
#include "app/options.h"
#include "cryptdrv/volume_id.h"

enum EjectOutcome {
    EjectNotDismounted = 0,
    EjectDismounted = 1,
    EjectDismountedByForce = 2,
    EjectVolumeGone = 3,
    EjectFilesOpen = 4,
    EjectDriveNotFound = 5,
};

// The whole eject; returns an EjectOutcome. *protectionTriggered is set to 1
// (never cleared) when a dismount said that the hidden volume's protection
// refused writes to the outer volume.
// letter: the drive letter the volume's device name carries, the one the
// driver knows it by. When that link was moved after mounting, the volume is
// reached through the letter FindReachLetter finds, once, at the start.
int EjectVolume(char letter, const Options* options, int* protectionTriggered);

// Deletes the links of dosDeviceName ("U:") that other logon sessions still
// hold and that lead to the crypt volume device of deviceLetter: the device
// of that product, or with CryptNone that of either. 1 when one was deleted.
int DeleteOtherSessionLinks(const char* dosDeviceName, char deviceLetter,
                            CryptVolumeType type);
