// The DOS-device folder (src/dosdevices/): drive-letter links in other logon
// sessions. Walks every entry of an object directory such as
// \Sessions\0\DosDevices and deletes the link of a drive letter that leads to
// exactly one of the given device names (\Device\VeraCryptVolumeU). It rests
// on src/base/ and src/console/ (debug lines).
#pragma once
#include <windows.h>
#include "base/native.h"

enum { kLinkTargetLimit = 2 };   // device names one call may accept

// Returns 1 when at least one matching link was deleted, else 0. targets holds
// targetCount (at most kLinkTargetLimit) device names; a link counts only when
// its target is one of them, unit for unit.
int DeleteAllDosDevicesA(const char* directory, const char* linkName,
                         const char* const* targets, int targetCount);
const char* NtStatusName(NTSTATUS status);
// Whether the object of that full name (\Device\VeraCryptVolumeU) exists: its
// directory lists it, without regard to case. 1 or 0; -1 when the directory
// cannot be read.
int ObjectExists(const char* path);

// The object-manager calls of the walk, from the import table; a test hands
// in its own to play the parts of Windows that Wine lacks.
struct ObjectCalls {
    NtOpenObjectFn              openDirectory;
    NtQueryDirectoryObjectFn    queryDirectory;
    NtOpenObjectFn              openLink;
    NtQuerySymbolicLinkObjectFn queryLink;
    NtHandleFn                  makeTemporary;
    NtHandleFn                  close;
};
int DeleteLinksWith(const ObjectCalls* calls, const WCHAR* directory,
                    const WCHAR* linkName, const WCHAR* const* targets,
                    int targetCount);

// Writes directory\entry\link into out (outCount units, terminator included)
// and returns its count of units; returns 0 and leaves out untouched when the
// path would not fit. entryName need not be terminated (entryCount units are
// used).
int ComposeLinkPath(const WCHAR* directory, const WCHAR* entryName, int entryCount,
                    const WCHAR* linkName, WCHAR* out, int outCount);
