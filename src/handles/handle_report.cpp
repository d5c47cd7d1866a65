// The open-handle report. The main thread runs it on a report thread under a
// 5000 ms limit. The report works on a heap record of its own (ReportJob): its
// tables and a copy of the request. Main thread and report thread each hold a
// reference and the last one releases it; the tables are copied into the
// process-wide ones only once the report thread has ended, so a report that
// runs late never writes where the eject loop and the follow-up read.
#include "handles/handle_report.h"
#include "handles/handle_list.h"
#include "handles/process_info.h"
#include "handles/handle_scan.h"
#include "base/memory.h"
#include "base/text.h"
#include "console/output.h"
#include <shlwapi.h>

OpenHandleEntry openHandleTable[kOpenHandleLimit + 1];
UnreadableFileEntry unreadableFileTable[kUnreadableFileLimit + 1];
volatile LONG reportAbort;
int reportSkipsViewWalk;

static const DWORD kExtraWaitAfterTimeoutMs = 1000;
static const int kWindowProcessLimit = 1000;
static const int kExeNameLength = 388;

struct ReportJob {
    volatile LONG       references;      // main thread and report thread
    HandleReportRequest request;
    DWORD               redirected;
    BlindSpots          spots;           // processes that could not be looked into
    OpenHandleEntry     table[kOpenHandleLimit + 1];
    UnreadableFileEntry unreadable[kUnreadableFileLimit + 1];
};

static void ReleaseReportJob(ReportJob* job)
{
    if (InterlockedDecrement(&job->references) != 0)
        return;
    MemFree(job);
}

static int IsReportAborted(void)
{
    return __atomic_load_n(&reportAbort, __ATOMIC_ACQUIRE) != 0;
}

// The width the report's lines are made for; a longer line could not be
// found again to be turned back.
static int ReportWidth(void)
{
    int width = GetConsoleWidth();
    return width < 200 ? width : 200;
}

int IsFileReleased(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return 1;
    }
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// ---- volume uses ---------------------------------------------------------

static volatile LONG volumeUses;

int EnterVolumeUse(void)
{
    // A full barrier on both sides: either EndVolumeUse sees this use, or
    // this sees its abort.
    InterlockedIncrement(&volumeUses);
    if (!IsReportAborted())
        return 1;
    LeaveVolumeUse();
    return 0;
}

void LeaveVolumeUse(void)
{
    InterlockedDecrement(&volumeUses);
}

int EndVolumeUse(DWORD limitMs)
{
    InterlockedExchange(&reportAbort, 1);
    DWORD start = GetTickCount();
    while (__atomic_load_n(&volumeUses, __ATOMIC_ACQUIRE) != 0) {
        if (GetTickCount() - start >= limitMs)
            return 0;
        Sleep(5);
    }
    return 1;
}

// ---- holders -------------------------------------------------------------

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

// The file handles to ask about, in snapshot order, into scan (or only
// counted while scan is null); *processCount counts their processes. Never
// asked: the system's ids 0 and 4, this process, excluded processes, with -hv
// (windowIds not null) processes without a visible window, access masks never
// queried and objects other than files.
static int CollectCandidates(const SystemHandleList* list, const DWORD* windowIds,
                             int windowCount, HandleScan* scan, int* processCount)
{
    ULONGLONG self = GetCurrentProcessId();
    int candidates = 0;
    *processCount = 0;
    for (ULONGLONG index = 0; index < list->count;) {
        ULONGLONG owner = list->entries[index].processId;
        ULONGLONG end = index + 1;
        while (end < list->count && list->entries[end].processId == owner)
            end++;
        int skip = owner == 0 || owner == 4 || owner == self ||
                   (windowIds && !IsIdInList(windowIds, windowCount, owner)) ||
                   IsExcludedProcess(owner);
        int first = candidates;
        for (; !skip && index < end; index++) {
            const SystemHandleEntry* entry = &list->entries[index];
            if (IsSkippedAccessMask(entry->grantedAccess) || !IsFileObjectType(entry))
                continue;
            if (scan)
                AddScanCandidate(scan, owner, entry->handleValue, entry->grantedAccess);
            candidates++;
        }
        *processCount += candidates > first;
        index = end;
    }
    return candidates;
}

HandleScan* NewReportScan(const SystemHandleList* list, DWORD visibleWindowsOnly)
{
    DWORD* windowIds = NULL;
    int windowCount = 0;
    if (visibleWindowsOnly) {
        windowIds = (DWORD*)MemAlloc(kWindowProcessLimit * sizeof(DWORD));
        windowCount = CollectWindowProcesses(windowIds, kWindowProcessLimit);
    }
    int processes = 0;
    int candidates = CollectCandidates(list, windowIds, windowCount, NULL, &processes);
    HandleScan* scan = NewHandleScan(processes, candidates);
    CollectCandidates(list, windowIds, windowCount, scan, &processes);
    MemFree(windowIds);
    return scan;
}

// A process of the scan as its holder lines are made: its executable name
// is asked for once, when it first holds something.
struct HolderProcess {
    ULONGLONG id;
    int       first;       // its first record
    int       nameState;   // -1 not asked yet, 0 no name, 1 exeName holds it
    char      exeName[kExeNameLength];
};

// Appends a holder line when name lies on the volume. A view of a file that
// an earlier line of the process names already only marks that line: one
// line per process and file. False once the process can have no more lines.
static int AddHolder(ReportJob* job, HolderProcess* process, HANDLE* processSnapshot,
                     int* count, const char* name, ULONGLONG handleValue, ULONGLONG viewBase)
{
    const char* devicePath = job->request.devicePath;
    if (!name || !IsPathOnVolume(name, devicePath, job->request.driveRoot))
        return 1;
    if (process->nameState < 0)
        process->nameState = GetProcessExeName(processSnapshot, process->id, process->exeName,
                                               sizeof process->exeName, 0);
    if (!process->nameState || *count >= kOpenHandleLimit)
        return 0;
    OpenHandleEntry* record = &job->table[*count];
    SetHandleHolder(record, process->exeName, name, handleValue, process->id, devicePath,
                    job->request.driveRoot);
    record->viewBase = viewBase;
    for (int i = process->first; viewBase && i < *count; i++) {
        OpenHandleEntry* earlier = &job->table[i];
        if (lstrcmpiA(earlier->objectPath, record->objectPath) != 0)
            continue;
        if (!earlier->viewBase)
            earlier->viewBase = viewBase;
        MemFill(record, 0, sizeof *record);
        return 1;
    }
    (*count)++;
    return 1;
}

// A process that refused to be opened, while its name can still be found.
static void AddBlindSpot(BlindSpots* spots, HANDLE* processSnapshot, ULONGLONG processId)
{
    char exeName[MAX_PATH];
    if (!GetProcessExeName(processSnapshot, processId, exeName, sizeof exeName, 0))
        return;   // it has ended
    if (spots->count < kBlindSpotNameLimit) {
        CopyText(spots->exeNames[spots->count], exeName, MAX_PATH);
        spots->processIds[spots->count] = (DWORD)processId;
    }
    spots->count++;
}

// Appends, in process order, the named handles and the mapped views on the
// volume of every process the scan finished in time, while the table has
// room, and notes the processes it could not open. One process snapshot
// gives the executable names.
static void AppendScanHolders(ReportJob* job, const HandleScan* scan, int* count,
                              int privileged)
{
    HANDLE processSnapshot = INVALID_HANDLE_VALUE;
    // The System process (the file system's own metadata files) is never
    // looked into: even an elevated run would need a kernel driver to name
    // its files. Without the privilege it is not counted, as before.
    if (privileged)
        AddBlindSpot(&job->spots, &processSnapshot, 4);
    int views = scan->viewCount < kScanViewLimit ? (int)scan->viewCount : (int)kScanViewLimit;
    for (int p = 0; p < scan->processCount; p++) {
        const ScanProcess* scanned = &scan->processes[p];
        if (__atomic_load_n(&scanned->denied, __ATOMIC_ACQUIRE))
            AddBlindSpot(&job->spots, &processSnapshot, scanned->processId);
        if (!ScanProcessNamed(scan, p))
            continue;
        HolderProcess process;
        process.id = scanned->processId;
        process.first = *count;
        process.nameState = -1;
        int goOn = 1;
        for (int c = scanned->first; goOn && c < scanned->first + scanned->count; c++)
            goOn = AddHolder(job, &process, &processSnapshot, count, ScanCandidateName(scan, c),
                             scan->candidates[c].handleValue, 0);
        for (int v = 0; goOn && v < views; v++)
            if (scan->views[v].process == p)
                goOn = AddHolder(job, &process, &processSnapshot, count, ScanViewName(scan, v),
                                 0, scan->views[v].base);
    }
    if (processSnapshot != INVALID_HANDLE_VALUE)
        CloseHandle(processSnapshot);
}

static int FindVolumeHandleHolders(ReportJob* job, const SystemHandleList* list,
                                   int privileged)
{
    int count = 0;
    FindProcessesRunningFromVolume(job->request.driveRoot, job->request.devicePath,
                                   job->table, kOpenHandleLimit, &count, ReportWidth());
    HandleScan* scan = NewReportScan(list, job->request.visibleWindowsOnly);
    if (!reportSkipsViewWalk)
        SetScanVolume(scan, job->request.devicePath, job->request.driveRoot);
    RunHandleScan(scan, &reportAbort);
    if (!IsReportAborted())
        AppendScanHolders(job, scan, &count, privileged);
    // The follow-up tells a handle from a later one with the same value by it.
    for (int i = 0; i < count; i++)
        if (job->table[i].objectPath[0] && !job->table[i].isModule)
            job->table[i].objectAddress =
                FindObjectAddress(list, job->table[i].handleValue, job->table[i].processId);
    // Workers still inside a call keep the scan until they let go.
    ReleaseHandleScan(scan);
    return count;
}

// ---- lines ---------------------------------------------------------------

// Root files that cannot be opened exclusively and that no holder names,
// recorded before any holder line shortens its path. The search and each open
// are volume uses; the report's abort ends the walk at the next file.
static int FindUnreadableRootFiles(ReportJob* job, int width)
{
    const char* root = job->request.driveRoot;
    if (!root[0] || !EnterVolumeUse())
        return 0;
    char pattern[16];
    wsprintfA(pattern, "%.3s*", root);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    int count = 0;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (IsReportAborted())
                break;
            found.cFileName[MAX_PATH - 1] = 0;
            char path[MAX_PATH];
            wsprintfA(path, "%.3s%.255s", root, found.cFileName);
            // Directories (and names whose attributes cannot be read) are never opened.
            if ((GetFileAttributesA(path) & FILE_ATTRIBUTE_DIRECTORY) ||
                IsFileReleased(path) || IsPathInOpenHandleTable(job->table, path))
                continue;
            UnreadableFileEntry* record = &job->unreadable[count++];
            CopyText(record->fullPath, path, sizeof record->fullPath);
            CopyText(record->path, path, sizeof record->path);
            ShortenMiddle(record->path, width - 10);
        } while (count < kUnreadableFileLimit && FindNextFileA(search, &found));
        FindClose(search);
    }
    LeaveVolumeUse();
    return count;
}

// True when explorer.exe holds a folder on the volume (a path with a drive,
// never the device itself). Reading the attributes is a volume use.
static int HoldsExplorerFolder(const OpenHandleEntry* table, int count)
{
    if (!EnterVolumeUse())
        return 0;
    int found = 0;
    for (int i = 0; i < count && !found; i++) {
        const char* path = table[i].objectPath;
        if (path[0] && path[1] == ':' && IsExplorerExe(table[i].exeName)) {
            DWORD attributes = GetFileAttributesA(path);
            found = attributes != INVALID_FILE_ATTRIBUTES &&
                    (attributes & FILE_ATTRIBUTE_DIRECTORY);
        }
    }
    LeaveVolumeUse();
    return found;
}

// The holder lines in table order, none made after the report's limit; false
// once the report is aborted.
static int PrintHolderLines(ReportJob* job, int count, DWORD start)
{
    int width = ReportWidth();
    for (int i = 0; i < count && !IsReportAborted(); i++) {
        OpenHandleEntry* record = &job->table[i];
        MakeDisplayLine(record, job->request.devicePath, job->request.driveRoot, width,
                        job->redirected, job->request.debugForm);
        if (GetTickCount() - start > kHandleReportLimitMs)
            break;
        NewLineIfNeeded();
        ConsolePrintf("%s", record->displayLine);
        record->consoleRow = GetCursorRow();
    }
    return !IsReportAborted();
}

static void PrintUnreadableRootFiles(ReportJob* job, int count)
{
    for (int i = 0; i < count; i++) {
        UnreadableFileEntry* record = &job->unreadable[i];
        char line[kNoReadTextLength];
        FormatNoReadLine(record, line);
        NewLineIfNeeded();
        ConsolePrintf("%s", line);
        record->consoleRow = GetCursorRow();
    }
}

static int ReportOpenHandles(ReportJob* job)
{
    if (!job->request.volumeName[0] && !job->request.devicePath[0])
        return 0;
    DWORD start = GetTickCount();
    SetConsoleColor(consoleContext, ColorEmphasis);
    int privileged = EnableDebugPrivilege();
    SystemHandleList* list = (SystemHandleList*)MemAlloc(sizeof(SystemHandleList));
    LoadSystemHandleList(list);
    int count = FindVolumeHandleHolders(job, list, privileged);
    FreeSystemHandleList(list);
    MemFree(list);
    int unreadable = FindUnreadableRootFiles(job, ReportWidth());
    // Asked before the lines shorten the paths.
    int explorerShown = job->request.explorerHint && HoldsExplorerFolder(job->table, count);
    if (!PrintHolderLines(job, count, start))
        return 0;
    PrintUnreadableRootFiles(job, unreadable);
    SetConsoleColor(consoleContext, ColorDefault);
    char none[kNoneTextLength];
    char hint[kInspectionHintLength];
    FormatReportEnd(&job->spots, privileged, count + unreadable > 0, none, hint);
    ConsolePrintf("%s", none);
    if (hint[0]) {
        NewLineIfNeeded();
        ConsolePrintf("%s", hint);
    }
    if (explorerShown) {
        NewLineIfNeeded();
        ConsolePrintf("(File Explorer shows this volume; -x closes its windows)");
    }
    return count + unreadable > 0;
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
