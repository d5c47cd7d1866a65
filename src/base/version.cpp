#include "base/version.h"
#include "base/imports.h"
#include "base/memory.h"
#include "base/text.h"

// Version blocks are read into buffers of these lengths; a longer resource is
// cut there, and the fixed information comes first.
enum { kOwnInfoLength = 1024, kFileInfoLength = 512 };

void FillFileVersionRecord(DWORD versionMS, DWORD versionLS, FileVersionRecord* record)
{
    MemFill(record, 0, sizeof *record);
    record->major = (BYTE)(versionMS >> 16);
    record->minor = (BYTE)versionMS;
    record->build = (BYTE)(versionLS >> 16);
    record->revision = (BYTE)versionLS;

    // Each part as (at least) two decimal digits, read as one hexadecimal number,
    // so that 1.18 compares as 0x0118.
    char codeText[16];
    wsprintfA(codeText, "%02u%02u%02u%02u", (unsigned)record->major,
              (unsigned)record->minor, (unsigned)record->build,
              (unsigned)record->revision);
    record->versionCode = HexToUInt(codeText);
    record->majorMinorCode = (WORD)(record->versionCode >> 16);

    if (record->revision != 0)
        wsprintfA(record->versionText, "%u.%u.%u.%u", (unsigned)record->major,
                  (unsigned)record->minor, (unsigned)record->build,
                  (unsigned)record->revision);
    else
        wsprintfA(record->versionText, "%u.%u.%u", (unsigned)record->major,
                  (unsigned)record->minor, (unsigned)record->build);
}

DWORD PackOsVersion(DWORD major, DWORD minor)
{
    return (major / 10) * 4096 + (major % 10) * 256 + (minor / 10) * 16 + minor % 10;
}

// Reads the fixed information of path through block (blockLength bytes).
static int ReadVersionOfPath(const WCHAR* path, BYTE* block, DWORD blockLength,
                             FileVersionRecord* record, DWORD* error)
{
    GetFileVersionInfoWFn getInfo =
        (GetFileVersionInfoWFn)GetImport(ImportGetFileVersionInfoW);
    VerQueryValueWFn query = (VerQueryValueWFn)GetImport(ImportVerQueryValueW);
    if (!getInfo || !query)
        return VersionNotRead;
    MemFill(block, 0, blockLength);
    if (!getInfo(path, 0, blockLength, block)) {
        *error = GetLastError();
        return VersionInfoFailed;
    }
    void* info = NULL;
    UINT length = 0;
    if (!query(block, L"\\", &info, &length) || !info ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        *error = GetLastError();
        return VersionQueryFailed;
    }
    const VS_FIXEDFILEINFO* fixed = (const VS_FIXEDFILEINFO*)info;
    FileVersionRecord read;
    FillFileVersionRecord(fixed->dwFileVersionMS, fixed->dwFileVersionLS, &read);
    *record = read;
    return VersionRead;
}

int ReadOwnFileVersion(FileVersionRecord* record, DWORD* error)
{
    if (!GetImportLibrary(LibraryVersion))
        return VersionLibraryMissing;
    WCHAR path[MAX_PATH];
    DWORD pathCount = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (pathCount == 0 || pathCount >= MAX_PATH)
        return VersionNotRead;
    BYTE block[kOwnInfoLength];
    return ReadVersionOfPath(path, block, sizeof block, record, error);
}

int ReadFileVersion(const char* path, FileVersionRecord* record, DWORD* error)
{
    if (!GetImportLibrary(LibraryVersion))
        return VersionLibraryMissing;
    WCHAR widePath[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH) <= 0)
        return VersionNotRead;
    BYTE block[kFileInfoLength];
    return ReadVersionOfPath(widePath, block, sizeof block, record, error);
}

void ReadOsVersion(OsVersionRecord* record)
{
    // The extended record (156 bytes); the manifest lists the supported systems,
    // so the running system reports its own version.
    OSVERSIONINFOEXA info;
    MemFill(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    GetVersionExA((OSVERSIONINFOA*)&info);
    record->major = info.dwMajorVersion;
    record->minor = info.dwMinorVersion;
    record->build = info.dwBuildNumber;
    record->packedVersion = PackOsVersion(info.dwMajorVersion, info.dwMinorVersion);
}
