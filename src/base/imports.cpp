#include "base/imports.h"
#include "base/paths.h"
#include "base/text.h"

static const char* const kImportLibraryFiles[kImportLibraryCount] = {
    "kernel32.dll", "ntdll.dll", "psapi.dll", "version.dll", "dbghelp.dll", "shell32.dll",
    "ole32.dll",
};
const char* importLibraryNames[kImportLibraryCount];

struct ImportRow {
    ImportLibrary library;
    const char*   name;
};
static const ImportRow kImportRows[kImportCount] = {
    {LibraryKernel32, "SetDllDirectoryA"},
    {LibraryKernel32, "SetDefaultDllDirectories"},
    {LibraryKernel32, "K32GetModuleFileNameExA"},
    {LibraryKernel32, "K32GetProcessImageFileNameA"},
    {LibraryKernel32, "QueryFullProcessImageNameA"},
    {LibraryKernel32, "K32EnumProcessModulesEx"},
    {LibraryKernel32, "K32GetMappedFileNameA"},
    {LibraryKernel32, "GetVolumePathNamesForVolumeNameW"},
    {LibraryPsapi, "GetModuleFileNameExA"},
    {LibraryPsapi, "GetProcessImageFileNameA"},
    {LibraryNtdll, "NtQuerySystemInformation"},
    {LibraryNtdll, "NtQueryObject"},
    {LibraryNtdll, "NtOpenDirectoryObject"},
    {LibraryNtdll, "NtQueryDirectoryObject"},
    {LibraryNtdll, "NtOpenSymbolicLinkObject"},
    {LibraryNtdll, "NtQuerySymbolicLinkObject"},
    {LibraryNtdll, "NtMakeTemporaryObject"},
    {LibraryNtdll, "NtClose"},
    {LibraryNtdll, "RtlAdjustPrivilege"},
    {LibraryNtdll, "NtReadVirtualMemory"},
    {LibraryNtdll, "wine_get_version"},
    {LibraryVersion, "GetFileVersionInfoW"},
    {LibraryVersion, "VerQueryValueW"},
    {LibraryDbghelp, "MiniDumpWriteDump"},
    {LibraryShell32, "SHChangeNotify"},
    {LibraryShell32, "SHGetPathFromIDListW"},
    {LibraryOle32, "CoInitializeEx"},
    {LibraryOle32, "CoUninitialize"},
    {LibraryOle32, "CoCreateInstance"},
    {LibraryOle32, "CoTaskMemFree"},
};

// Written by whichever thread resolves first; a flag is set only after its
// value, and every writer writes the same value.
static HMODULE libraryModules[kImportLibraryCount];
static volatile LONG libraryResolved[kImportLibraryCount];
static void* entryPoints[kImportCount];
static volatile LONG entryResolved[kImportCount];

HMODULE LoadSystemLibrary(const char* fileName)
{
    char suffix[MAX_PATH];
    if (lstrlenA(fileName) >= MAX_PATH - 1)
        return NULL;
    suffix[0] = '\\';
    CopyText(suffix + 1, fileName, MAX_PATH - 1);
    char path[MAX_PATH];
    if (!MakeSystemPath(suffix, path))
        return NULL;
    return LoadLibraryA(path);
}

HMODULE GetImportLibrary(ImportLibrary library)
{
    if (__atomic_load_n(&libraryResolved[library], __ATOMIC_ACQUIRE))
        return libraryModules[library];
    const char* name = importLibraryNames[library] ? importLibraryNames[library]
                                                   : kImportLibraryFiles[library];
    HMODULE module = library >= kFirstLoadedLibrary ? LoadSystemLibrary(name)
                                                    : GetModuleHandleA(name);
    __atomic_store_n(&libraryModules[library], module, __ATOMIC_RELAXED);
    __atomic_store_n(&libraryResolved[library], 1, __ATOMIC_RELEASE);
    return module;
}

void* GetImport(ImportEntry entry)
{
    if (__atomic_load_n(&entryResolved[entry], __ATOMIC_ACQUIRE))
        return entryPoints[entry];
    HMODULE module = GetImportLibrary(kImportRows[entry].library);
    void* address = module ? (void*)GetProcAddress(module, kImportRows[entry].name) : NULL;
    __atomic_store_n(&entryPoints[entry], address, __ATOMIC_RELAXED);
    __atomic_store_n(&entryResolved[entry], 1, __ATOMIC_RELEASE);
    return address;
}

void SetImport(ImportEntry entry, void* address)
{
    __atomic_store_n(&entryPoints[entry], address, __ATOMIC_RELAXED);
    __atomic_store_n(&entryResolved[entry], 1, __ATOMIC_RELEASE);
}
