// The worker pool of the handle scan. A process's owner word holds the token
// of the worker that works on it and its next candidate; a worker claims each
// candidate by moving that word on, and the scanning thread abandons a worker
// by changing the word's token, so that worker's next claim fails: whatever
// it was doing, it ends there. Final owners mark a process as finished.
#include "handles/handle_scan.h"
#include "handles/handle_list.h"
#include "handles/handle_report.h"
#include "base/imports.h"
#include "base/memory.h"
#include "base/system.h"
#include "base/text.h"

HandleCalls handleCalls;
int handleScanWorkers;

static const DWORD kOwnerNamed = 0xFFFFFFFF;    // finished in time
static const DWORD kOwnerFailed = 0xFFFFFFFE;   // given up: no names
static const DWORD kPollMs = 25;
static const DWORD kProcessBaseLimitMs = 1000;
static const DWORD kGuardedQueryLimitMs = 150;
static const DWORD kDirectQueryLimitMs = 1000;
static const DWORD kFileTypeQueryLimitMs = 50;   // before Windows Vista only
enum { kScanWorkerLimit = 4, kScanStackLength = 64 * 1024 };

// What a worker is doing, published with the tick it began and the candidate.
enum ScanPhase { PhaseOpen = 1, PhaseDuplicate, PhaseType, PhaseGuardedName,
                 PhaseDirectName, PhaseClose, PhaseWalk };
// The rights a region walk needs besides those of the handle names: regions,
// their file names and image headers.
static const DWORD kWalkRights = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
enum HandleOutcome { HandleNext, HandleStop, HandleProcessTooSlow };

struct ScanWorker {
    volatile LONG   references;   // its thread and the scanning thread
    HandleScan*     scan;
    DWORD           token;
    int             resume;       // process to go on with; -1: take from the index
    volatile LONG64 stamp;        // tick << 32 | phase << 28 | candidate
    volatile LONG   process;      // the process it took last; -1 before
    volatile LONG   ended;
};

static LONG64 OwnerWord(DWORD token, DWORD next)
{
    return (LONG64)(((ULONGLONG)token << 32) | next);
}

static DWORD WordToken(LONG64 word)
{
    return (DWORD)((ULONGLONG)word >> 32);
}

static LONG64 LoadOwner(const ScanProcess* process)
{
    return __atomic_load_n(&process->owner, __ATOMIC_ACQUIRE);
}

static int MoveOwner(ScanProcess* process, LONG64 expected, LONG64 word)
{
    return __atomic_compare_exchange_n(&process->owner, &expected, word, false,
                                       __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

HandleScan* NewHandleScan(int processLimit, int candidateLimit)
{
    SIZE_T processes = processLimit > 0 ? (SIZE_T)processLimit : 0;
    SIZE_T candidates = candidateLimit > 0 ? (SIZE_T)candidateLimit : 0;
    HandleScan* scan = (HandleScan*)MemAlloc(sizeof(HandleScan) +
                                             processes * sizeof(ScanProcess) +
                                             candidates * sizeof(ScanCandidate));
    scan->candidates = (ScanCandidate*)(scan + 1);
    scan->processes = (ScanProcess*)(scan->candidates + candidates);
    scan->processLimit = (int)processes;
    scan->candidateLimit = (int)candidates;
    scan->references = 1;
    return scan;
}

void AddScanCandidate(HandleScan* scan, ULONGLONG processId, ULONGLONG handleValue,
                      DWORD grantedAccess)
{
    if (scan->candidateCount >= scan->candidateLimit)
        return;
    int last = scan->processCount - 1;
    ScanProcess* process = last >= 0 ? &scan->processes[last] : NULL;
    if (!process || process->processId != processId) {
        if (scan->processCount >= scan->processLimit)
            return;
        process = &scan->processes[scan->processCount++];
        process->processId = processId;
        process->first = scan->candidateCount;
        process->owner = OwnerWord(0, (DWORD)process->first);
    }
    ScanCandidate* candidate = &scan->candidates[scan->candidateCount];
    candidate->handleValue = handleValue;
    candidate->grantedAccess = grantedAccess;
    candidate->process = scan->processCount - 1;
    process->count++;
    scan->candidateCount++;
}

void ReleaseHandleScan(HandleScan* scan)
{
    if (InterlockedDecrement(&scan->references) != 0)
        return;
    for (int i = 0; i < scan->candidateCount; i++)
        MemFree(scan->candidates[i].name);
    for (int i = 0; i < scan->viewCount && i < kScanViewLimit; i++)
        MemFree(scan->views[i].name);
    if (scan->progress)
        CloseHandle(scan->progress);
    MemFree(scan);
}

static void ReleaseScanWorker(ScanWorker* worker)
{
    if (InterlockedDecrement(&worker->references) != 0)
        return;
    ReleaseHandleScan(worker->scan);
    MemFree(worker);
}

int ScanProcessNamed(const HandleScan* scan, int process)
{
    return WordToken(LoadOwner(&scan->processes[process])) == kOwnerNamed;
}

const char* ScanCandidateName(const HandleScan* scan, int candidate)
{
    return __atomic_load_n(&scan->candidates[candidate].name, __ATOMIC_ACQUIRE);
}

const char* ScanViewName(const HandleScan* scan, int view)
{
    return __atomic_load_n(&scan->views[view].name, __ATOMIC_ACQUIRE);
}

void SetScanVolume(HandleScan* scan, const char* devicePath, const char* driveRoot)
{
    CopyText(scan->volumeDevice, devicePath, sizeof scan->volumeDevice);
    CopyText(scan->volumeRoot, driveRoot, sizeof scan->volumeRoot);
}

static int IsScanStopped(const HandleScan* scan)
{
    return __atomic_load_n(&scan->quit, __ATOMIC_ACQUIRE) ||
           (scan->stop && __atomic_load_n(scan->stop, __ATOMIC_ACQUIRE));
}

// Gives the process its final owner, unless someone else moved its word.
static int FinishProcess(HandleScan* scan, int index, LONG64 expected, DWORD outcome)
{
    if (!MoveOwner(&scan->processes[index], expected,
                   OwnerWord(outcome, (DWORD)expected)))
        return 0;
    InterlockedIncrement(&scan->finishedCount);
    SetEvent(scan->progress);
    return 1;
}

static DWORD PhaseLimit(int phase)
{
    switch (phase) {
    case PhaseGuardedName:
        return kGuardedQueryLimitMs;
    case PhaseDirectName:
        return kDirectQueryLimitMs;
    case PhaseType:
        return osVersion.major < 6 ? kFileTypeQueryLimitMs : 0;
    default:
        return 0;   // only the process's own limit
    }
}

// True when a call of the phase, begun at tick began, is past its limit at now.
static int IsPastLimit(int phase, DWORD began, DWORD now)
{
    DWORD limit = PhaseLimit(phase);
    return limit != 0 && now - began > limit;
}

// ---- a worker ----------------------------------------------------------

static DWORD Publish(ScanWorker* worker, int phase, DWORD candidate)
{
    DWORD now = GetTickCount();
    __atomic_store_n(&worker->stamp,
                     (LONG64)(((ULONGLONG)now << 32) | ((ULONGLONG)phase << 28) | candidate),
                     __ATOMIC_RELEASE);
    return now;
}

// File type, then name, of one duplicate; the name goes into the candidate.
static int NameDuplicate(ScanWorker* worker, HANDLE duplicate, DWORD index)
{
    HandleScan* scan = worker->scan;
    ScanCandidate* candidate = &scan->candidates[index];
    // Each call is measured here too, so a call past its limit counts as such
    // even when the scanning thread did not look in time.
    DWORD start = Publish(worker, PhaseType, index);
    DWORD type = scan->calls.fileType(duplicate);
    if (type != FILE_TYPE_DISK || IsPastLimit(PhaseType, start, GetTickCount()))
        return HandleNext;
    int phase = IsGuardedAccessMask(candidate->grantedAccess) ? PhaseGuardedName
                                                              : PhaseDirectName;
    start = Publish(worker, phase, index);
    // The name comes back empty unless its query gave one.
    WCHAR wide[kWideNameCount];
    scan->calls.name(duplicate, wide, kWideNameCount);
    int late = IsPastLimit(phase, start, GetTickCount());
    if (late && phase == PhaseDirectName)
        return HandleProcessTooSlow;
    if (late || wide[0] == 0)
        return HandleNext;
    char name[kNameTextLength];
    NameToAnsi(wide, lstrlenW(wide), name, sizeof name, CP_ACP);
    __atomic_store_n(&candidate->name, DupString(name), __ATOMIC_RELEASE);
    return HandleNext;
}

// A duplicate may name a file on the volume: it is held only as a volume use.
static int ScanHandle(ScanWorker* worker, HANDLE process, DWORD index)
{
    HandleScan* scan = worker->scan;
    if (!EnterVolumeUse())
        return HandleStop;
    Publish(worker, PhaseDuplicate, index);
    HANDLE duplicate = NULL;
    int outcome = HandleNext;
    if (scan->calls.duplicate(process, (HANDLE)(ULONG_PTR)scan->candidates[index].handleValue,
                              GetCurrentProcess(), &duplicate, ProcessQueryRights(), FALSE,
                              0)) {
        outcome = NameDuplicate(worker, duplicate, index);
        Publish(worker, PhaseClose, index);
        scan->calls.close(duplicate);
    }
    LeaveVolumeUse();
    return outcome;
}

// The end of the image view that begins at base: its size from its header,
// taken only when the view's last page is still part of it (a header that
// claims more would hide the views behind it). next when unknown.
static char* ImageEnd(HANDLE process, char* base, char* next)
{
    NtReadVirtualMemoryFn readMemory =
        (NtReadVirtualMemoryFn)GetImport(ImportNtReadVirtualMemory);
    BYTE header[1024];
    SIZE_T read = 0;
    LONG offset = 0;
    DWORD signature = 0, size = 0;
    if (!readMemory || readMemory(process, base, header, sizeof header, &read) != 0 ||
        read != sizeof header)
        return next;
    MemCopy(&offset, header + 0x3C, sizeof offset);   // e_lfanew
    if (offset < 0 || offset > (LONG)sizeof header - 0x58)
        return next;
    MemCopy(&signature, header + offset, sizeof signature);
    // SizeOfImage: at the same place in 32- and 64-bit optional headers.
    MemCopy(&size, header + offset + 24 + 56, sizeof size);
    MEMORY_BASIC_INFORMATION last;
    char* end = base + size;
    if (signature != IMAGE_NT_SIGNATURE || end <= next ||
        VirtualQueryEx(process, end - 1, &last, sizeof last) != sizeof last ||
        last.AllocationBase != base)
        return next;
    return end;
}

// Keeps a view whose file lies on the scan's volume in the next free slot.
static void KeepView(HandleScan* scan, int index, HANDLE process, char* base,
                     GetMappedFileNameAFn mappedName)
{
    char name[kNameTextLength];
    MemFill(name, 0, sizeof name);
    if (!mappedName(process, base, name, sizeof name - 1) ||
        !IsPathOnVolume(name, scan->volumeDevice, scan->volumeRoot))
        return;
    LONG slot = InterlockedIncrement(&scan->viewCount) - 1;
    if (slot >= kScanViewLimit)
        return;
    scan->views[slot].process = index;
    scan->views[slot].base = (ULONG_PTR)base;
    __atomic_store_n(&scan->views[slot].name, DupString(name), __ATOMIC_RELEASE);
}

// Walks the process's regions once its handles are named (word: the owner
// word then). Image views are passed over whole (module holders cover them),
// each other view is named once. False when the walk was abandoned or stopped.
static int WalkViews(ScanWorker* worker, int index, HANDLE process, LONG64 word)
{
    HandleScan* scan = worker->scan;
    ScanProcess* scanned = &scan->processes[index];
    GetMappedFileNameAFn mappedName =
        (GetMappedFileNameAFn)GetImport(ImportK32GetMappedFileNameA);
    MEMORY_BASIC_INFORMATION region;
    Publish(worker, PhaseWalk, (DWORD)scanned->first);
    for (char* address = NULL; mappedName;) {
        if (LoadOwner(scanned) != word || IsScanStopped(scan))
            return 0;
        if (VirtualQueryEx(process, address, &region, sizeof region) != sizeof region)
            break;
        char* base = (char*)region.BaseAddress;
        char* next = base + region.RegionSize;
        if (base == region.AllocationBase && region.Type == MEM_IMAGE)
            next = ImageEnd(process, base, next);
        else if (base == region.AllocationBase && region.Type == MEM_MAPPED)
            KeepView(scan, index, process, base, mappedName);
        if (next <= address)
            break;
        address = next;
    }
    return 1;
}

// Claims and names the process's candidates one by one. True when this
// worker may go on with another process.
static int ScanProcessHandles(ScanWorker* worker, int index, HANDLE process, int walk)
{
    HandleScan* scan = worker->scan;
    ScanProcess* scanned = &scan->processes[index];
    DWORD end = (DWORD)(scanned->first + scanned->count);
    for (;;) {
        LONG64 word = LoadOwner(scanned);
        DWORD next = (DWORD)word;
        if (WordToken(word) != worker->token || IsScanStopped(scan))
            return 0;
        if (next >= end)
            return (!walk || WalkViews(worker, index, process, word)) &&
                   FinishProcess(scan, index, word, kOwnerNamed);
        if (!MoveOwner(scanned, word, OwnerWord(worker->token, next + 1)))
            return 0;
        int outcome = ScanHandle(worker, process, next);
        if (outcome == HandleStop)
            return 0;
        if (outcome == HandleProcessTooSlow)
            return FinishProcess(scan, index, OwnerWord(worker->token, next + 1),
                                 kOwnerFailed);
    }
}

static int ScanProcessOnce(ScanWorker* worker, int index)
{
    HandleScan* scan = worker->scan;
    ScanProcess* scanned = &scan->processes[index];
    Publish(worker, PhaseOpen, (DWORD)scanned->first);
    DWORD rights = ProcessQueryRights() | PROCESS_DUP_HANDLE;
    DWORD id = (DWORD)scanned->processId;
    // A process that lets its handles be named but not its regions read is
    // still named.
    int walk = scan->volumeRoot[0] != 0;
    HANDLE process = walk ? scan->calls.openProcess(rights | kWalkRights, FALSE, id) : NULL;
    if (!process) {
        walk = 0;
        process = scan->calls.openProcess(rights, FALSE, id);
    }
    if (!process) {
        // Other users' processes, unless the run is elevated; protected ones.
        if (GetLastError() == ERROR_ACCESS_DENIED) {
            InterlockedIncrement(&scan->deniedCount);
            __atomic_store_n(&scanned->denied, 1, __ATOMIC_RELEASE);
        }
        LONG64 word = LoadOwner(scanned);
        return WordToken(word) == worker->token &&
               FinishProcess(scan, index, word, kOwnerFailed);
    }
    int goOn = ScanProcessHandles(worker, index, process, walk);
    scan->calls.close(process);
    return goOn;
}

static DWORD WINAPI ScanWorker_ThreadProc(LPVOID parameter)
{
    ScanWorker* worker = (ScanWorker*)parameter;
    HandleScan* scan = worker->scan;
    for (int index = worker->resume;; index = -1) {
        if (index < 0) {
            index = InterlockedIncrement(&scan->nextProcess) - 1;
            if (index >= scan->processCount)
                break;
            ScanProcess* taken = &scan->processes[index];
            taken->startTick = GetTickCount();
            __atomic_store_n(&taken->owner, OwnerWord(worker->token, (DWORD)taken->first),
                             __ATOMIC_RELEASE);
        }
        __atomic_store_n(&worker->process, index, __ATOMIC_RELEASE);
        if (!ScanProcessOnce(worker, index))
            break;
    }
    __atomic_store_n(&worker->ended, 1, __ATOMIC_RELEASE);
    SetEvent(scan->progress);
    ReleaseScanWorker(worker);
    return 0;
}

// ---- the scanning thread -------------------------------------------------

// A worker that goes on with process resume (or takes from the index) under
// token; null when no thread can be started.
static ScanWorker* StartScanWorker(HandleScan* scan, int resume, DWORD token)
{
    ScanWorker* worker = (ScanWorker*)MemAlloc(sizeof(ScanWorker));
    worker->scan = scan;
    worker->token = token;
    worker->resume = resume;
    worker->process = -1;
    worker->references = 2;
    InterlockedIncrement(&scan->references);
    HANDLE thread = CreateThread(NULL, kScanStackLength, ScanWorker_ThreadProc, worker,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
    if (!thread) {
        ReleaseScanWorker(worker);
        ReleaseScanWorker(worker);
        return NULL;
    }
    CloseHandle(thread);
    return worker;
}

static DWORD NewToken(HandleScan* scan)
{
    return (DWORD)InterlockedIncrement(&scan->nextToken);
}

// Lets the worker in *slot go and puts a replacement there.
static void ReplaceWorker(HandleScan* scan, ScanWorker** slot, int resume, DWORD token)
{
    InterlockedIncrement(&scan->abandonedCount);
    ReleaseScanWorker(*slot);
    *slot = StartScanWorker(scan, resume, token);
    if (!*slot && resume >= 0)
        FinishProcess(scan, resume, LoadOwner(&scan->processes[resume]), kOwnerFailed);
}

// Abandons the worker in *slot when its process or its call is past its limit.
static void CheckWorker(HandleScan* scan, ScanWorker** slot)
{
    ScanWorker* worker = *slot;
    DWORD now = GetTickCount();
    LONG64 stamp = __atomic_load_n(&worker->stamp, __ATOMIC_ACQUIRE);
    int index = __atomic_load_n(&worker->process, __ATOMIC_ACQUIRE);
    if (index < 0)
        return;
    ScanProcess* scanned = &scan->processes[index];
    LONG64 word = LoadOwner(scanned);
    if (WordToken(word) != worker->token)
        return;   // between processes, or finished
    if (now - scanned->startTick > kProcessBaseLimitMs + (DWORD)scanned->count) {
        if (FinishProcess(scan, index, word, kOwnerFailed))
            ReplaceWorker(scan, slot, -1, NewToken(scan));
        return;
    }
    DWORD began = (DWORD)((ULONGLONG)stamp >> 32);
    DWORD candidate = (DWORD)stamp & 0x0FFFFFFF;
    int phase = (int)(((ULONGLONG)stamp >> 28) & 15);
    if (!IsPastLimit(phase, began, now))
        return;
    // The stamp is the worker's current call only while the word still holds
    // the worker's claim of that candidate.
    index = scan->candidates[candidate].process;
    LONG64 claimed = OwnerWord(worker->token, candidate + 1);
    if (phase == PhaseDirectName) {
        if (FinishProcess(scan, index, claimed, kOwnerFailed))
            ReplaceWorker(scan, slot, -1, NewToken(scan));
        return;
    }
    DWORD token = NewToken(scan);
    if (MoveOwner(&scan->processes[index], claimed, OwnerWord(token, candidate + 1)))
        ReplaceWorker(scan, slot, index, token);
}

static int ScanPoolSize(const HandleScan* scan)
{
    int size = handleScanWorkers;
    if (size <= 0) {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        size = GetImport(ImportWineGetVersion) ? 2 : (int)system.dwNumberOfProcessors;
    }
    if (size > kScanWorkerLimit)
        size = kScanWorkerLimit;
    if (size > scan->processCount)
        size = scan->processCount;
    return size;
}

static void FillCalls(HandleCalls* calls)
{
    *calls = handleCalls;
    if (!calls->openProcess)
        calls->openProcess = OpenProcess;
    if (!calls->duplicate)
        calls->duplicate = DuplicateHandle;
    if (!calls->fileType)
        calls->fileType = GetFileType;
    if (!calls->name)
        calls->name = QueryHandleName;
    if (!calls->close)
        calls->close = CloseHandle;
}

void RunHandleScan(HandleScan* scan, const volatile LONG* stop)
{
    FillCalls(&scan->calls);
    scan->stop = stop;
    scan->progress = CreateEventA(NULL, FALSE, FALSE, NULL);
    ScanWorker* workers[kScanWorkerLimit] = {};
    int poolSize = scan->progress ? ScanPoolSize(scan) : 0;
    for (int i = 0; i < poolSize; i++)
        workers[i] = StartScanWorker(scan, -1, NewToken(scan));
    for (int live = poolSize; live > 0 && !IsScanStopped(scan) &&
                              __atomic_load_n(&scan->finishedCount, __ATOMIC_ACQUIRE) <
                                  scan->processCount;) {
        WaitForSingleObject(scan->progress, kPollMs);
        live = 0;
        for (ScanWorker*& worker : workers) {
            if (worker && __atomic_load_n(&worker->ended, __ATOMIC_ACQUIRE)) {
                ReleaseScanWorker(worker);
                worker = NULL;
            }
            if (worker)
                CheckWorker(scan, &worker);
            live += worker != NULL;
        }
    }
    __atomic_store_n(&scan->quit, 1, __ATOMIC_RELEASE);
    for (ScanWorker* worker : workers)
        if (worker)
            ReleaseScanWorker(worker);
}
