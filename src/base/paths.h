// Paths, drive texts and DOS device names.
#pragma once
#include <windows.h>

// The two texts every folder derives from a drive letter.
struct DriveTexts {
    char dosDeviceName[3];   // "U:"
    char rootPath[4];        // "U:\"
};
void MakeDriveTexts(char letter, DriveTexts* texts);

// The target path of a DOS device name ("U:", "Volume{...}"), as a MAX_PATH
// buffer filled with zeros behind the text, so that every index (such as the
// drive letter at 23 of a crypt volume's device name) is defined and the last
// byte stays 0. Returns 1; 0 when the query fails (target untouched).
int QueryDosDeviceTarget(const char* dosDeviceName, char* target);

// The system directory followed by suffix ("\cmd.exe") into path (MAX_PATH
// bytes). Returns 1; 0 when the directory is unknown or the whole path would
// not fit (path untouched).
int MakeSystemPath(const char* suffix, char* path);
