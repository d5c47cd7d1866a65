#include "handles/process_info.h"
#include "frame/options.h"
#include "frame/text_util.h"
#include <tlhelp32.h>
#include <shlwapi.h>

typedef DWORD (WINAPI* GetModuleFileNameExAFn)(HANDLE process, HMODULE module,
                                               LPSTR path, DWORD size);
typedef DWORD (WINAPI* GetProcessImageFileNameAFn)(HANDLE process, LPSTR path,
                                                   DWORD size);

// Resolved once, by the report thread (the report runs once per run).
static int processPathCallsResolved;
static GetModuleFileNameExAFn getModuleFileNameEx;
static GetProcessImageFileNameAFn getProcessImageFileName;
static DWORD processPathRights;

// psapi.dll when the process has it loaded; otherwise the same calls that
// kernel32 exports under a K32 prefix (Windows 7 on), so that no library has
// to be loaded for them.
static void ResolveProcessPathCalls(void)
{
    if (processPathCallsResolved)
        return;
    processPathCallsResolved = 1;
    processPathRights = osVersion.major >= 6 ? 0x1000 : PROCESS_QUERY_INFORMATION;
    HMODULE psapi = GetModuleHandleA("psapi.dll");
    if (psapi) {
        getModuleFileNameEx =
            (GetModuleFileNameExAFn)GetProcAddress(psapi, "GetModuleFileNameExA");
        getProcessImageFileName =
            (GetProcessImageFileNameAFn)GetProcAddress(psapi, "GetProcessImageFileNameA");
    }
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel && !getModuleFileNameEx)
        getModuleFileNameEx =
            (GetModuleFileNameExAFn)GetProcAddress(kernel, "K32GetModuleFileNameExA");
    if (kernel && !getProcessImageFileName)
        getProcessImageFileName =
            (GetProcessImageFileNameAFn)GetProcAddress(kernel, "K32GetProcessImageFileNameA");
}

int GetProcessExeName(HANDLE* snapshot, ULONGLONG processId, char* name, int size,
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
        if (lstrlenA(process.szExeFile) >= size)
            return 0;
        CopyText(name, process.szExeFile, size);
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

static void DropNtPrefix(char* path)
{
    if (StartsWithNoCase(path, "\\??\\")) {
        char rest[MAX_PATH];
        CopyText(rest, path + 4, sizeof rest);
        CopyText(path, rest, MAX_PATH);
    }
}

void FindProcessesRunningFromVolume(const char* driveRoot, const char* devicePath,
                                    OpenHandleEntry* table, int capacity, int* count,
                                    int width)
{
    ResolveProcessPathCalls();
    if (!getModuleFileNameEx)
        return;
    int w = width < 200 ? width : 200;
    // The device path and the separator behind it give way to the drive root.
    char deviceFolder[MAX_PATH + 1];
    wsprintfA(deviceFolder, "%.258s\\", devicePath);

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more && *count < capacity;
         more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == 4)
            continue;
        HANDLE process = OpenProcess(processPathRights | PROCESS_VM_READ, FALSE,
                                     entry.th32ProcessID);
        if (!process)
            continue;
        char modulePath[MAX_PATH];
        char imagePath[MAX_PATH];
        MemFill(modulePath, 0, sizeof modulePath);
        MemFill(imagePath, 0, sizeof imagePath);
        getModuleFileNameEx(process, NULL, modulePath, MAX_PATH - 1);
        if (getProcessImageFileName)
            getProcessImageFileName(process, imagePath, MAX_PATH - 1);
        CloseHandle(process);
        DropNtPrefix(modulePath);
        DropNtPrefix(imagePath);

        const char* shown = NULL;
        if (driveRoot[0] && StrStrIA(modulePath, driveRoot)) {
            shown = modulePath;
        } else if (devicePath[0] && StrStrIA(imagePath, devicePath)) {
            ReplaceAllNoCase(imagePath, deviceFolder, driveRoot, MAX_PATH);
            shown = imagePath;
        }
        if (!shown)
            continue;
        OpenHandleEntry* record = &table[*count];
        CopyText(record->exeName, shown, sizeof record->exeName);
        ShortenMiddle(record->exeName, w - 4);
        record->processId = entry.th32ProcessID;
        (*count)++;
    }
    CloseHandle(snapshot);
}
