// The program's run-time imports: every entry point that is not in the import
// table of the executable, looked up by name here and nowhere else. Each
// entry is resolved at its first use and kept; a caller tests it for null, and
// a missing entry turns its feature off quietly. Libraries the process has
// already (kernel32, ntdll, and psapi only when something else loaded it) are
// found with GetModuleHandle; version.dll, dbghelp.dll, shell32.dll and
// ole32.dll are loaded from the system directory by full path and stay loaded.
// Resolution takes no lock: two threads that resolve the same entry at once
// both write the same value.
#pragma once
#include <windows.h>

enum ImportLibrary {
    LibraryKernel32,
    LibraryNtdll,
    LibraryPsapi,
    kFirstLoadedLibrary,              // the libraries below are loaded when needed
    LibraryVersion = kFirstLoadedLibrary,
    LibraryDbghelp,
    LibraryShell32,
    LibraryOle32,
    kImportLibraryCount
};

enum ImportEntry {
    ImportSetDllDirectoryA,             // kernel32
    ImportSetDefaultDllDirectories,
    ImportK32GetModuleFileNameExA,
    ImportK32GetProcessImageFileNameA,
    ImportQueryFullProcessImageNameA,
    ImportK32EnumProcessModulesEx,
    ImportK32GetMappedFileNameA,
    ImportGetVolumePathNamesForVolumeNameW,
    ImportGetModuleFileNameExA,         // psapi
    ImportGetProcessImageFileNameA,
    ImportNtQuerySystemInformation,     // ntdll (types in native.h)
    ImportNtQueryObject,
    ImportNtOpenDirectoryObject,
    ImportNtQueryDirectoryObject,
    ImportNtOpenSymbolicLinkObject,
    ImportNtQuerySymbolicLinkObject,
    ImportNtMakeTemporaryObject,
    ImportNtClose,
    ImportRtlAdjustPrivilege,
    ImportNtReadVirtualMemory,
    ImportWineGetVersion,               // only under Wine
    ImportGetFileVersionInfoW,
    ImportVerQueryValueW,
    ImportMiniDumpWriteDump,            // dbghelp
    ImportSHChangeNotify,               // shell32
    ImportSHGetPathFromIDListW,
    ImportCoInitializeEx,               // ole32
    ImportCoUninitialize,
    ImportCoCreateInstance,
    ImportCoTaskMemFree,
    kImportCount
};

typedef BOOL  (WINAPI* SetDllDirectoryAFn)(LPCSTR);
typedef BOOL  (WINAPI* SetDefaultDllDirectoriesFn)(DWORD);
typedef DWORD (WINAPI* GetModuleFileNameExAFn)(HANDLE, HMODULE, LPSTR, DWORD);
typedef DWORD (WINAPI* GetProcessImageFileNameAFn)(HANDLE, LPSTR, DWORD);
typedef BOOL  (WINAPI* QueryFullProcessImageNameAFn)(HANDLE, DWORD, LPSTR, PDWORD);
typedef BOOL  (WINAPI* EnumProcessModulesExFn)(HANDLE, HMODULE*, DWORD, LPDWORD, DWORD);
typedef DWORD (WINAPI* GetMappedFileNameAFn)(HANDLE, LPVOID, LPSTR, DWORD);
typedef BOOL  (WINAPI* GetVolumePathNamesForVolumeNameWFn)(LPCWSTR, LPWSTR, DWORD, PDWORD);
typedef BOOL  (WINAPI* GetFileVersionInfoWFn)(LPCWSTR, DWORD, DWORD, LPVOID);
typedef BOOL  (WINAPI* VerQueryValueWFn)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
typedef void  (WINAPI* SHChangeNotifyFn)(LONG, UINT, LPCVOID, LPCVOID);
typedef BOOL  (WINAPI* SHGetPathFromIDListWFn)(const void*, LPWSTR);
typedef LONG  (WINAPI* CoInitializeExFn)(LPVOID, DWORD);
typedef void  (WINAPI* CoUninitializeFn)(void);
typedef LONG  (WINAPI* CoCreateInstanceFn)(const GUID&, void*, DWORD, const GUID&, void**);
typedef void  (WINAPI* CoTaskMemFreeFn)(LPVOID);

// The entry point, or null when its library or the entry is missing.
void*   GetImport(ImportEntry entry);
// The library's module, or null when it is not loaded (or cannot be loaded).
HMODULE GetImportLibrary(ImportLibrary library);
// Loads a library from the system directory by full path; null when it is
// missing or its path would not fit.
HMODULE LoadSystemLibrary(const char* fileName);

// Puts address in the entry's place, as if resolved. Test programs only, to
// see what is asked of the system where Wine cannot show it.
void    SetImport(ImportEntry entry, void* address);

// Another file name for a library (null: its own). Written only by test
// programs, before the first use, to name a library that does not exist.
extern const char* importLibraryNames[kImportLibraryCount];
