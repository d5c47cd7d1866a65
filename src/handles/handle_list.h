// Snapshot of every open handle in the system (SystemExtendedHandleInformation),
// the test for file objects, and the names of one process's file handles.
// Queries that may block run on worker threads under a time limit; a worker
// that misses its limit is abandoned, never stopped, and owns everything it
// still uses (it releases that itself when its call finally returns).
// Calling order: LoadSystemHandleList, any tests and queries, FreeSystemHandleList.
#pragma once
#include <windows.h>
#include "base/native.h"

struct SystemHandleList {
    void*              buffer;             // the query's result block; null when it failed
    DWORD              visibleWindowsOnly; // read by the report's scan
    SystemHandleEntry* entries;            // after the header; null when the query failed
    ULONGLONG          count;              // 0 when the query failed
    // This list's own probe (our executable, open while the file type index is
    // unknown). Kept per list so that loads and releases on different threads
    // never close each other's probe.
    HANDLE             probeHandle;
};

enum {
    kExcludedProcessLimit = 10,
    kNameTextLength = 1024,       // one object name in the ANSI code page
    kGuardedQueryLimitMs = 150,
    kFileTypeQueryLimitMs = 50,
    kDirectQueryLimitMs = 1000,
};

// Object type index of file objects; 0 until learned, then fixed for the run.
// Written (only ever 0 -> learned value) by whichever thread loads a list.
extern volatile WORD fileTypeIndex;
// Ids of the processes never examined, read up to the first zero slot. Filled
// once by the first load that finds one of them; slot 0 is published last.
extern volatile ULONGLONG excludedProcessIds[kExcludedProcessLimit];

// list must be zero-filled. Returns list, filled or empty (count 0).
SystemHandleList* LoadSystemHandleList(SystemHandleList* list, DWORD visibleWindowsOnly);
// Releases buffer and closes the list's probe; the caller releases the record.
void FreeSystemHandleList(SystemHandleList* list);

int IsFileObjectType(const SystemHandleEntry* entry);
int IsSkippedAccessMask(DWORD mask);   // never queried
int IsGuardedAccessMask(DWORD mask);   // named in a worker with a 150 ms limit
int IsHandleInList(const SystemHandleList* list, ULONGLONG handleValue,
                   ULONGLONG processId);
int IsExcludedProcess(ULONGLONG processId);
// The right to ask a process for names and paths: the limited one from
// Windows Vista on.
DWORD ProcessQueryRights(void);

struct BoundedWorker;   // bounded_worker.h; a null pointer starts a new one

// handles ends with a 0 entry; masks and names run parallel to it. names starts
// all null; each name obtained is a MemAlloc copy the caller releases. Guarded
// queries run on *nameWorker. Once *stop (a flag that outlives the call, or
// null) is set, no further handle is asked. True when at least one name was
// stored.
int QueryProcessHandleNames(BoundedWorker** nameWorker, ULONGLONG processId,
                            const ULONGLONG* handles, const DWORD* masks, char** names,
                            const volatile LONG* stop);
// The same on *processWorker, waited for at most limitMs. The worker works on
// copies of its own; names reach the caller's array only when it returned in
// time with a name, so the caller may release its arrays whatever the outcome.
int QueryHandleNamesWithTimeout(BoundedWorker** processWorker, ULONGLONG processId,
                                const ULONGLONG* handles, const DWORD* masks,
                                char** names, DWORD limitMs, const volatile LONG* stop);
// Object name of a handle of this process, on *worker with a limit. Takes the
// handle over (a worker that misses the limit closes it once its query
// returns). 0 with the name in name (nameLength bytes), STATUS_TIMEOUT (258)
// on time-out, or the failure status (0 or STATUS_VOLUME_DISMOUNTED for an
// empty name).
NTSTATUS QueryObjectNameWithTimeout(BoundedWorker** worker, HANDLE duplicate, char* name,
                                    int nameLength, DWORD limitMs);
// GetFileType on *worker with a 50 ms limit; FILE_TYPE_PIPE on time-out or
// when no worker can be started. The caller keeps and closes its handle.
DWORD GetFileTypeWithTimeout(BoundedWorker** worker, HANDLE duplicate);

// Pure rules, exposed for tests.
// Whether typeIndex is a file object's, given the learned index (0 when not
// yet learned) and the packed system version.
int IsFileTypeIndex(WORD typeIndex, WORD learnedIndex, DWORD packedVersion);
// After the first, 56-byte query: the length to give the second query.
enum SnapshotLengthDecision { SnapshotQueryAgain, SnapshotAccessDenied, SnapshotGiveUp };
int DecideSnapshotLength(NTSTATUS status, ULONG returnedLength, ULONG* length);
