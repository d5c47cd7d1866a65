// Object names of one process's file handles. The queries able to block run
// on bounded workers (bounded_worker.h) that are kept from one call to the
// next, so a query costs a thread only after one was abandoned. Each job is a
// heap record shared by reference count between caller and worker; the last
// one releases it, so an abandoned worker never touches freed memory.
#include "handles/handle_list.h"
#include "handles/bounded_worker.h"
#include "base/imports.h"
#include "base/memory.h"
#include "base/system.h"
#include "base/text.h"

DWORD ProcessQueryRights(void)
{
    return osVersion.major >= 6 ? PROCESS_QUERY_LIMITED_INFORMATION
                                : PROCESS_QUERY_INFORMATION;
}

// UTF-16 text of textCount units to the ANSI code page; out is always
// terminated.
static void NameToAnsi(const WCHAR* text, int textCount, char* out, int outLength)
{
    MemFill(out, 0, (SIZE_T)outLength);
    int limit = textCount + 1 < outLength - 1 ? textCount + 1 : outLength - 1;
    int written = WideCharToMultiByte(CP_ACP, 0, text, textCount, out, limit, NULL, NULL);
    out[written > 0 ? written : 0] = 0;
}

static int IsNameStatus(NTSTATUS status)
{
    return status == STATUS_SUCCESS || status == STATUS_VOLUME_DISMOUNTED;
}

// ---- the name query itself ------------------------------------------------

static const ULONG kFirstReplyLength = 1024;
// UTF-16 units of a name as asked for, before its conversion to ANSI.
enum { kWideNameCount = 1024 };
// A counted string holds at most 65534 bytes of text.
static const ULONG kLongestReplyLength = 0x10000 + sizeof(OBJECT_NAME_INFORMATION);

// Copies textCount units of text to out (outCount with the terminator); a
// longer text keeps its start (the volume) and its end (the file name) with
// "..." between them.
static void CopyNameShortened(const WCHAR* text, int textCount, WCHAR* out, int outCount)
{
    int countLimit = outCount - 1;
    if (textCount <= countLimit) {
        MemCopy(out, text, (SIZE_T)textCount * sizeof(WCHAR));
        out[textCount] = 0;
        return;
    }
    int head = (countLimit - 3) / 2;
    int tail = countLimit - 3 - head;
    MemCopy(out, text, (SIZE_T)head * sizeof(WCHAR));
    out[head] = out[head + 1] = out[head + 2] = L'.';
    MemCopy(out + head + 3, text + textCount - tail, (SIZE_T)tail * sizeof(WCHAR));
    out[countLimit] = 0;
}

// Asks for the handle's object name into out (outCount units). A name too
// long for the first reply is asked for again with the length the system
// gave, so a file with a long path is still named, shortened in the middle.
// Returns the status of the last query; out is empty unless a name was obtained.
static NTSTATUS QueryNameInto(NtQueryObjectFn query, HANDLE handle, WCHAR* out,
                              int outCount)
{
    out[0] = 0;
    ULONG replyLength = kFirstReplyLength;
    for (int attempt = 0;; attempt++) {
        // Two spare zero units behind the reply keep the text terminated.
        char* reply = (char*)MemAlloc(replyLength + 4);
        ULONG returned = 0;
        NTSTATUS status = query(handle, ObjectNameInformation, reply, replyLength, &returned);
        int tooSmall = status == STATUS_BUFFER_OVERFLOW ||
                       status == STATUS_INFO_LENGTH_MISMATCH ||
                       status == STATUS_BUFFER_TOO_SMALL;
        if (attempt == 0 && tooSmall && returned > replyLength &&
            returned <= kLongestReplyLength) {
            MemFree(reply);
            replyLength = returned;
            continue;
        }
        if (IsNameStatus(status)) {
            // The text right behind the header, not through the header's pointer.
            const WCHAR* text = (const WCHAR*)(reply + sizeof(OBJECT_NAME_INFORMATION));
            int available =
                (int)((replyLength - sizeof(OBJECT_NAME_INFORMATION)) / sizeof(WCHAR));
            int count = ((const OBJECT_NAME_INFORMATION*)reply)->Name.Length /
                        (int)sizeof(WCHAR);
            if (count <= 0 || count > available)
                count = lstrlenW(text) < available ? lstrlenW(text) : available;
            CopyNameShortened(text, count, out, outCount);
        }
        MemFree(reply);
        return status;
    }
}

// ---- guarded queries on one handle ---------------------------------------

struct NameQueryRequest {
    HANDLE        handle;       // owned by the request, closed on its release
    WCHAR         name[kWideNameCount];
    NTSTATUS      status;       // -1 until the query returned
    DWORD         fileType;
    volatile LONG references;   // caller and worker
};

static void ReleaseNameQuery(void* job)
{
    NameQueryRequest* request = (NameQueryRequest*)job;
    if (InterlockedDecrement(&request->references) != 0)
        return;
    CloseHandle(request->handle);
    MemFree(request);
}

static NameQueryRequest* NewNameQuery(HANDLE handle)
{
    NameQueryRequest* request = (NameQueryRequest*)MemAlloc(sizeof(NameQueryRequest));
    request->handle = handle;
    request->status = (NTSTATUS)0xFFFFFFFF;
    request->references = 2;
    return request;
}

static DWORD QueryObjectName_Call(void* job, BoundedWorker**)
{
    NameQueryRequest* request = (NameQueryRequest*)job;
    NtQueryObjectFn query = (NtQueryObjectFn)GetImport(ImportNtQueryObject);
    request->status = query ? QueryNameInto(query, request->handle, request->name,
                                            kWideNameCount)
                            : STATUS_NO_MEMORY;
    return 0;
}

NTSTATUS QueryObjectNameWithTimeout(BoundedWorker** worker, HANDLE duplicate, char* name,
                                    int nameLength, DWORD limitMs)
{
    NameQueryRequest* request = NewNameQuery(duplicate);
    DWORD ignored = 0;
    int outcome = RunOnWorker(worker, QueryObjectName_Call, request, ReleaseNameQuery,
                              limitMs, &ignored);
    if (outcome != WorkerInTime) {
        // After a time-out the worker keeps the request, and with it the
        // handle, until its query returns.
        ReleaseNameQuery(request);
        return outcome == WorkerTimedOut ? STATUS_TIMEOUT : STATUS_NO_MEMORY;
    }
    NTSTATUS status = request->status;
    if (IsNameStatus(status) && request->name[0] != 0) {
        NameToAnsi(request->name, lstrlenW(request->name), name, nameLength);
        status = STATUS_SUCCESS;
    }
    ReleaseNameQuery(request);
    return status;
}

static DWORD GetFileType_Call(void* job, BoundedWorker**)
{
    NameQueryRequest* request = (NameQueryRequest*)job;
    request->fileType = GetFileType(request->handle);
    return request->fileType;
}

DWORD GetFileTypeWithTimeout(BoundedWorker** worker, HANDLE duplicate)
{
    HANDLE self = GetCurrentProcess();
    HANDLE own = NULL;
    if (!DuplicateHandle(self, duplicate, self, &own, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return FILE_TYPE_PIPE;
    NameQueryRequest* request = NewNameQuery(own);
    DWORD type = FILE_TYPE_PIPE;
    if (RunOnWorker(worker, GetFileType_Call, request, ReleaseNameQuery,
                    kFileTypeQueryLimitMs, &type) != WorkerInTime)
        type = FILE_TYPE_PIPE;
    ReleaseNameQuery(request);
    return type;
}

// ---- per-process query ---------------------------------------------------

// A direct name query; false when it took longer than the limit.
static int QueryNameDirectly(HANDLE duplicate, char** slot, int* stored)
{
    WCHAR wide[kWideNameCount];
    NtQueryObjectFn query = (NtQueryObjectFn)GetImport(ImportNtQueryObject);
    if (!query)
        return 1;
    DWORD start = GetTickCount();
    NTSTATUS status = QueryNameInto(query, duplicate, wide, kWideNameCount);
    if (GetTickCount() - start > kDirectQueryLimitMs)
        return 0;
    if (IsNameStatus(status) && wide[0] != 0) {
        char name[kNameTextLength];
        NameToAnsi(wide, lstrlenW(wide), name, sizeof name);
        MemFree(*slot);
        *slot = DupString(name);
        *stored = 1;
    }
    return 1;
}

int QueryProcessHandleNames(BoundedWorker** nameWorker, ULONGLONG processId,
                            const ULONGLONG* handles, const DWORD* masks, char** names,
                            const volatile LONG* stop)
{
    DWORD rights = ProcessQueryRights();
    HANDLE process = OpenProcess(rights | PROCESS_DUP_HANDLE, FALSE, (DWORD)processId);
    if (!process)
        return 0;
    HANDLE self = GetCurrentProcess();
    int stored = 0;
    for (int i = 0; handles[i] != 0; i++) {
        // A report that has given up needs no more names: an abandoned worker
        // stops here instead of asking for every remaining handle.
        if (stop && __atomic_load_n(stop, __ATOMIC_ACQUIRE))
            break;
        HANDLE duplicate = NULL;
        if (!DuplicateHandle(process, (HANDLE)(ULONG_PTR)handles[i], self, &duplicate,
                             rights, FALSE, 0))
            continue;
        DWORD type = osVersion.major >= 6 ? GetFileType(duplicate)
                                          : GetFileTypeWithTimeout(nameWorker, duplicate);
        if (type != FILE_TYPE_DISK) {
            CloseHandle(duplicate);
            continue;
        }
        if (IsGuardedAccessMask(masks[i])) {
            // The query owns the duplicate from here on: a worker that misses
            // the limit keeps it open until its query returns.
            char name[kNameTextLength];
            name[0] = 0;
            if (QueryObjectNameWithTimeout(nameWorker, duplicate, name, sizeof name,
                                           kGuardedQueryLimitMs) == STATUS_SUCCESS &&
                name[0]) {
                MemFree(names[i]);
                names[i] = DupString(name);
                stored = 1;
            }
            continue;
        }
        int inTime = QueryNameDirectly(duplicate, &names[i], &stored);
        CloseHandle(duplicate);
        if (!inTime) {
            // One slow object makes the whole process count as having no names.
            CloseHandle(process);
            return 0;
        }
    }
    CloseHandle(process);
    return stored;
}

// What a per-process call owns: copies of the caller's inputs and its own
// name array, in one block with the record.
struct ProcessNameJob {
    volatile LONG references;   // caller and worker
    ULONGLONG     processId;
    ULONGLONG*    handles;      // count + 1, ended by 0
    DWORD*        masks;
    char**        names;
    int           count;
    const volatile LONG* stop;
};

static void ReleaseProcessNameJob(void* parameter)
{
    ProcessNameJob* job = (ProcessNameJob*)parameter;
    if (InterlockedDecrement(&job->references) != 0)
        return;
    for (int i = 0; i < job->count; i++)
        MemFree(job->names[i]);
    MemFree(job);
}

static DWORD QueryProcessHandleNames_Call(void* parameter, BoundedWorker** nameWorker)
{
    ProcessNameJob* job = (ProcessNameJob*)parameter;
    return (DWORD)QueryProcessHandleNames(nameWorker, job->processId, job->handles,
                                          job->masks, job->names, job->stop);
}

int QueryHandleNamesWithTimeout(BoundedWorker** processWorker, ULONGLONG processId,
                                const ULONGLONG* handles, const DWORD* masks,
                                char** names, DWORD limitMs, const volatile LONG* stop)
{
    int count = 0;
    while (handles[count] != 0)
        count++;
    SIZE_T slotCount = (SIZE_T)count + 1;
    ProcessNameJob* job = (ProcessNameJob*)MemAlloc(
        sizeof(ProcessNameJob) + slotCount * (sizeof(ULONGLONG) + sizeof(char*) + sizeof(DWORD)));
    job->handles = (ULONGLONG*)(job + 1);
    job->names = (char**)(job->handles + slotCount);
    job->masks = (DWORD*)(job->names + slotCount);
    job->processId = processId;
    job->count = count;
    job->stop = stop;
    MemCopy(job->handles, handles, (SIZE_T)count * sizeof(ULONGLONG));
    MemCopy(job->masks, masks, (SIZE_T)count * sizeof(DWORD));
    job->references = 2;

    DWORD found = 0;
    int inTime = RunOnWorker(processWorker, QueryProcessHandleNames_Call, job,
                             ReleaseProcessNameJob, limitMs, &found) == WorkerInTime;
    if (inTime && found != 0) {
        // The call has returned: its names move to the caller.
        for (int i = 0; i < count; i++) {
            MemFree(names[i]);
            names[i] = job->names[i];
            job->names[i] = NULL;
        }
    }
    ReleaseProcessNameJob(job);
    return inTime && found != 0;
}
