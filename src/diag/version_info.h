// Version numbers of files (from their version resource) and of Windows.
// version.dll is loaded from the system directory by full path at run time.
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

HMODULE LoadSystemLibrary(const char* fileName);
DWORD   HexToUInt(const char* text);
int     ReadOwnFileVersion(FileVersionRecord* record);
int     ReadFileVersion(const char* path, FileVersionRecord* record);
void    ReadOsVersion(OsVersionRecord* record);

// Building blocks of the readers, free of any system call.
// Fills every field of record from the two halves of VS_FIXEDFILEINFO's
// file version (dwFileVersionMS, dwFileVersionLS).
void  FillFileVersionRecord(DWORD versionMS, DWORD versionLS,
                            FileVersionRecord* record);
// Major and minor as two decimal digits each, one per nibble (6.1 -> 0x0601).
DWORD PackOsVersion(DWORD major, DWORD minor);
