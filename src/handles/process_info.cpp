#include "handles/process_info.h"
#include "handles/handle_list.h"
#include "base/imports.h"
#include "base/memory.h"
#include "base/text.h"
#include <tlhelp32.h>
#include <shlwapi.h>

// The path calls of psapi.dll when the process has it loaded; otherwise the
// same calls that kernel32 exports under a K32 prefix (Windows 7 on), so that
// no library has to be loaded for them.
struct ProcessPathCalls {
    GetModuleFileNameExAFn     getModuleFileNameEx;
    GetProcessImageFileNameAFn getProcessImageFileName;
};

static void GetProcessPathCalls(ProcessPathCalls* calls)
{
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

static void DropNtPrefix(char* path)
{
    if (StartsWithNoCase(path, "\\??\\")) {
        char rest[MAX_PATH];
        CopyText(rest, path + 4, sizeof rest);
        CopyText(path, rest, MAX_PATH);
    }
}

void FindProcessesRunningFromVolume(const char* driveRoot, const char* devicePath,
                                    OpenHandleEntry* table, int limit, int* count,
                                    int width)
{
    ProcessPathCalls calls;
    GetProcessPathCalls(&calls);
    if (!calls.getModuleFileNameEx)
        return;
    DWORD rights = ProcessQueryRights();
    int w = width < 200 ? width : 200;
    // The device path and the separator behind it give way to the drive root.
    char deviceFolder[MAX_PATH + 1];
    wsprintfA(deviceFolder, "%.258s\\", devicePath);

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more && *count < limit;
         more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == 4)
            continue;
        HANDLE process = OpenProcess(rights | PROCESS_VM_READ, FALSE,
                                     entry.th32ProcessID);
        if (!process)
            continue;
        char modulePath[MAX_PATH];
        char imagePath[MAX_PATH];
        MemFill(modulePath, 0, sizeof modulePath);
        MemFill(imagePath, 0, sizeof imagePath);
        calls.getModuleFileNameEx(process, NULL, modulePath, MAX_PATH - 1);
        if (calls.getProcessImageFileName)
            calls.getProcessImageFileName(process, imagePath, MAX_PATH - 1);
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
