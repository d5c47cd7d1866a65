// The scan for names: the candidate handles of many processes, named by a
// small pool of workers. Each worker takes whole processes from a shared
// index, opens each once and asks, inline and in this order, for each
// candidate: a duplicate, its file type and, for a disk file, its name. Each
// worker publishes the call it is in and when that began; the scanning thread
// polls about every 25 ms and abandons a worker that has not moved within the
// limit of that call: 150 ms for a guarded name (the handle is skipped), 1000
// ms for a direct one (the whole process yields no names), 50 ms for the file
// type before Windows Vista (skipped), or whose process has run past its own
// limit of 1000 ms plus 1 ms per candidate (no names). A replacement goes on
// at the next handle, or at the next process. An abandoned worker is never
// stopped: it ends by itself once its call returns. The scan and its workers
// share one heap record by reference count, so what an abandoned worker still
// touches stays valid until it lets go.
// With a volume set (SetScanVolume), a worker that has named a process's
// handles then walks its memory regions for views of data files on the volume
// (a mapped file stays held after its handle is closed), under the same limit
// of the process: a walk past it is abandoned like any call, and the process
// yields no names.
#pragma once
#include <windows.h>
#include "base/native.h"

// The calls a scan makes, with the system's signatures. A null entry means the
// system's own call; tests put fakes here before a scan (to stall on chosen
// handles). name is QueryHandleName's (handle_list.h).
struct HandleCalls {
    HANDLE   (WINAPI* openProcess)(DWORD access, BOOL inherit, DWORD processId);
    BOOL     (WINAPI* duplicate)(HANDLE process, HANDLE handle, HANDLE targetProcess,
                                 HANDLE* copy, DWORD access, BOOL inherit, DWORD options);
    DWORD    (WINAPI* fileType)(HANDLE handle);
    NTSTATUS (*name)(HANDLE handle, WCHAR* name, int nameCount);
    BOOL     (WINAPI* close)(HANDLE handle);
};
extern HandleCalls handleCalls;
// Workers of a scan; 0 (the program's choice) means two under Wine, whose one
// server thread answers every call, and one per processor up to four on
// Windows. The benchmark sets it.
extern int handleScanWorkers;

struct ScanCandidate {
    ULONGLONG     handleValue;
    DWORD         grantedAccess;
    int           process;       // index of its process
    char*         name;          // MemAlloc copy once named; read with an atomic load
};

struct ScanProcess {
    ULONGLONG     processId;
    int           first;         // its candidates: first .. first + count - 1
    int           count;
    DWORD         startTick;     // when a worker first took it
    volatile LONG64 owner;       // who works on it, and its next candidate
    volatile LONG denied;        // it refused to be opened: not inspected
};

// A view of a data file on the volume, found by the region walk.
struct ScanView {
    int           process;       // index of its process
    ULONGLONG     base;          // where the view begins in that process
    char*         name;          // MemAlloc copy; read with an atomic load
};
enum { kScanViewLimit = 100 };

struct HandleScan {
    volatile LONG  references;   // the scanning thread and each worker
    int            processCount;
    int            candidateCount;
    int            processLimit;
    int            candidateLimit;
    ScanProcess*   processes;
    ScanCandidate* candidates;
    volatile LONG  deniedCount;  // processes that refused to be opened
    volatile LONG  abandonedCount;
    char           volumeDevice[260];   // the walk's volume; no walk while
    char           volumeRoot[4];       // volumeRoot is empty
    volatile LONG  viewCount;    // view slots taken, possibly past the limit
    ScanView       views[kScanViewLimit];
    // Used by the run.
    HandleCalls    calls;
    const volatile LONG* stop;
    volatile LONG  quit;         // the run is over: workers stop at the next handle
    volatile LONG  nextProcess;  // the shared index
    volatile LONG  finishedCount;
    volatile LONG  nextToken;
    HANDLE         progress;     // auto-reset: a process finished or a worker ended
};

// A scan with room for processLimit processes and candidateLimit candidates.
HandleScan* NewHandleScan(int processLimit, int candidateLimit);
// Appends a candidate; consecutive candidates of one process id form one process.
void AddScanCandidate(HandleScan* scan, ULONGLONG processId, ULONGLONG handleValue,
                      DWORD grantedAccess);
// Makes the workers walk each process's regions for views of files on the
// volume (device path and drive root as the report has them).
void SetScanVolume(HandleScan* scan, const char* devicePath, const char* driveRoot);
// Runs the scan until every process has finished or *stop (a flag that
// outlives the call, or null) is set. Afterwards the names of a process that
// ScanProcessNamed confirms may be read.
void RunHandleScan(HandleScan* scan, const volatile LONG* stop);
// True when the process finished in time; its names are then final but for a
// skipped handle, whose late name may still arrive.
int ScanProcessNamed(const HandleScan* scan, int process);
const char* ScanCandidateName(const HandleScan* scan, int candidate);
// The name of view slot view once its walk stored it (else null).
const char* ScanViewName(const HandleScan* scan, int view);
// Drops the caller's reference.
void ReleaseHandleScan(HandleScan* scan);
