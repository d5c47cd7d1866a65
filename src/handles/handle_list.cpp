// The system handle snapshot: loading and releasing it, learning which object
// type index file objects carry, and the processes that are never examined.
#include "handles/handle_list.h"
#include "handles/native_calls.h"
#include "frame/memory.h"
#include "frame/options.h"
#include "console/output.h"
#include <tlhelp32.h>

volatile WORD fileTypeIndex;
volatile ULONGLONG excludedProcessIds[kExcludedProcessSlots];

static const ULONG kSystemExtendedHandleInformation = 64;
static const ULONG kFirstQueryBytes = 56;
static const ULONG kSnapshotHeaderBytes = 16;
static const ULONG kSmallReplyLimit = 1000;
static const ULONG kDefaultSnapshotBytes = 4000000;
static const ULONG kSnapshotGrowthBytes = 80000;

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

int IsHandleInList(const SystemHandleList* list, ULONGLONG handleValue,
                   ULONGLONG processId)
{
    for (ULONGLONG i = 0; i < list->count; i++) {
        const SystemHandleEntry* entry = &list->entries[i];
        if (entry->handleValue == handleValue && entry->processId == processId &&
            IsFileObjectType(entry))
            return 1;
    }
    return 0;
}

int IsExcludedProcess(ULONGLONG processId)
{
    if (__atomic_load_n(&excludedProcessIds[0], __ATOMIC_ACQUIRE) == 0)
        return 0;
    for (int i = 0; i < kExcludedProcessSlots; i++) {
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
        ULONGLONG found[kExcludedProcessSlots] = {};
        int count = 0;
        PROCESSENTRY32 process;
        process.dwSize = sizeof process;
        for (BOOL more = Process32First(snapshot, &process);
             more && count < kExcludedProcessSlots;
             more = Process32Next(snapshot, &process)) {
            process.szExeFile[MAX_PATH - 1] = 0;
            for (const char* name : ExcludedProcessNames) {
                if (count < kExcludedProcessSlots &&
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

int DecideSnapshotSize(DWORD status, ULONG returnedLength, ULONG* size)
{
    switch (status) {
    case 0:
        *size = returnedLength;
        return SnapshotQueryAgain;
    case STATUS_INFO_LENGTH_MISMATCH_VALUE:
    case STATUS_BUFFER_TOO_SMALL_VALUE:
        *size = returnedLength < kSmallReplyLimit ? kDefaultSnapshotBytes
                                                  : returnedLength + kSnapshotGrowthBytes;
        return SnapshotQueryAgain;
    case STATUS_ACCESS_DENIED_VALUE:
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
    if (osVersion.packedVersion < 0x0501 || !ntQuerySystemInformation)
        return;
    void* block = MemAlloc(kFirstQueryBytes);
    ULONG returned = 0;
    DWORD status = (DWORD)ntQuerySystemInformation(kSystemExtendedHandleInformation,
                                                   block, kFirstQueryBytes, &returned);
    MemFree(block);
    ULONG size = 0;
    switch (DecideSnapshotSize(status, returned, &size)) {
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
    block = MemAlloc((unsigned long long)size + kFirstQueryBytes);
    status = (DWORD)ntQuerySystemInformation(kSystemExtendedHandleInformation, block,
                                             size, NULL);
    if (status != 0) {
        MemFree(block);
        return;
    }
    ULONGLONG count = *(ULONGLONG*)block;
    // Never trust a count that the block cannot hold.
    ULONGLONG room = size > kSnapshotHeaderBytes
                         ? (size - kSnapshotHeaderBytes) / sizeof(SystemHandleEntry) : 0;
    list->buffer = block;
    list->count = count < room ? count : room;
    list->entries = (SystemHandleEntry*)((char*)block + kSnapshotHeaderBytes);
    LearnFileTypeIndex(list);
}

SystemHandleList* LoadSystemHandleList(SystemHandleList* list, DWORD visibleWindowsOnly)
{
    list->visibleWindowsOnly = visibleWindowsOnly;
    list->entries = NULL;
    list->probeHandle = INVALID_HANDLE_VALUE;
    if (__atomic_load_n(&fileTypeIndex, __ATOMIC_ACQUIRE) == 0) {
        char ownPath[MAX_PATH + 1];
        DWORD length = GetModuleFileNameA(NULL, ownPath, MAX_PATH);
        ownPath[length < MAX_PATH ? length : MAX_PATH] = 0;
        list->probeHandle = CreateFileA(ownPath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        NULL, OPEN_EXISTING, 0, NULL);
    }
    if (!ResolveNativeCalls())
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
    if (list->probeHandle != INVALID_HANDLE_VALUE && list->probeHandle != NULL)
        CloseHandle(list->probeHandle);
    list->probeHandle = INVALID_HANDLE_VALUE;
}
