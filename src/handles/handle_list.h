// Snapshot of every open handle in the system (SystemExtendedHandleInformation),
// the test for file objects, and the name query of one handle (handle_scan.h
// asks it for many processes under time limits).
// Calling order: LoadSystemHandleList, any tests and queries, FreeSystemHandleList.
#pragma once
#include <windows.h>
#include "base/native.h"

struct SystemHandleList {
    void*              buffer;             // the query's result block; null when it failed
    SystemHandleEntry* entries;            // after the header; null when the query failed
    ULONGLONG          count;              // 0 when the query failed
    // This list's own probe (a file of the system directory, open while the
    // file type index is unknown; never a file that could lie on the volume
    // being ejected). Kept per list so that loads and releases on different
    // threads never close each other's probe.
    HANDLE             probeHandle;
};

enum {
    kExcludedProcessLimit = 10,
    kNameTextLength = 1024,       // one object name in the ANSI code page
    kWideNameCount = 1024,        // UTF-16 units of a name as asked for
};

// Object type index of file objects; 0 until learned, then fixed for the run.
// Written (only ever 0 -> learned value) by whichever thread loads a list.
extern volatile WORD fileTypeIndex;
// Ids of the processes never examined, read up to the first zero slot. Filled
// once by the first load that finds one of them; slot 0 is published last.
extern volatile ULONGLONG excludedProcessIds[kExcludedProcessLimit];

// list must be zero-filled. Returns list, filled or empty (count 0).
SystemHandleList* LoadSystemHandleList(SystemHandleList* list);
// Releases buffer and closes the list's probe; the caller releases the record.
void FreeSystemHandleList(SystemHandleList* list);

int IsFileObjectType(const SystemHandleEntry* entry);
int IsSkippedAccessMask(DWORD mask);   // never queried
int IsGuardedAccessMask(DWORD mask);   // named in a worker with a 150 ms limit
// The handle still stands for the same file: a handle value comes back for
// the next file its process opens, so where both snapshots carry the file
// object's address, it must match too.
int IsHandleInList(const SystemHandleList* list, ULONGLONG handleValue,
                   ULONGLONG processId, ULONGLONG objectAddress);
// The file object's address of a process's handle in the list; 0 when the
// list does not have it or gives none.
ULONGLONG FindObjectAddress(const SystemHandleList* list, ULONGLONG handleValue,
                            ULONGLONG processId);
int IsExcludedProcess(ULONGLONG processId);
// The right to ask a process for names and paths: the limited one from
// Windows Vista on.
DWORD ProcessQueryRights(void);

// Enables the debug privilege, with which an elevated run opens other users'
// and the system's processes (all but protected ones). True when the process
// holds it, that is when it runs elevated.
int EnableDebugPrivilege(void);

// The object name of a handle of this process into name (nameCount units,
// always terminated; empty unless named). Returns the status of the query: 0
// or STATUS_VOLUME_DISMOUNTED with a name, else the failure.
NTSTATUS QueryHandleName(HANDLE handle, WCHAR* name, int nameCount);
// textCount units of text into out (outLength bytes, always terminated) in
// codePage; a text that does not fit is cut at a character boundary. Returns
// the length written.
int NameToAnsi(const WCHAR* text, int textCount, char* out, int outLength, UINT codePage);

// Pure rules, exposed for tests.
// Whether typeIndex is a file object's, given the learned index (0 when not
// yet learned) and the packed system version.
int IsFileTypeIndex(WORD typeIndex, WORD learnedIndex, DWORD packedVersion);
// After the first, 56-byte query: the length to give the second query.
enum SnapshotLengthDecision { SnapshotQueryAgain, SnapshotAccessDenied, SnapshotGiveUp };
int DecideSnapshotLength(NTSTATUS status, ULONG returnedLength, ULONG* length);
