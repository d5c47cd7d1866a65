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
// to be loaded for them.
struct ProcessPathCalls {
    QueryFullProcessImageNameAFn queryFullName;
    GetModuleFileNameExAFn       getModuleFileNameEx;
    GetProcessImageFileNameAFn   getProcessImageFileName;
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
// module path and the device form of the image path.
static int IsImageOnVolume(const ProcessPathCalls* calls, DWORD processId,
                           const char* driveRoot, const char* devicePath, char* shown)
{
    DWORD rights = ProcessQueryRights();
    HANDLE process = calls->queryFullName ? OpenProcess(rights, FALSE, processId) : NULL;
    if (process) {
        DWORD size = MAX_PATH;
        BOOL named = calls->queryFullName(process, 0, shown, &size);
        CloseHandle(process);
        if (named && size < MAX_PATH)
            return ToVolumeImagePath(shown, devicePath, driveRoot);
    }
    if (!calls->getModuleFileNameEx)
        return 0;
    process = OpenProcess(rights | PROCESS_VM_READ, FALSE, processId);
    if (!process)
        return 0;
    char imagePath[MAX_PATH];
    MemFill(shown, 0, MAX_PATH);
    MemFill(imagePath, 0, sizeof imagePath);
    calls->getModuleFileNameEx(process, NULL, shown, MAX_PATH - 1);
    if (calls->getProcessImageFileName)
        calls->getProcessImageFileName(process, imagePath, MAX_PATH - 1);
    CloseHandle(process);
    if (ToVolumeImagePath(shown, devicePath, driveRoot))
        return 1;
    if (!ToVolumeImagePath(imagePath, devicePath, driveRoot))
        return 0;
    CopyText(shown, imagePath, MAX_PATH);
    return 1;
}

// The modules of a process, 64- and 32-bit; the list can change while it is
// read, and the system then asks to try again.
static HANDLE TakeModuleSnapshot(ULONGLONG processId)
{
    for (int attempt = 0; attempt < 3; attempt++) {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32,
                                                   (DWORD)processId);
        if (snapshot != INVALID_HANDLE_VALUE || GetLastError() != ERROR_BAD_LENGTH)
            return snapshot;
    }
    return INVALID_HANDLE_VALUE;
}

int IsModuleLoaded(ULONGLONG processId, ULONGLONG base)
{
    HANDLE snapshot = TakeModuleSnapshot(processId);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    MODULEENTRY32 module;
    module.dwSize = sizeof module;
    BOOL more = Module32First(snapshot, &module);
    while (more && (ULONG_PTR)module.modBaseAddr != base)
        more = Module32Next(snapshot, &module);
    CloseHandle(snapshot);
    return more;
}

// One record per module of the process that lies on the volume; the first
// module is the executable, an image holder of its own.
static void AppendVolumeModules(const PROCESSENTRY32* process, const char* driveRoot,
                                const char* devicePath, OpenHandleEntry* table,
                                int limit, int* count)
{
    HANDLE snapshot = TakeModuleSnapshot(process->th32ProcessID);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    MODULEENTRY32 module;
    module.dwSize = sizeof module;
    BOOL more = Module32First(snapshot, &module);
    while (more && *count < limit && Module32Next(snapshot, &module)) {
        module.szExePath[MAX_PATH - 1] = 0;
        if (!ToVolumeImagePath(module.szExePath, devicePath, driveRoot))
            continue;
        OpenHandleEntry* record = &table[(*count)++];
        CopyText(record->exeName, process->szExeFile, sizeof record->exeName);
        CopyText(record->objectPath, module.szExePath, sizeof record->objectPath);
        record->handleValue = (ULONG_PTR)module.modBaseAddr;
        record->processId = process->th32ProcessID;
        record->isModule = 1;
    }
    CloseHandle(snapshot);
}

void FindProcessesRunningFromVolume(const char* driveRoot, const char* devicePath,
                                    OpenHandleEntry* table, int limit, int* count,
                                    int width)
{
    ProcessPathCalls calls;
    GetProcessPathCalls(&calls);
    int w = width < 200 ? width : 200;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more && *count < limit;
         more = Process32Next(snapshot, &entry)) {
        // Id 0 would name this process to the module snapshot.
        if (entry.th32ProcessID == 0 || entry.th32ProcessID == 4)
            continue;
        entry.szExeFile[MAX_PATH - 1] = 0;
        char shown[MAX_PATH];
        if (IsImageOnVolume(&calls, entry.th32ProcessID, driveRoot, devicePath, shown)) {
            OpenHandleEntry* record = &table[(*count)++];
            CopyText(record->exeName, shown, sizeof record->exeName);
            ShortenMiddle(record->exeName, w - 4);
            record->processId = entry.th32ProcessID;
        }
        AppendVolumeModules(&entry, driveRoot, devicePath, table, limit, count);
    }
    CloseHandle(snapshot);
}
