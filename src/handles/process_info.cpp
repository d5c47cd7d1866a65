#include "handles/process_info.h"
#include "handles/handle_list.h"
#include "base/imports.h"
#include "base/memory.h"
#include "base/text.h"
#include <tlhelp32.h>
#include <shlwapi.h>

// The path calls: QueryFullProcessImageNameA (Windows Vista on), else those
// of psapi.dll when the process has it loaded, else the same calls that
// kernel32 exports under a K32 prefix (Windows 7 on), so that no library has
// to be loaded for them. The module list comes from the K32 calls alone.
struct ProcessPathCalls {
    QueryFullProcessImageNameAFn queryFullName;
    GetModuleFileNameExAFn       getModuleFileNameEx;
    GetProcessImageFileNameAFn   getProcessImageFileName;
    EnumProcessModulesExFn       enumModules;
    GetMappedFileNameAFn         getMappedFileName;
};

static void GetProcessPathCalls(ProcessPathCalls* calls)
{
    calls->queryFullName =
        (QueryFullProcessImageNameAFn)GetImport(ImportQueryFullProcessImageNameA);
    calls->getModuleFileNameEx =
        (GetModuleFileNameExAFn)GetImport(ImportGetModuleFileNameExA);
    if (!calls->getModuleFileNameEx)
        calls->getModuleFileNameEx =
            (GetModuleFileNameExAFn)GetImport(ImportK32GetModuleFileNameExA);
    calls->getProcessImageFileName =
        (GetProcessImageFileNameAFn)GetImport(ImportGetProcessImageFileNameA);
    if (!calls->getProcessImageFileName)
        calls->getProcessImageFileName =
            (GetProcessImageFileNameAFn)GetImport(ImportK32GetProcessImageFileNameA);
    calls->enumModules = (EnumProcessModulesExFn)GetImport(ImportK32EnumProcessModulesEx);
    calls->getMappedFileName = (GetMappedFileNameAFn)GetImport(ImportK32GetMappedFileNameA);
}

int GetProcessExeName(HANDLE* snapshot, ULONGLONG processId, char* name, int nameLength,
                      int fresh)
{
    if (*snapshot == INVALID_HANDLE_VALUE || fresh) {
        if (*snapshot != INVALID_HANDLE_VALUE)
            CloseHandle(*snapshot);
        *snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (*snapshot == INVALID_HANDLE_VALUE)
            return 0;
    }
    PROCESSENTRY32 process;
    process.dwSize = sizeof process;
    for (BOOL more = Process32First(*snapshot, &process); more;
         more = Process32Next(*snapshot, &process)) {
        if (process.th32ProcessID != processId)
            continue;
        process.szExeFile[MAX_PATH - 1] = 0;
        if (lstrlenA(process.szExeFile) >= nameLength)
            return 0;
        CopyText(name, process.szExeFile, nameLength);
        return 1;
    }
    return 0;
}

int ProcessExists(ULONGLONG processId)
{
    HANDLE snapshot = INVALID_HANDLE_VALUE;
    char name[MAX_PATH];
    int exists = GetProcessExeName(&snapshot, processId, name, sizeof name, 1);
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);
    return exists;
}

int ToVolumeImagePath(char* path, const char* devicePath, const char* driveRoot)
{
    if (StartsWithNoCase(path, "\\??\\")) {
        char rest[MAX_PATH];
        CopyText(rest, path + 4, sizeof rest);
        CopyText(path, rest, MAX_PATH);
    }
    if (!IsPathOnVolume(path, devicePath, driveRoot))
        return 0;
    if (devicePath[0]) {
        // The device path and the separator behind it give way to the drive root.
        char deviceFolder[MAX_PATH + 1];
        wsprintfA(deviceFolder, "%.258s\\", devicePath);
        ReplaceAllNoCase(path, deviceFolder, driveRoot, MAX_PATH);
    }
    return 1;
}

// True with the image path of the process in shown (MAX_PATH bytes) when it
// lies on the volume. One QueryFullProcessImageNameA where the system has it
// (the limited right suffices, also for other users' processes); else the
// module path and the device form of the image path, which need reading
// rights (process null: the process could not be opened for reading).
static int IsImageOnVolume(const ProcessPathCalls* calls, HANDLE process, HANDLE limited,
                           const char* driveRoot, const char* devicePath, char* shown)
{
    DWORD size = MAX_PATH;
    if (calls->queryFullName && limited && calls->queryFullName(limited, 0, shown, &size) &&
        size < MAX_PATH)
        return ToVolumeImagePath(shown, devicePath, driveRoot);
    if (!calls->getModuleFileNameEx || !process)
        return 0;
    char imagePath[MAX_PATH];
    MemFill(shown, 0, MAX_PATH);
    MemFill(imagePath, 0, sizeof imagePath);
    calls->getModuleFileNameEx(process, NULL, shown, MAX_PATH - 1);
    if (calls->getProcessImageFileName)
        calls->getProcessImageFileName(process, imagePath, MAX_PATH - 1);
    if (ToVolumeImagePath(shown, devicePath, driveRoot))
        return 1;
    if (!ToVolumeImagePath(imagePath, devicePath, driveRoot))
        return 0;
    CopyText(shown, imagePath, MAX_PATH);
    return 1;
}

// LIST_MODULES_ALL of <psapi.h>: the 64- and 32-bit modules.
enum { kModuleLimit = 4096, kListModulesAll = 3 };
// The rights that read a process's module list and module paths.
static const DWORD kReadRights = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

// The base addresses of the process's modules, 64- and 32-bit, the
// executable first: a MemAlloc block the caller frees, null when unknown.
static HMODULE* ListModules(const ProcessPathCalls* calls, HANDLE process, int* count)
{
    DWORD length = 512 * sizeof(HMODULE);
    for (int attempt = 0; calls->enumModules && attempt < 2; attempt++) {
        HMODULE* modules = (HMODULE*)MemAlloc(length);
        DWORD needed = 0;
        if (!calls->enumModules(process, modules, length, &needed, kListModulesAll)) {
            MemFree(modules);
            return NULL;
        }
        if (needed <= length) {
            *count = (int)(needed / sizeof(HMODULE));
            return modules;
        }
        MemFree(modules);
        // More modules than room: once more with room for them (and some loaded meanwhile).
        length = needed < kModuleLimit * sizeof(HMODULE) ? needed + 64 * sizeof(HMODULE)
                                                         : kModuleLimit * sizeof(HMODULE);
    }
    return NULL;
}

int IsModuleLoaded(ULONGLONG processId, ULONGLONG base)
{
    ProcessPathCalls calls;
    GetProcessPathCalls(&calls);
    HANDLE process = OpenProcess(kReadRights, FALSE, (DWORD)processId);
    if (!process)
        return 0;
    int count = 0, loaded = 0;
    HMODULE* modules = ListModules(&calls, process, &count);
    for (int i = 0; i < count && !loaded; i++)
        loaded = (ULONG_PTR)modules[i] == base;
    MemFree(modules);
    CloseHandle(process);
    return loaded;
}

int IsViewMapped(ULONGLONG processId, ULONGLONG base)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, (DWORD)processId);
    if (!process)
        return 0;
    MEMORY_BASIC_INFORMATION region;
    int mapped = VirtualQueryEx(process, (void*)(ULONG_PTR)base, &region, sizeof region) ==
                     sizeof region &&
                 region.Type == MEM_MAPPED && (ULONG_PTR)region.AllocationBase == base;
    CloseHandle(process);
    return mapped;
}

// One record per module of the process that lies on the volume; the first
// module is the executable, an image holder of its own. The mapped file's
// name is one query per module (Windows gives the device form).
static void AppendVolumeModules(const ProcessPathCalls* calls, HANDLE process,
                                const PROCESSENTRY32* entry, const char* driveRoot,
                                const char* devicePath, OpenHandleEntry* table,
                                int limit, int* count)
{
    int moduleCount = 0;
    HMODULE* modules = process && calls->getMappedFileName
                           ? ListModules(calls, process, &moduleCount) : NULL;
    for (int i = 1; i < moduleCount && *count < limit; i++) {
        char path[MAX_PATH];
        MemFill(path, 0, sizeof path);
        if (!calls->getMappedFileName(process, modules[i], path, MAX_PATH - 1) ||
            !ToVolumeImagePath(path, devicePath, driveRoot))
            continue;
        OpenHandleEntry* record = &table[(*count)++];
        CopyText(record->exeName, entry->szExeFile, sizeof record->exeName);
        CopyText(record->objectPath, path, sizeof record->objectPath);
        record->handleValue = (ULONG_PTR)modules[i];
        record->processId = entry->th32ProcessID;
        record->isModule = 1;
    }
    MemFree(modules);
}

// The image holder and module holders of one process, opened once (and once
// more with the limited right when reading is refused).
static void FindProcessHolders(const ProcessPathCalls* calls, const PROCESSENTRY32* entry,
                               const char* driveRoot, const char* devicePath,
                               OpenHandleEntry* table, int limit, int* count, int width)
{
    HANDLE process = OpenProcess(kReadRights, FALSE, entry->th32ProcessID);
    HANDLE limited = process ? process
                             : OpenProcess(ProcessQueryRights(), FALSE, entry->th32ProcessID);
    char shown[MAX_PATH];
    if (IsImageOnVolume(calls, process, limited, driveRoot, devicePath, shown)) {
        OpenHandleEntry* record = &table[(*count)++];
        CopyText(record->exeName, shown, sizeof record->exeName);
        ShortenMiddle(record->exeName, width - 4);
        record->processId = entry->th32ProcessID;
    }
    AppendVolumeModules(calls, process, entry, driveRoot, devicePath, table, limit, count);
    if (limited)
        CloseHandle(limited);
}

void FindProcessesRunningFromVolume(const char* driveRoot, const char* devicePath,
                                    OpenHandleEntry* table, int limit, int* count,
                                    int width)
{
    ProcessPathCalls calls;
    GetProcessPathCalls(&calls);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more && *count < limit;
         more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == 0 || entry.th32ProcessID == 4)
            continue;
        entry.szExeFile[MAX_PATH - 1] = 0;
        FindProcessHolders(&calls, &entry, driveRoot, devicePath, table, limit, count, width);
    }
    CloseHandle(snapshot);
}
