// Version numbers of files (from their version resource) and of Windows.
// version.dll comes from the import table (imports.h). The readers print
// nothing: they return a status that the caller reports where it must.
#pragma once
#include <windows.h>

struct FileVersionRecord {
    BYTE  major, minor, build, revision;  // low 8 bits of each part
    DWORD versionCode;                    // "%02u%02u%02u%02u" read as hex
    WORD  majorMinorCode;                 // versionCode >> 16 (0x0118 for 1.18)
    char  versionText[26];                // "1.2.3.4", or "1.2.3" when revision is 0
};

struct OsVersionRecord {
    DWORD major, minor, build;
    DWORD packedVersion;                  // 0x0601 for Windows 6.1, 0x1000 for 10.0
};

enum VersionStatus {
    VersionRead = 1,            // the record is filled
    VersionNotRead = 0,         // the calls or the path are missing
    VersionLibraryMissing = -1, // version.dll could not be loaded
    VersionInfoFailed = -2,     // GetFileVersionInfo failed (*error says why)
    VersionQueryFailed = -3,    // the block has no fixed information (*error)
};
// The line a caller prints for VersionLibraryMissing.
#define QB_VERSION_LIBRARY_MISSING "error: version.dll not found"

// Both return a VersionStatus and leave *record untouched unless it is
// VersionRead; *error is set with VersionInfoFailed and VersionQueryFailed.
int  ReadOwnFileVersion(FileVersionRecord* record, DWORD* error);
int  ReadFileVersion(const char* path, FileVersionRecord* record, DWORD* error);
void ReadOsVersion(OsVersionRecord* record);

// Building blocks of the readers, free of any system call.
// Fills every field of record from the two halves of VS_FIXEDFILEINFO's
// file version (dwFileVersionMS, dwFileVersionLS).
void  FillFileVersionRecord(DWORD versionMS, DWORD versionLS,
                            FileVersionRecord* record);
// Major and minor as two decimal digits each, one per nibble (6.1 -> 0x0601).
DWORD PackOsVersion(DWORD major, DWORD minor);
