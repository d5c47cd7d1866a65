// Resolves the DriveSpec, the first argument, to the drive letter of a mounted
// crypt volume: a drive letter (U:), a volume name (Volume{GUID}), the path of
// a folder the volume is mounted at, or a text that the path of a volume's
// container holds (looked up later in the drivers' mount lists).
#pragma once
#include <windows.h>
#include "base/paths.h"

// What resolving the DriveSpec decided.
enum ResolveResult {
    ResolvedLetter,        // target.letter holds the volume's drive letter
    ResolvedContainer,     // target.containerText is to be looked up
    ResolvedMessage,       // target.message (a warning) ends the run with code 5
    ResolvedOtherSession,  // the letter was deleted in another logon session
};

struct DriveSpecTarget {
    char       letter;                  // character 23 of the target path; 0 until found
    DriveTexts drive;                   // of a typed drive letter; empty otherwise
    char       volumePath[MAX_PATH];
    char       targetPath[MAX_PATH];
    char       fullPath[MAX_PATH + 1];  // with the backslash a mount point gets
    char       containerText[MAX_PATH];
    char       message[256];
};

// The system calls that tell a mount folder from a container path. Test
// programs replace them (before the first resolution) to give what Wine
// cannot: reparse points and mount folders with a volume behind them.
struct PathQueries {
    DWORD (WINAPI* getFileAttributes)(LPCSTR path);
    BOOL  (WINAPI* getVolumeNameForVolumeMountPoint)(LPCSTR mountPoint, LPSTR volumeName,
                                                     DWORD volumeNameLength);
};
extern PathQueries pathQueries;   // null entries: the system's calls

// target must be zero-filled; returns a ResolveResult.
int ResolveDriveSpec(DriveSpecTarget* target, const char* typed);
