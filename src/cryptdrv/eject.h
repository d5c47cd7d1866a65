// The dismount request and the eject escalation: first try, report of open
// handles (-h), second try, third try (forced with -f), retry loop (-l).
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

int DismountVolume(char letter, int force, int* forcedResult, int* resultCode);
int TryDismountOnce(char letter, int* resultCode);
const char* DriverResultName(int code);
int EjectVolume(char letter, DWORD force, DWORD loop);
