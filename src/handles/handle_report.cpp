// The open-handle report. The main thread runs it on a report thread under a
// 5000 ms limit. The report works on a heap record of its own (ReportJob): its
// tables, its cached process snapshot and a copy of the request. Main thread
// and report thread each hold a reference and the last one releases it; the
// tables are copied into the process-wide ones only once the report thread
// has ended, so a report that runs late never writes where the eject loop
// and the follow-up read.
#include "handles/handle_report.h"
#include "handles/handle_list.h"
#include "handles/process_info.h"
#include "handles/bounded_worker.h"
#include "base/memory.h"
#include "base/text.h"
#include "console/output.h"
#include <shlwapi.h>

OpenHandleEntry openHandleTable[kOpenHandleLimit + 1];
UnreadableFileEntry unreadableFileTable[kUnreadableFileLimit + 1];
volatile LONG reportAbort;

static const DWORD kExtraWaitAfterTimeoutMs = 1000;
static const DWORD kPerProcessBaseLimitMs = 1000;
static const int kWindowProcessLimit = 1000;
static const int kExeNameLength = 388;

struct ReportJob {
    volatile LONG       references;      // main thread and report thread
    HandleReportRequest request;
    DWORD               redirected;
    HANDLE              processSnapshot; // cached for executable names
    BoundedWorker*      processWorker;   // runs the per-process name queries
    OpenHandleEntry     table[kOpenHandleLimit + 1];
    UnreadableFileEntry unreadable[kUnreadableFileLimit + 1];
};

static void ReleaseReportJob(ReportJob* job)
{
    if (InterlockedDecrement(&job->references) != 0)
        return;
    if (job->processSnapshot != INVALID_HANDLE_VALUE)
        CloseHandle(job->processSnapshot);
    MemFree(job);
}

static int IsReportAborted(void)
{
    return __atomic_load_n(&reportAbort, __ATOMIC_ACQUIRE) != 0;
}

static int ReportWidth(void)
{
    int width = GetConsoleWidth();
    return width < 200 ? width : 200;
}

static int IsPathInOpenHandleTable(const OpenHandleEntry* table, const char* path)
{
    for (int i = 0; i < kOpenHandleLimit && table[i].exeName[0]; i++)
        if (table[i].objectPath[0] && lstrcmpiA(table[i].objectPath, path) == 0)
            return 1;
    return 0;
}

// Process ids of visible top-level windows, in Z order, neighbours merged.
static int CollectWindowProcesses(DWORD* ids, int idLimit)
{
    int count = 0;
    DWORD previous = 0;
    for (HWND window = GetWindow(GetDesktopWindow(), GW_CHILD);
         window && count < idLimit; window = GetWindow(window, GW_HWNDNEXT)) {
        if (!IsWindowVisible(window))
            continue;
        DWORD id = 0;
        GetWindowThreadProcessId(window, &id);
        if (id != previous)
            ids[count++] = id;
        previous = id;
    }
    return count;
}

static int IsIdInList(const DWORD* ids, int count, ULONGLONG id)
{
    for (int i = 0; i < count; i++)
        if (ids[i] == id)
            return 1;
    return 0;
}

// Appends the group's candidates whose names lie on the volume. Returns false
// when the table is full.
static int AppendHolders(ReportJob* job, ULONGLONG owner, const ULONGLONG* handles,
                         char** names, int candidates, int* count)
{
    const char* driveRoot = job->request.driveRoot;
    const char* devicePath = job->request.devicePath;
    char exeName[kExeNameLength];
    int nameState = -1;   // -1 not asked yet, 0 no name, 1 exeName holds it
    for (int i = 0; i < candidates; i++) {
        const char* name = names[i];
        if (!name)
            continue;
        if (!(driveRoot[0] && StrStrA(name, driveRoot)) &&
            !(devicePath[0] && StrStrA(name, devicePath)))
            continue;
        if (nameState < 0)
            nameState = GetProcessExeName(&job->processSnapshot, owner, exeName,
                                          sizeof exeName, 0);
        if (!nameState)
            return 1;
        OpenHandleEntry* record = &job->table[*count];
        CopyText(record->exeName, exeName, sizeof record->exeName);
        // A long name keeps its start (the volume) and its end (the file).
        char path[kNameTextLength];
        CopyText(path, name, sizeof path);
        ShortenMiddle(path, (int)sizeof record->objectPath - 1);
        CopyText(record->objectPath, path, sizeof record->objectPath);
        record->handleValue = handles[i];
        record->processId = owner;
        if (++*count >= kOpenHandleLimit)
            return 0;
    }
    return 1;
}

static int FindVolumeHandleHolders(ReportJob* job, const SystemHandleList* list)
{
    int count = 0;
    FindProcessesRunningFromVolume(job->request.driveRoot, job->request.devicePath,
                                   job->table, kOpenHandleLimit, &count,
                                   GetConsoleWidth());
    DWORD* windowIds = NULL;
    int windowCount = 0;
    if (list->visibleWindowsOnly) {
        windowIds = (DWORD*)MemAlloc(kWindowProcessLimit * sizeof(DWORD));
        windowCount = CollectWindowProcesses(windowIds, kWindowProcessLimit);
    }
    ULONGLONG self = GetCurrentProcessId();
    ULONGLONG index = 0;
    while (index < list->count && count < kOpenHandleLimit && !IsReportAborted()) {
        const SystemHandleEntry* first = &list->entries[index];
        ULONGLONG owner = first->processId;
        ULONGLONG groupCount = 1;
        while (index + groupCount < list->count &&
               list->entries[index + groupCount].processId == owner)
            groupCount++;
        int skip = owner == 0 || owner == 4 || owner == self ||
                   (list->visibleWindowsOnly && !IsIdInList(windowIds, windowCount, owner)) ||
                   IsExcludedProcess(owner);
        if (!skip) {
            SIZE_T slotCount = (SIZE_T)groupCount + 1;
            ULONGLONG* handles = (ULONGLONG*)MemAlloc(slotCount * sizeof(ULONGLONG));
            DWORD* masks = (DWORD*)MemAlloc(slotCount * sizeof(DWORD));
            char** names = (char**)MemAlloc(slotCount * sizeof(char*));
            int candidates = 0;
            for (ULONGLONG i = 0; i < groupCount; i++) {
                const SystemHandleEntry* entry = &list->entries[index + i];
                if (IsSkippedAccessMask(entry->grantedAccess) || !IsFileObjectType(entry))
                    continue;
                handles[candidates] = entry->handleValue;
                masks[candidates] = entry->grantedAccess;
                candidates++;
            }
            if (candidates > 0 &&
                QueryHandleNamesWithTimeout(&job->processWorker, owner, handles, masks,
                                            names,
                                            kPerProcessBaseLimitMs + (DWORD)candidates,
                                            &reportAbort))
                AppendHolders(job, owner, handles, names, candidates, &count);
            // The worker hands over its names only when it ended in time, so
            // everything here is ours to release.
            for (int i = 0; i < candidates; i++)
                MemFree(names[i]);
            MemFree(names);
            MemFree(masks);
            MemFree(handles);
        }
        index += groupCount;
    }
    MemFree(windowIds);
    StopWorker(&job->processWorker);
    return count;
}

static int ListUnreadableRootFiles(ReportJob* job)
{
    const char* root = job->request.driveRoot;
    if (!root[0])
        return 0;
    char pattern[16];
    wsprintfA(pattern, "%.3s*", root);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    int width = ReportWidth();
    int count = 0;
    do {
        found.cFileName[MAX_PATH - 1] = 0;
        char path[MAX_PATH];
        wsprintfA(path, "%.3s%.255s", root, found.cFileName);
        // Directories (and names whose attributes cannot be read) are never opened.
        if (GetFileAttributesA(path) & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        HANDLE file = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_ALWAYS, 0, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            continue;
        }
        if (IsPathInOpenHandleTable(job->table, path))
            continue;
        UnreadableFileEntry* record = &job->unreadable[count];
        CopyText(record->fullPath, path, sizeof record->fullPath);
        CopyText(record->path, path, sizeof record->path);
        ShortenMiddle(record->path, width - 10);
        char line[kNoReadTextLength];
        FormatNoReadLine(record, line);
        NewLineIfNeeded();
        ConsolePrintf("%s", line);
        record->consoleRow = GetCursorRow();
        count++;
    } while (count < kUnreadableFileLimit && FindNextFileA(search, &found));
    FindClose(search);
    return count;
}

static int ReportOpenHandles(ReportJob* job)
{
    if (!job->request.volumeName[0] && !job->request.devicePath[0])
        return 0;
    DWORD start = GetTickCount();
    SetConsoleColor(consoleContext, ColorEmphasis);
    SystemHandleList* list = (SystemHandleList*)MemAlloc(sizeof(SystemHandleList));
    LoadSystemHandleList(list, job->request.visibleWindowsOnly);
    int count = FindVolumeHandleHolders(job, list);
    int aborted = IsReportAborted();

    int width = ReportWidth();
    for (int i = 0; i < count && !aborted; i++) {
        OpenHandleEntry* record = &job->table[i];
        MakeDisplayLine(record, job->request.devicePath, job->request.driveRoot, width,
                        job->redirected, job->request.debugForm);
        if (GetTickCount() - start > kHandleReportLimitMs)
            break;
        NewLineIfNeeded();
        ConsolePrintf("%s", record->displayLine);
        record->consoleRow = GetCursorRow();
        aborted = IsReportAborted();
    }
    int unreadable = aborted ? 0 : ListUnreadableRootFiles(job);
    FreeSystemHandleList(list);
    MemFree(list);
    if (aborted)
        return 0;
    SetConsoleColor(consoleContext, ColorDefault);
    if (count + unreadable > 0)
        return 1;
    ConsolePrintf(" none found");
    return 0;
}

static DWORD WINAPI HandleReport_ThreadProc(LPVOID parameter)
{
    ReportJob* job = (ReportJob*)parameter;
    __atomic_store_n(&reportAbort, 0, __ATOMIC_RELEASE);
    DWORD found = (DWORD)ReportOpenHandles(job);
    ReleaseReportJob(job);
    return found;
}

int RunHandleReportWithTimeout(const HandleReportRequest* request, DWORD limitMs)
{
    ReportJob* job = (ReportJob*)MemAlloc(sizeof(ReportJob));
    MemCopy(&job->request, request, sizeof job->request);
    job->request.volumeName[sizeof job->request.volumeName - 1] = 0;
    job->request.devicePath[sizeof job->request.devicePath - 1] = 0;
    job->request.driveRoot[sizeof job->request.driveRoot - 1] = 0;
    job->redirected = consoleContext ? consoleContext->isRedirected
                                     : GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) != FILE_TYPE_CHAR;
    job->processSnapshot = INVALID_HANDLE_VALUE;
    job->references = 2;

    HANDLE thread = CreateThread(NULL, 0, HandleReport_ThreadProc, job, 0, NULL);
    if (!thread) {
        job->references = 1;
        ReleaseReportJob(job);
        return 0;
    }
    int found = 0;
    int ended = WaitForSingleObject(thread, limitMs) == WAIT_OBJECT_0;
    if (ended) {
        DWORD code = 0;
        GetExitCodeThread(thread, &code);
        found = code != 0;
    } else {
        SuspendThread(thread);
        ConsolePrintf(" timeout\n");
        __atomic_store_n(&reportAbort, 1, __ATOMIC_RELEASE);
        ResumeThread(thread);
        // A report that ends in the extra second still counts as failed, but
        // its tables are complete and its lines can be turned back later.
        ended = WaitForSingleObject(thread, kExtraWaitAfterTimeoutMs) == WAIT_OBJECT_0;
        SetConsoleColor(consoleContext, ColorDefault);
    }
    if (ended) {
        MemCopy(openHandleTable, job->table, sizeof openHandleTable);
        MemCopy(unreadableFileTable, job->unreadable, sizeof unreadableFileTable);
    }
    CloseHandle(thread);
    ReleaseReportJob(job);
    return found;
}

int CheckForOpenHandles(const HandleReportRequest* request)
{
    NewLineIfNeeded();
    ConsolePrintf("checking for open handles...");
    int found = RunHandleReportWithTimeout(request, kHandleReportLimitMs);
    NewLineIfNeeded();
    return found;
}
