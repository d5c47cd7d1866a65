// File and Windows version reading. version.dll is not imported: it is loaded
// from the system directory by full path for each read and freed afterwards,
// so that no copy of it elsewhere on the search path is ever used.
#include "diag/version_info.h"
#include "frame/text_util.h"
#include "console/output.h"

typedef BOOL (WINAPI* GetFileVersionInfoWProc)(LPCWSTR, DWORD, DWORD, LPVOID);
typedef BOOL (WINAPI* VerQueryValueWProc)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
typedef BOOL (WINAPI* GetFileVersionInfoAProc)(LPCSTR, DWORD, DWORD, LPVOID);
typedef BOOL (WINAPI* VerQueryValueAProc)(LPCVOID, LPCSTR, LPVOID*, PUINT);

static const char kVersionDll[] = "version.dll";
enum { kOwnInfoBytes = 1024, kFileInfoBytes = 512 };

HMODULE LoadSystemLibrary(const char* fileName)
{
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return NULL;
    // Room for the backslash and the name; a name that does not fit loads nothing.
    if ((int)length + 1 + lstrlenA(fileName) >= MAX_PATH)
        return NULL;
    path[length] = '\\';
    CopyText(path + length + 1, fileName, MAX_PATH - (int)length - 1);
    return LoadLibraryA(path);
}

DWORD HexToUInt(const char* text)
{
    DWORD value = 0;
    for (; *text; text++) {
        char c = *text;
        DWORD digit;
        if (c >= '0' && c <= '9')
            digit = (DWORD)(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = (DWORD)(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = (DWORD)(c - 'A' + 10);
        else
            return 0;
        value = value * 16 + digit;   // wraps: only the low 32 bits remain
    }
    return value;
}

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

// Loads version.dll; says so on the console when it is missing.
static HMODULE LoadVersionLibrary(void)
{
    HMODULE library = LoadSystemLibrary(kVersionDll);
    if (!library) {
        ConsolePrintf("error: %s not found", kVersionDll);
        SetLastError(ERROR_FILE_NOT_FOUND);
    }
    return library;
}

// Reads the fixed file information out of a version block; 0 when absent.
static const VS_FIXEDFILEINFO* FixedInfoW(VerQueryValueWProc query, const void* block)
{
    void* info = NULL;
    UINT length = 0;
    if (!query(block, L"\\", &info, &length) || length == 0 || !info ||
        length < sizeof(VS_FIXEDFILEINFO))
        return NULL;
    return (const VS_FIXEDFILEINFO*)info;
}

int ReadOwnFileVersion(FileVersionRecord* record)
{
    HMODULE library = LoadVersionLibrary();
    if (!library)
        return 0;
    GetFileVersionInfoWProc getInfo =
        (GetFileVersionInfoWProc)GetProcAddress(library, "GetFileVersionInfoW");
    VerQueryValueWProc query =
        (VerQueryValueWProc)GetProcAddress(library, "VerQueryValueW");
    if (!getInfo || !query) {
        FreeLibrary(library);
        SetLastError(ERROR_PROC_NOT_FOUND);
        return 0;
    }

    WCHAR path[MAX_PATH];
    DWORD pathLength = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (pathLength == 0 || pathLength >= MAX_PATH) {
        FreeLibrary(library);
        return 0;
    }
    MemFill(record, 0, sizeof *record);

    BYTE block[kOwnInfoBytes];
    MemFill(block, 0, sizeof block);
    if (!getInfo(path, 0, sizeof block, block)) {
        ConsolePrintf("error %u on GetFileVersionInfo(%S)\n", GetLastError(), path);
        FreeLibrary(library);
        return 0;
    }
    const VS_FIXEDFILEINFO* fixed = FixedInfoW(query, block);
    if (!fixed) {
        ConsolePrintf("error %u on VerQueryValue\n", GetLastError());
        FreeLibrary(library);
        return 0;
    }
    FillFileVersionRecord(fixed->dwFileVersionMS, fixed->dwFileVersionLS, record);
    FreeLibrary(library);
    return 1;
}

int ReadFileVersion(const char* path, FileVersionRecord* record)
{
    HMODULE library = LoadVersionLibrary();
    if (!library)
        return 0;
    GetFileVersionInfoAProc getInfo =
        (GetFileVersionInfoAProc)GetProcAddress(library, "GetFileVersionInfoA");
    VerQueryValueAProc query =
        (VerQueryValueAProc)GetProcAddress(library, "VerQueryValueA");
    if (!getInfo || !query) {
        FreeLibrary(library);
        SetLastError(ERROR_PROC_NOT_FOUND);
        return 0;
    }
    MemFill(record, 0, sizeof *record);

    // A longer resource is cut at 512 bytes; the fixed information comes first.
    BYTE block[kFileInfoBytes];
    MemFill(block, 0, sizeof block);
    void* info = NULL;
    UINT length = 0;
    int filled = 0;
    if (getInfo(path, 0, sizeof block, block) &&
        query(block, "\\", &info, &length) && info &&
        length >= sizeof(VS_FIXEDFILEINFO)) {
        const VS_FIXEDFILEINFO* fixed = (const VS_FIXEDFILEINFO*)info;
        FillFileVersionRecord(fixed->dwFileVersionMS, fixed->dwFileVersionLS, record);
        filled = 1;
    }
    FreeLibrary(library);
    return filled;
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
