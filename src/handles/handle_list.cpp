// The system handle snapshot: loading and releasing it, learning which object
// type index file objects carry, and the processes that are never examined.
#include "handles/handle_list.h"
#include "base/imports.h"
#include "base/memory.h"
#include "base/paths.h"
#include "base/system.h"
#include "console/output.h"
#include <tlhelp32.h>

volatile WORD fileTypeIndex;
volatile ULONGLONG excludedProcessIds[kExcludedProcessLimit];

static const ULONG kFirstQueryLength = 56;
static const ULONG kSmallReplyLimit = 1000;
static const ULONG kDefaultSnapshotLength = 4000000;
static const ULONG kSnapshotGrowthLength = 80000;

static const DWORD SkippedAccessMasks[] = { 0x00100000, 0x001F01FF, 0x0016019F };
static const DWORD GuardedAccessMasks[] = { 0x00120089, 0x0012019F };
static const char* const ExcludedProcessNames[] = {
    "marrowick.exe", "marrowick_usr.exe", "dravelin.exe", "winlogon.exe",
    "services.exe", "lsass.exe", "ibmpmsvc.exe",
};

// Set while one thread builds excludedProcessIds, so two loads never fill it
// at the same time.
static volatile LONG excludedFilling;

int IsSkippedAccessMask(DWORD mask)
{
    for (DWORD skipped : SkippedAccessMasks)
        if (mask == skipped)
            return 1;
    return 0;
}

int IsGuardedAccessMask(DWORD mask)
{
    for (DWORD guarded : GuardedAccessMasks)
        if (mask == guarded)
            return 1;
    return 0;
}

int IsFileTypeIndex(WORD typeIndex, WORD learnedIndex, DWORD packedVersion)
{
    if (learnedIndex != 0)
        return typeIndex == learnedIndex;
    switch (packedVersion) {
    case 0x0500:
    case 0x0600:
        return typeIndex == 2 || typeIndex == 25;
    case 0x0501:
        return typeIndex == 2 || typeIndex == 28;
    case 0x0601:
        return typeIndex == 3 || typeIndex == 28;
    default:
        return typeIndex == 3 || typeIndex >= 30;
    }
}

int IsFileObjectType(const SystemHandleEntry* entry)
{
    return IsFileTypeIndex(entry->objectTypeIndex,
                           __atomic_load_n(&fileTypeIndex, __ATOMIC_ACQUIRE),
                           osVersion.packedVersion);
}

static const SystemHandleEntry* FindFileHandle(const SystemHandleList* list,
                                               ULONGLONG handleValue, ULONGLONG processId)
{
    for (ULONGLONG i = 0; i < list->count; i++) {
        const SystemHandleEntry* entry = &list->entries[i];
        if (entry->handleValue == handleValue && entry->processId == processId &&
            IsFileObjectType(entry))
            return entry;
    }
    return NULL;
}

int IsHandleInList(const SystemHandleList* list, ULONGLONG handleValue,
                   ULONGLONG processId, ULONGLONG objectAddress)
{
    const SystemHandleEntry* entry = FindFileHandle(list, handleValue, processId);
    return entry && (!objectAddress || !entry->objectAddress ||
                     entry->objectAddress == objectAddress);
}

ULONGLONG FindObjectAddress(const SystemHandleList* list, ULONGLONG handleValue,
                            ULONGLONG processId)
{
    const SystemHandleEntry* entry = FindFileHandle(list, handleValue, processId);
    return entry ? entry->objectAddress : 0;
}

int IsExcludedProcess(ULONGLONG processId)
{
    if (__atomic_load_n(&excludedProcessIds[0], __ATOMIC_ACQUIRE) == 0)
        return 0;
    for (int i = 0; i < kExcludedProcessLimit; i++) {
        ULONGLONG id = __atomic_load_n(&excludedProcessIds[i], __ATOMIC_RELAXED);
        if (id == 0)
            return 0;
        if (id == processId)
            return 1;
    }
    return 0;
}

// Fills excludedProcessIds unless it is filled already or another thread is
// filling it. Collecting stops when the slots are full.
static void CollectExcludedProcessIds(void)
{
    if (__atomic_load_n(&excludedProcessIds[0], __ATOMIC_ACQUIRE) != 0)
        return;
    if (InterlockedCompareExchange(&excludedFilling, 1, 0) != 0)
        return;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        ULONGLONG found[kExcludedProcessLimit] = {};
        int count = 0;
        PROCESSENTRY32 process;
        process.dwSize = sizeof process;
        for (BOOL more = Process32First(snapshot, &process);
             more && count < kExcludedProcessLimit;
             more = Process32Next(snapshot, &process)) {
            process.szExeFile[MAX_PATH - 1] = 0;
            for (const char* name : ExcludedProcessNames) {
                if (count < kExcludedProcessLimit &&
                    lstrcmpiA(process.szExeFile, name) == 0)
                    found[count++] = process.th32ProcessID;
            }
        }
        CloseHandle(snapshot);
        // Slot 0 last: a reader that sees it sees the whole table.
        for (int i = 1; i < count; i++)
            __atomic_store_n(&excludedProcessIds[i], found[i], __ATOMIC_RELAXED);
        if (count > 0)
            __atomic_store_n(&excludedProcessIds[0], found[0], __ATOMIC_RELEASE);
    }
    __atomic_store_n(&excludedFilling, 0, __ATOMIC_RELEASE);
}

int DecideSnapshotLength(NTSTATUS status, ULONG returnedLength, ULONG* length)
{
    switch (status) {
    case STATUS_SUCCESS:
        *length = returnedLength;
        return SnapshotQueryAgain;
    case STATUS_INFO_LENGTH_MISMATCH:
    case STATUS_BUFFER_TOO_SMALL:
        *length = returnedLength < kSmallReplyLimit ? kDefaultSnapshotLength
                                                    : returnedLength + kSnapshotGrowthLength;
        return SnapshotQueryAgain;
    case STATUS_ACCESS_DENIED:
        return SnapshotAccessDenied;
    default:
        return SnapshotGiveUp;
    }
}

// Walks the entries from the last to the first for our own probe handle: its
// type index is the one every file object carries.
static void LearnFileTypeIndex(SystemHandleList* list)
{
    if (__atomic_load_n(&fileTypeIndex, __ATOMIC_ACQUIRE) != 0 ||
        list->probeHandle == INVALID_HANDLE_VALUE)
        return;
    ULONGLONG self = GetCurrentProcessId();
    ULONGLONG probe = (ULONGLONG)(ULONG_PTR)list->probeHandle;
    for (ULONGLONG i = list->count; i-- > 0;) {
        const SystemHandleEntry* entry = &list->entries[i];
        if (entry->processId == self && entry->handleValue == probe) {
            __atomic_store_n(&fileTypeIndex, entry->objectTypeIndex,
                             __ATOMIC_RELEASE);
            CloseHandle(list->probeHandle);
            list->probeHandle = INVALID_HANDLE_VALUE;
            return;
        }
    }
}

static void FillSystemHandleList(SystemHandleList* list)
{
    NtQuerySystemInformationFn querySystem =
        (NtQuerySystemInformationFn)GetImport(ImportNtQuerySystemInformation);
    if (osVersion.packedVersion < 0x0501 || !querySystem)
        return;
    void* block = MemAlloc(kFirstQueryLength);
    ULONG returned = 0;
    NTSTATUS status = querySystem(kSystemExtendedHandleInformation, block,
                                  kFirstQueryLength, &returned);
    MemFree(block);
    ULONG length = 0;
    switch (DecideSnapshotLength(status, returned, &length)) {
    case SnapshotQueryAgain:
        break;
    case SnapshotAccessDenied:
        ConsolePrintf(" access denied");
        return;
    default:
        return;
    }

    list->count = 0;
    list->entries = NULL;
    block = MemAlloc((unsigned long long)length + kFirstQueryLength);
    status = querySystem(kSystemExtendedHandleInformation, block, length, NULL);
    if (status != STATUS_SUCCESS) {
        MemFree(block);
        return;
    }
    ULONGLONG count = *(ULONGLONG*)block;
    // Never trust a count that the block cannot hold.
    ULONGLONG countLimit =
        length > kSystemHandleTableHeaderLength
            ? (length - kSystemHandleTableHeaderLength) / sizeof(SystemHandleEntry) : 0;
    list->buffer = block;
    list->count = count < countLimit ? count : countLimit;
    list->entries = (SystemHandleEntry*)((char*)block + kSystemHandleTableHeaderLength);
    LearnFileTypeIndex(list);
}

SystemHandleList* LoadSystemHandleList(SystemHandleList* list)
{
    list->entries = NULL;
    list->probeHandle = INVALID_HANDLE_VALUE;
    // The probe is a file of the system directory, not our own executable:
    // that may lie on the volume being ejected, and a report that runs late
    // must hold nothing there while a dismount request is sent.
    char probePath[MAX_PATH];
    if (__atomic_load_n(&fileTypeIndex, __ATOMIC_ACQUIRE) == 0 &&
        MakeSystemPath("\\kernel32.dll", probePath))
        list->probeHandle = CreateFileA(probePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        NULL, OPEN_EXISTING, 0, NULL);
    if (!GetImportLibrary(LibraryNtdll))
        return list;
    CollectExcludedProcessIds();
    FillSystemHandleList(list);
    return list;
}

void FreeSystemHandleList(SystemHandleList* list)
{
    MemFree(list->buffer);
    list->buffer = NULL;
    list->entries = NULL;
    list->count = 0;
    if (IsValidHandle(list->probeHandle))
        CloseHandle(list->probeHandle);
    list->probeHandle = INVALID_HANDLE_VALUE;
}
