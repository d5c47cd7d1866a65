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
