// The DOS-device folder (src/dosdevices/): drive-letter links in other logon
// sessions. Walks every entry of an object directory such as
// \Sessions\0\DosDevices and deletes the link of a drive letter whose target
// contains a search text ("CryptVolume"). It rests on src/base/ and
// src/console/ (debug lines).
#pragma once
#include <windows.h>
#include "base/native.h"

// Returns 1 when at least one matching link was deleted, else 0.
int DeleteAllDosDevicesA(const char* directory, const char* linkName,
                         const char* searchText);
int DeleteAllDosDevices(const WCHAR* directory, const WCHAR* linkName,
                        const WCHAR* searchText);
const char* NtStatusName(NTSTATUS status);

// Writes directory\entry\link into out (outCount units, terminator included)
// and returns its count of units; returns 0 and leaves out untouched when the
// path would not fit. entryName need not be terminated (entryCount units are
// used).
int ComposeLinkPath(const WCHAR* directory, const WCHAR* entryName, int entryCount,
                    const WCHAR* linkName, WCHAR* out, int outCount);
