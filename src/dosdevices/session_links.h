// Drive-letter links in other logon sessions: walks every entry of an object
// directory such as \Sessions\0\DosDevices and deletes the link of a drive
// letter whose target contains a search text ("CryptVolume").
#pragma once
#include <windows.h>

// Returns 1 when at least one matching link was deleted, else 0.
int DeleteAllDosDevicesA(const char* directory, const char* linkName,
                         const char* searchText);
int DeleteAllDosDevices(const WCHAR* directory, const WCHAR* linkName,
                        const WCHAR* searchText);
const char* NtStatusName(LONG status);

// Writes directory\entry\link into out (outUnits units, terminator included)
// and returns its length; returns 0 and leaves out untouched when the path
// would not fit. entryName need not be terminated (entryUnits units are used).
int ComposeLinkPath(const WCHAR* directory, const WCHAR* entryName, int entryUnits,
                    const WCHAR* linkName, WCHAR* out, int outUnits);
