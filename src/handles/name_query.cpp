// Object names of one process's file handles, with the worker threads that
// bound the queries able to block. Every worker receives its inputs by value
// or in a heap record shared by reference count: caller and worker each drop
// one reference, and the last one releases the record, so a worker abandoned
// after its time limit never touches memory that was freed under it.
#include "handles/handle_list.h"
#include "handles/native_calls.h"
#include "frame/memory.h"
#include "frame/options.h"
#include "frame/text_util.h"

static const DWORD kProcessQueryLimited = 0x1000;   // PROCESS_QUERY_LIMITED_INFORMATION
static const DWORD kProcessQuery = 0x400;           // PROCESS_QUERY_INFORMATION

static DWORD ProcessQueryRights(void)
{
    return osVersion.major >= 6 ? kProcessQueryLimited : kProcessQuery;
}

// UTF-16 text of charCount characters to the ANSI code page; out is always
// terminated. Returns the number of bytes converted.
static int NameToAnsi(const WCHAR* text, int charCount, char* out, int outSize)
{
    if (outSize <= 0)
        return 0;
    MemFill(out, 0, (SIZE_T)outSize);
    int limit = charCount + 1 < outSize - 1 ? charCount + 1 : outSize - 1;
    int written = WideCharToMultiByte(CP_ACP, 0, text, charCount, out, limit, NULL, NULL);
    if (written < 0)
        written = 0;
    out[written] = 0;
    return written;
}

static int IsNameStatus(DWORD status)
{
    return status == 0 || status == STATUS_VOLUME_DISMOUNTED_VALUE;
}

// ---- guarded name query -------------------------------------------------

struct NameQueryRequest {
    HANDLE        handle;       // the request's own duplicate, closed on release
    WCHAR         name[1024];
    DWORD         status;
    volatile LONG references;   // caller and worker
};

static void ReleaseNameQuery(NameQueryRequest* request)
{
    if (InterlockedDecrement(&request->references) != 0)
        return;
    CloseHandle(request->handle);
    MemFree(request);
}

static DWORD WINAPI QueryObjectName_ThreadProc(LPVOID parameter)
{
    NameQueryRequest* request = (NameQueryRequest*)parameter;
    // 2048 bytes, of which the query may fill 1024: the text is always
    // followed by zeros.
    char* reply = (char*)MemAlloc(2048);
    NtQueryObjectFn query = __atomic_load_n(&ntQueryObject, __ATOMIC_ACQUIRE);
    DWORD status = query ? (DWORD)query(request->handle, kObjectNameInformation,
                                        reply, 1024, NULL)
                         : STATUS_NO_MEMORY_VALUE;
    request->status = status;
    // The text right behind the header, not through the header's pointer.
    lstrcpynW(request->name, (const WCHAR*)(reply + sizeof(NtUnicodeString)), 1024);
    MemFree(reply);
    ReleaseNameQuery(request);
    return 0;
}

DWORD QueryObjectNameWithTimeout(HANDLE duplicate, char* name, int nameSize,
                                 DWORD limitMs)
{
    NameQueryRequest* request = (NameQueryRequest*)MemAlloc(sizeof(NameQueryRequest));
    HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, duplicate, self, &request->handle, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        MemFree(request);
        return STATUS_NO_MEMORY_VALUE;
    }
    request->status = 0xFFFFFFFF;
    request->references = 2;
    HANDLE thread = CreateThread(NULL, 0, QueryObjectName_ThreadProc, request, 0, NULL);
    if (!thread) {
        request->references = 1;
        ReleaseNameQuery(request);
        return STATUS_NO_MEMORY_VALUE;
    }
    DWORD wait = WaitForSingleObject(thread, limitMs);
    CloseHandle(thread);
    if (wait != WAIT_OBJECT_0) {
        // The request now belongs to the worker, which releases it when its
        // query returns.
        ReleaseNameQuery(request);
        return STATUS_PENDING_TIMEOUT;
    }
    DWORD status = request->status;
    if (IsNameStatus(status) && request->name[0] != 0) {
        NameToAnsi(request->name, lstrlenW(request->name), name, nameSize);
        status = 0;
    }
    ReleaseNameQuery(request);
    return status;
}

// ---- file type with a limit (systems before 6.0) -------------------------

static DWORD WINAPI GetFileType_ThreadProc(LPVOID parameter)
{
    HANDLE own = (HANDLE)parameter;   // this worker's own duplicate
    DWORD type = GetFileType(own);
    CloseHandle(own);
    return type;
}

DWORD GetFileTypeWithTimeout(HANDLE duplicate)
{
    HANDLE self = GetCurrentProcess();
    HANDLE own = NULL;
    if (!DuplicateHandle(self, duplicate, self, &own, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return FILE_TYPE_PIPE;
    HANDLE thread = CreateThread(NULL, 0, GetFileType_ThreadProc, own, 0, NULL);
    if (!thread) {
        CloseHandle(own);
        return FILE_TYPE_PIPE;
    }
    DWORD type = FILE_TYPE_PIPE;
    if (WaitForSingleObject(thread, kFileTypeQueryLimitMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeThread(thread, &code);
        type = code;
    }
    CloseHandle(thread);
    return type;
}

// ---- per-process query ---------------------------------------------------

// A direct name query; false when it took longer than the limit.
static int QueryNameDirectly(HANDLE duplicate, char** slot, int* stored)
{
    char reply[1024];
    MemFill(reply, 0, sizeof reply);
    NtQueryObjectFn query = __atomic_load_n(&ntQueryObject, __ATOMIC_ACQUIRE);
    if (!query)
        return 1;
    DWORD start = GetTickCount();
    DWORD status = (DWORD)query(duplicate, kObjectNameInformation, reply, 1022, NULL);
    if (GetTickCount() - start > kDirectQueryLimitMs)
        return 0;
    const NtUnicodeString* header = (const NtUnicodeString*)reply;
    if (IsNameStatus(status) && header->length != 0 && header->text) {
        char name[kNameTextBytes];
        NameToAnsi(header->text, header->length / 2, name, sizeof name);
        MemFree(*slot);
        *slot = DupString(name);
        *stored = 1;
    }
    return 1;
}

int QueryProcessHandleNames(ULONGLONG processId, const ULONGLONG* handles,
                            const DWORD* masks, char** names)
{
    DWORD rights = ProcessQueryRights();
    HANDLE process = OpenProcess(rights | PROCESS_DUP_HANDLE, FALSE, (DWORD)processId);
    if (!process)
        return 0;
    HANDLE self = GetCurrentProcess();
    int stored = 0;
    for (int i = 0; handles[i] != 0; i++) {
        HANDLE duplicate = NULL;
        if (!DuplicateHandle(process, (HANDLE)(ULONG_PTR)handles[i], self, &duplicate,
                             rights, FALSE, 0))
            continue;
        DWORD type = osVersion.major >= 6 ? GetFileType(duplicate)
                                          : GetFileTypeWithTimeout(duplicate);
        if (type != FILE_TYPE_DISK) {
            CloseHandle(duplicate);
            continue;
        }
        if (IsGuardedAccessMask(masks[i])) {
            char name[kNameTextBytes];
            name[0] = 0;
            DWORD status = QueryObjectNameWithTimeout(duplicate, name, sizeof name,
                                                      kGuardedQueryLimitMs);
            CloseHandle(duplicate);
            if (status == 0 && name[0]) {
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

// What a per-process worker owns: copies of the caller's inputs and its own
// name array, in one block with the record.
struct ProcessNameJob {
    volatile LONG references;   // caller and worker
    ULONGLONG     processId;
    ULONGLONG*    handles;      // count + 1, ended by 0
    DWORD*        masks;
    char**        names;
    int           count;
};

static void ReleaseProcessNameJob(ProcessNameJob* job)
{
    if (InterlockedDecrement(&job->references) != 0)
        return;
    for (int i = 0; i < job->count; i++)
        MemFree(job->names[i]);
    MemFree(job);
}

static DWORD WINAPI QueryProcessHandleNames_ThreadProc(LPVOID parameter)
{
    ProcessNameJob* job = (ProcessNameJob*)parameter;
    DWORD found = (DWORD)QueryProcessHandleNames(job->processId, job->handles,
                                                 job->masks, job->names);
    ReleaseProcessNameJob(job);
    return found;
}

int QueryHandleNamesWithTimeout(ULONGLONG processId, const ULONGLONG* handles,
                                const DWORD* masks, char** names, DWORD limitMs)
{
    int count = 0;
    while (handles[count] != 0)
        count++;
    SIZE_T slots = (SIZE_T)count + 1;
    ProcessNameJob* job = (ProcessNameJob*)MemAlloc(
        sizeof(ProcessNameJob) + slots * (sizeof(ULONGLONG) + sizeof(char*) + sizeof(DWORD)));
    job->handles = (ULONGLONG*)(job + 1);
    job->names = (char**)(job->handles + slots);
    job->masks = (DWORD*)(job->names + slots);
    job->processId = processId;
    job->count = count;
    MemCopy(job->handles, handles, (SIZE_T)count * sizeof(ULONGLONG));
    MemCopy(job->masks, masks, (SIZE_T)count * sizeof(DWORD));
    job->references = 2;

    HANDLE thread = CreateThread(NULL, 0, QueryProcessHandleNames_ThreadProc, job, 0, NULL);
    if (!thread) {
        job->references = 1;
        ReleaseProcessNameJob(job);
        return 0;
    }
    int found = 0;
    if (WaitForSingleObject(thread, limitMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeThread(thread, &code);
        found = code != 0;
        // The worker is done: its names move to the caller.
        for (int i = 0; i < count; i++) {
            MemFree(names[i]);
            names[i] = job->names[i];
            job->names[i] = NULL;
        }
    }
    CloseHandle(thread);
    ReleaseProcessNameJob(job);
    return found;
}
