// Simulated crypt-volume driver. One source, built once per product:
//   SIM_PRODUCT 0: TrueCrypt  (\Device\TrueCrypt, volumes \Device\TrueCryptVolumeX)
//   SIM_PRODUCT 1: VeraCrypt  (\Device\VeraCrypt, volumes \Device\VeraCryptVolumeX)
// SIM_LIST_SIZE picks the mount-list layout (13940, 15760 or 17424 bytes).
//
// It answers the mount-list and dismount requests as the real drivers do, counts
// open handles on each volume device, and takes orders from simctl through a
// private control request (mount, plan, relink, vanish, status, log, reset,
// malform: spoil the next mount-list reply, release: answer a request kept
// inside the driver, busy: hold the driver-wide lock, force-time: how long a
// forced dismount of a busy volume takes).
//
// As in the real drivers (TCDispatchQueueIRP), every mount-list and dismount
// request is worked on inside the caller's DeviceIoControl under one
// driver-wide lock, and none is ever left pending: a planned delay or hang
// keeps the caller's call inside the driver, and every other request of this
// driver waits for the lock meanwhile. simctl's own orders do not take that
// lock, so a release still reaches a request that hangs.
//
// tableLock guards the tables; it is never held while a request waits inside.
#include <ntifs.h>
#include "../sim_protocol.h"

#if SIM_PRODUCT == 0
#define PRODUCT L"TrueCrypt"
#else
#define PRODUCT L"VeraCrypt"
#endif

#define CONTROL_DEVICE   L"\\Device\\" PRODUCT
#define CONTROL_LINK     L"\\DosDevices\\" PRODUCT
#define VOLUME_PREFIX    L"\\Device\\" PRODUCT L"Volume"

// Offsets of the blocks after the paths, per layout.
#if SIM_LIST_SIZE == 13940
#define OFS_LABELS   0u
#define OFS_IDS      0u
#define OFS_LENGTHS  13524u
#define OFS_VALUES1  13732u
#define OFS_VALUES2  13836u
#elif SIM_LIST_SIZE == 15760
#define OFS_LABELS   13524u
#define OFS_IDS      0u
#define OFS_LENGTHS  15240u
#define OFS_VALUES1  15448u
#define OFS_VALUES2  15552u
#elif SIM_LIST_SIZE == 17424
#define OFS_LABELS   13524u
#define OFS_IDS      15240u
#define OFS_LENGTHS  16904u
#define OFS_VALUES1  17112u
#define OFS_VALUES2  17216u
#else
#error unknown mount-list layout
#endif

#define VOLUME_LENGTH (64ull * 1024 * 1024)

enum { KIND_CONTROL = 1, KIND_VOLUME = 2 };

typedef struct DeviceExt {
    ULONG kind;
    ULONG index;  // volume: drive number 0..25
} DeviceExt;

typedef struct Volume {
    PDEVICE_OBJECT device;    // null when nothing is mounted at this drive number
    WCHAR linkLetter;         // current \DosDevices\X: link, 0 when none
    ULONG flags;
    LONG handles;
    WCHAR container[SIM_PATH_MAX];
    WCHAR label[SIM_LABEL_MAX];
    WCHAR guid[SIM_GUID_MAX];
    ULONG forceMs;            // a forced dismount with open handles takes this long
} Volume;

typedef struct Plan {
    ULONG head, count;
    SimPlanEntry entries[SIM_PLAN_MAX];
} Plan;

// The dismount request kept inside the driver by a delay or hang, if any
// (one at most: the driver-wide lock lets one request in at a time).
typedef struct Inside {
    ULONG active;
    int driveNumber;
    int answer;           // the planned answer, or the one simctl release gave
    ULONG cancel;         // a reset or the unload ends the wait
} Inside;

// Under tableLock (DriverEntry fills them before any request arrives).
static FAST_MUTEX tableLock;
static Volume volumes[26];
static Plan plans[26];
static Inside inside;
static SimLogEntry logEntries[SIM_LOG_MAX];
static ULONG logCount, logNext;
static ULONG malformNext;   // SimMalform mode of the next mount-list reply
static ULONG elevatedCallers;   // simctl elevated: callers count as elevated
// Links a dismount left behind (a moved letter, a volume name, a kept link),
// which a reset removes; names of at most 47 units.
#define LEFT_LINK_MAX 32
static WCHAR leftLinks[LEFT_LINK_MAX][48];
static LARGE_INTEGER startTime;
static PDEVICE_OBJECT controlDevice;

static KEVENT controlGate;   // signaled while no request holds the driver-wide lock
static KEVENT insideWake;    // ends the wait of the request inside
// The timer thread holds the driver-wide lock for simctl busy: woken by
// wakeTimer with busyMs set, it signals busyTaken once it holds the lock;
// busyEnd (the unload) cuts the hold short; stopTimer ends the thread.
static KEVENT wakeTimer, busyTaken, busyEnd;
static HANDLE timerThread, channelThread;
// simctl's channel (sim_protocol.h), served by channelThread.
static HANDLE channelSection, channelOrder, channelDone;
static SimChannel *channel;
static volatile LONG stopTimer, busyMs;
static void LockTables(void)
{
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(&tableLock);
}

static void UnlockTables(void)
{
    ExReleaseFastMutexUnsafe(&tableLock);
    KeLeaveCriticalRegion();
}

static ULONG WideLength(const WCHAR *text, ULONG max)
{
    ULONG n = 0;
    while (n < max && text[n]) n++;
    return n;
}

static void CopyWide(WCHAR *to, ULONG toSize, const unsigned short *from, ULONG fromSize)
{
    ULONG n = 0;
    while (n + 1 < toSize && n < fromSize && from[n]) {
        to[n] = from[n];
        n++;
    }
    to[n] = 0;
}

// \DosDevices\X:
static void LinkName(WCHAR letter, WCHAR *buffer, UNICODE_STRING *name)
{
    static const WCHAR prefix[] = L"\\DosDevices\\";
    ULONG n = 0;
    for (; prefix[n]; n++) buffer[n] = prefix[n];
    buffer[n++] = letter;
    buffer[n++] = L':';
    buffer[n] = 0;
    RtlInitUnicodeString(name, buffer);
}

static void VolumeDeviceName(ULONG index, WCHAR *buffer, UNICODE_STRING *name)
{
    static const WCHAR prefix[] = VOLUME_PREFIX;
    ULONG n = 0;
    for (; prefix[n]; n++) buffer[n] = prefix[n];
    buffer[n++] = (WCHAR)(L'A' + index);
    buffer[n] = 0;
    RtlInitUnicodeString(name, buffer);
}

// \DosDevices\Volume{GUID}
static void GuidLinkName(const WCHAR *guid, WCHAR *buffer, ULONG size, UNICODE_STRING *name)
{
    static const WCHAR prefix[] = L"\\DosDevices\\Volume";
    ULONG n = 0, i = 0;
    for (; prefix[n]; n++) buffer[n] = prefix[n];
    while (guid[i] && n + 1 < size) buffer[n++] = guid[i++];
    buffer[n] = 0;
    RtlInitUnicodeString(name, buffer);
}

static void DeleteLetterLink(WCHAR letter)
{
    WCHAR buffer[32];
    UNICODE_STRING name;
    LinkName(letter, buffer, &name);
    IoDeleteSymbolicLink(&name);
}

// Points \DosDevices\<letter>: at the volume device. Any link already there
// (Wine's own one for the backing folder, or one left behind) is replaced.
static NTSTATUS CreateLetterLink(WCHAR letter, ULONG index)
{
    WCHAR linkBuffer[32], deviceBuffer[64];
    UNICODE_STRING link, device;
    LinkName(letter, linkBuffer, &link);
    VolumeDeviceName(index, deviceBuffer, &device);
    IoDeleteSymbolicLink(&link);
    return IoCreateSymbolicLink(&link, &device);
}

// Removes the volume at drive number index and, as the real drivers do
// (RemoveDriveLink, MountManagerUnmount), the link of the drive letter it was
// mounted with, whatever it leads to now, unless the volume was mounted to
// leave it behind: a letter the link was moved to and the volume name stay.
// everything (reset, unload) removes the links wherever they are.
static void NoteLeftLink(const UNICODE_STRING *name)
{
    ULONG i, n = name->Length / 2;
    for (i = 0; i < LEFT_LINK_MAX && leftLinks[i][0]; i++) {}
    if (i == LEFT_LINK_MAX || n >= 48) return;
    RtlCopyMemory(leftLinks[i], name->Buffer, n * 2);
    leftLinks[i][n] = 0;
}

static void DeleteLeftLinks(void)
{
    ULONG i;
    for (i = 0; i < LEFT_LINK_MAX && leftLinks[i][0]; i++) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, leftLinks[i]);
        IoDeleteSymbolicLink(&name);
        leftLinks[i][0] = 0;
    }
}

// Notes the links of a volume that its removal leaves behind.
static void NoteLinksLeft(const Volume *v, ULONG index)
{
    WCHAR buffer[80];
    UNICODE_STRING name;
    if (v->linkLetter && (v->linkLetter != (WCHAR)(L'A' + index) || (v->flags & SIM_FLAG_KEEP_LINK))) {
        LinkName(v->linkLetter, buffer, &name);
        NoteLeftLink(&name);
    }
    if (v->guid[0]) {
        GuidLinkName(v->guid, buffer, 80, &name);
        NoteLeftLink(&name);
    }
}

static void RemoveVolume(ULONG index, BOOLEAN everything)
{
    Volume *v = &volumes[index];
    if (!v->device) return;
    if (!everything) NoteLinksLeft(v, index);
    if (everything && v->linkLetter) DeleteLetterLink(v->linkLetter);
    else if (!(v->flags & SIM_FLAG_KEEP_LINK)) {
        ULONG i;
        DeleteLetterLink((WCHAR)(L'A' + index));
        for (i = 0; i < 26; i++)   // another volume's link that had taken the letter
            if (volumes[i].device && volumes[i].linkLetter == (WCHAR)(L'A' + index)) volumes[i].linkLetter = 0;
    }
    if (everything && v->guid[0]) {
        WCHAR buffer[80];
        UNICODE_STRING name;
        GuidLinkName(v->guid, buffer, 80, &name);
        IoDeleteSymbolicLink(&name);
    }
    IoDeleteDevice(v->device);
    RtlZeroMemory(v, sizeof(*v));
}

static NTSTATUS MountVolume(const SimRequest *request)
{
    ULONG index = request->letter - 'A';
    Volume *v = &volumes[index];
    WCHAR deviceBuffer[64];
    UNICODE_STRING deviceName;
    PDEVICE_OBJECT device;
    NTSTATUS status;

    if (v->device) return (request->flags & SIM_FLAG_IF_MISSING) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
    VolumeDeviceName(index, deviceBuffer, &deviceName);
    status = IoCreateDevice(controlDevice->DriverObject, sizeof(DeviceExt), &deviceName,
                            FILE_DEVICE_DISK, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    ((DeviceExt *)device->DeviceExtension)->kind = KIND_VOLUME;
    ((DeviceExt *)device->DeviceExtension)->index = index;
    device->Flags &= ~DO_DEVICE_INITIALIZING;

    RtlZeroMemory(v, sizeof(*v));
    v->device = device;
    v->flags = request->flags & (SIM_FLAG_KEEP_LINK | SIM_FLAG_FOREIGN | SIM_FLAG_HIDVOL_TRIGGERED);
    CopyWide(v->container, SIM_PATH_MAX, request->container, SIM_PATH_MAX);
    CopyWide(v->label, SIM_LABEL_MAX, request->label, SIM_LABEL_MAX);
    CopyWide(v->guid, SIM_GUID_MAX, request->guid, SIM_GUID_MAX);
    status = CreateLetterLink((WCHAR)request->letter, index);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        RtlZeroMemory(v, sizeof(*v));
        return status;
    }
    v->linkLetter = (WCHAR)request->letter;
    if (v->guid[0]) {
        WCHAR buffer[80];
        UNICODE_STRING name;
        GuidLinkName(v->guid, buffer, 80, &name);
        IoDeleteSymbolicLink(&name);
        IoCreateSymbolicLink(&name, &deviceName);
    }
    return STATUS_SUCCESS;
}

// A letter names the volume mounted with it, or else the volume whose link it is.
static LONG FindVolume(ULONG letter)
{
    ULONG i;
    if (letter < 'A' || letter > 'Z') return -1;
    if (volumes[letter - 'A'].device) return (LONG)(letter - 'A');
    for (i = 0; i < 26; i++)
        if (volumes[i].device && volumes[i].linkLetter == (WCHAR)letter) return (LONG)i;
    return -1;
}

// arrived: system time a held request came in, 0 for one answered at once.
static void AddLog(int driveNumber, ULONG force, int answer, LONGLONG arrived)
{
    SimLogEntry *e = &logEntries[logNext];
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    e->time = now.QuadPart;
    e->driveNumber = driveNumber;
    e->force = force;
    e->answer = answer;
    e->held = arrived != 0;
    e->waited = arrived && now.QuadPart > arrived ? (ULONG)((now.QuadPart - arrived) / 10000) : 0;
    logNext = (logNext + 1) % SIM_LOG_MAX;
    if (logCount < SIM_LOG_MAX) logCount++;
}

// IsVolumeAccessibleByCurrentUser: a volume another user mounted is neither
// listed nor dismounted for a caller that is not elevated. Wine gives its
// programs no token the simulated driver could tell apart, so simctl elevated
// says how it sees every caller.
static BOOLEAN Accessible(ULONG index)
{
    return volumes[index].device && (!(volumes[index].flags & SIM_FLAG_FOREIGN) || elevatedCallers);
}

static void FillMountList(UCHAR *out)
{
    ULONG i, mask = 0;
    for (i = 0; i < 26; i++) {
        Volume *v = &volumes[i];
        if (!Accessible(i)) continue;
        mask |= 1u << i;
        RtlCopyMemory(out + 4 + i * 520, v->container, WideLength(v->container, SIM_PATH_MAX) * 2);
#if OFS_LABELS
        RtlCopyMemory(out + OFS_LABELS + i * 66, v->label, WideLength(v->label, SIM_LABEL_MAX) * 2);
#endif
#if OFS_IDS
        {   // a volume id derived from the letter, never all zero
            ULONG b;
            for (b = 0; b < 32; b++) out[OFS_IDS + i * 32 + b] = (UCHAR)(0x40 + i + b);
        }
#endif
        *(ULONGLONG UNALIGNED *)(out + OFS_LENGTHS + i * 8) = VOLUME_LENGTH;
        *(ULONG UNALIGNED *)(out + OFS_VALUES1 + i * 4) = 1;  // encryption algorithm id
        *(ULONG UNALIGNED *)(out + OFS_VALUES2 + i * 4) = 0;  // volume type: normal
    }
    *(ULONG UNALIGNED *)out = mask;
}

// Spoils a well-formed reply (FillMountList) as simctl malform ordered.
// Returns the byte count to report.
static ULONG_PTR MalformMountList(UCHAR *out, ULONG mode)
{
    ULONG i, u, mask = *(ULONG UNALIGNED *)out;
    WCHAR *paths = (WCHAR *)(out + 4);   // 26 entries of SIM_PATH_MAX units
    switch (mode) {
    case SIM_MALFORM_EMPTY_PATHS:
        RtlZeroMemory(paths, 26 * SIM_PATH_MAX * 2);
        *(ULONG UNALIGNED *)out = 0x03FFFFFFu;
        break;
    case SIM_MALFORM_UNTERMINATED:
        // A reader that runs past the end of an entry meets the next one: the
        // following mounted path, or '#' where no volume is mounted.
        for (i = 0; i < 26; i++) {
            WCHAR *entry = paths + i * SIM_PATH_MAX;
            u = (mask & (1u << i)) ? WideLength(entry, SIM_PATH_MAX) : 0;
            for (; u < SIM_PATH_MAX; u++) entry[u] = (mask & (1u << i)) ? L'~' : L'#';
        }
        break;
    case SIM_MALFORM_HIGH_BITS:
        *(ULONG UNALIGNED *)out = mask | 0xFC000000u;
        break;
    case SIM_MALFORM_SHORT:
        // The reply ends halfway through the first mounted path (after the
        // mask alone when nothing is mounted); the rest of the buffer is zeros.
        {
            ULONG end = 4;
            for (i = 0; i < 26; i++) {
                if (!(mask & (1u << i))) continue;
                end = 4 + i * SIM_PATH_MAX * 2 + (WideLength(paths + i * SIM_PATH_MAX, SIM_PATH_MAX) / 2) * 2;
                break;
            }
            RtlZeroMemory(out + end, SIM_LIST_SIZE - end);
            return end;
        }
    }
    return SIM_LIST_SIZE;
}

// The next planned answer for a drive; a usual one at once when none is planned.
static SimPlanEntry NextPlanned(int number)
{
    SimPlanEntry entry = {SIM_ANSWER_USUAL, 0};
    if (number >= 0 && number <= 25 && plans[number].count) {
        Plan *p = &plans[number];
        entry = p->entries[p->head];
        p->head = (p->head + 1) % SIM_PLAN_MAX;
        p->count--;
    }
    return entry;
}

// Gives the answer (a code or SIM_ANSWER_USUAL) to a dismount block as of now:
// a planned 0 dismounts whether handles are open or not.
static void Answer(SimDismountBlock *block, int planned, LONGLONG arrived)
{
    int number = block->driveNumber;
    int answer = planned;
    if (number < 0 || number > 25 || (volumes[number].device && !Accessible((ULONG)number))) {
        answer = 5;
    } else if (planned != SIM_ANSWER_USUAL) {
        if (answer == 0 && volumes[number].device) {
            block->hiddenVolumeProtectionTriggered = (volumes[number].flags & SIM_FLAG_HIDVOL_TRIGGERED) != 0;
            RemoveVolume((ULONG)number, FALSE);
        } else if (answer == 0) {
            answer = 5;
        }
    } else if (!volumes[number].device) {
        answer = 5;
    } else if (volumes[number].handles > 0 && !block->ignoreOpenFiles) {
        answer = 6;
    } else {
        block->hiddenVolumeProtectionTriggered = (volumes[number].flags & SIM_FLAG_HIDVOL_TRIGGERED) != 0;
        RemoveVolume((ULONG)number, FALSE);
        answer = 0;
    }
    block->returnCode = answer;
    AddLog(number, block->ignoreOpenFiles ? 1 : 0, answer, arrived);
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The driver-wide lock of the real drivers (RootDeviceControlMutex): every
// request to the control device is worked on inside the caller's call, one
// at a time. An event rather than a mutex, so that the timer thread can hold
// it for simctl busy on behalf of a request that has returned.
static void EnterControl(void)
{
    KeWaitForSingleObject(&controlGate, Executive, KernelMode, FALSE, NULL);
}

static void LeaveControl(void)
{
    KeSetEvent(&controlGate, IO_NO_INCREMENT, FALSE);
}

// Keeps the request inside the driver for delay ms (SIM_DELAY_HANG: until
// released), without the table lock, so that simctl's orders still reach the
// driver. Called and returns under the table lock. Returns the answer to give:
// the planned one, the one simctl release gave, or SIM_ANSWER_CANCELED when a
// reset or the unload ended the wait.
static int WaitInside(int number, int planned, ULONG delay, LONGLONG *arrived)
{
    LARGE_INTEGER now, timeout;
    KeQuerySystemTime(&now);
    *arrived = now.QuadPart;
    inside.active = 1;
    inside.driveNumber = number;
    inside.answer = planned;
    inside.cancel = 0;
    KeClearEvent(&insideWake);
    UnlockTables();
    timeout.QuadPart = -(LONGLONG)delay * 10000;
    KeWaitForSingleObject(&insideWake, Executive, KernelMode, FALSE,
                          delay == SIM_DELAY_HANG ? NULL : &timeout);
    LockTables();
    inside.active = 0;
    return inside.cancel ? SIM_ANSWER_CANCELED : inside.answer;
}

// Wakes the request inside the driver, if it is one of this drive (-1: any),
// with an answer (SIM_ANSWER_USUAL keeps the planned one) or canceled.
// Under the table lock. Returns 1 when one was woken.
static ULONG WakeInside(int number, int answer, BOOLEAN cancel)
{
    if (!inside.active || (number >= 0 && inside.driveNumber != number)) return 0;
    if (answer != SIM_ANSWER_USUAL) inside.answer = answer;
    inside.cancel = cancel;
    KeSetEvent(&insideWake, IO_NO_INCREMENT, FALSE);
    return 1;
}

// The dismount request (TC_IOCTL_DISMOUNT_VOLUME): the block is checked as
// ValidateIOBufferSize does (at least 16 bytes in and out); VeraCrypt 1.18
// and later also refuse any input length but 16. Then the plan's delay, or a
// forced dismount of a busy volume's time (UnmountDevice retries the file
// system's dismount for up to 20 s), passes inside the call.
static NTSTATUS Dismount(PIRP irp, ULONG inLength, ULONG outLength)
{
    SimDismountBlock *block = irp->AssociatedIrp.SystemBuffer;
    SimPlanEntry entry;
    ULONG delay;
    int number, answer;
    LONGLONG arrived = 0;
    if (inLength < sizeof(SimDismountBlock) || outLength < sizeof(SimDismountBlock) || !block)
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
#if SIM_LIST_SIZE == 17424
    if (inLength != sizeof(SimDismountBlock)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
#endif
    number = block->driveNumber;
    entry = NextPlanned(number);
    delay = entry.delay;
    if (!delay && entry.answer == SIM_ANSWER_USUAL && number >= 0 && number <= 25 &&
        block->ignoreOpenFiles && volumes[number].device && volumes[number].handles > 0)
        delay = volumes[number].forceMs;
    answer = entry.answer;
    if (delay) answer = WaitInside(number, answer, delay, &arrived);
    if (answer == SIM_ANSWER_CANCELED) {
        AddLog(number, block->ignoreOpenFiles ? 1 : 0, SIM_ANSWER_CANCELED, arrived);
        return Complete(irp, STATUS_CANCELLED, 0);
    }
    Answer(block, answer, arrived);
    return Complete(irp, STATUS_SUCCESS, sizeof(SimDismountBlock));
}

// Holds the driver-wide lock for busyMs, as a mount does while it derives
// its key; then waits for the next order. Ended by stopTimer.
static VOID NTAPI TimerThread(PVOID context)
{
    while (!stopTimer) {
        ULONG ms;
        KeWaitForSingleObject(&wakeTimer, Executive, KernelMode, FALSE, NULL);
        ms = (ULONG)InterlockedExchange(&busyMs, 0);
        if (!ms || stopTimer) continue;
        KeClearEvent(&busyEnd);
        EnterControl();
        KeSetEvent(&busyTaken, IO_NO_INCREMENT, FALSE);
        {
            LARGE_INTEGER timeout;
            timeout.QuadPart = -(LONGLONG)ms * 10000;
            KeWaitForSingleObject(&busyEnd, Executive, KernelMode, FALSE, &timeout);
        }
        LeaveControl();
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static void FillVolumeInfo(SimReply *reply)
{
    ULONG i, n = 0;
    for (i = 0; i < 26; i++) {
        Volume *v = &volumes[i];
        SimVolumeInfo *info;
        if (!v->device) continue;
        info = &reply->u.volumes[n++];
        info->letter = 'A' + i;
        info->linkLetter = v->linkLetter;
        info->handles = v->handles;
        info->flags = v->flags;
        info->planLeft = plans[i].count;
        info->held = inside.active && inside.driveNumber == (int)i;
        info->forceMs = v->forceMs;
        CopyWide((WCHAR *)info->container, SIM_PATH_MAX, v->container, SIM_PATH_MAX);
        CopyWide((WCHAR *)info->label, SIM_LABEL_MAX, v->label, SIM_LABEL_MAX);
        CopyWide((WCHAR *)info->guid, SIM_GUID_MAX, v->guid, SIM_GUID_MAX);
    }
    reply->count = n;
}

static NTSTATUS Control(SimRequest *request, ULONG inLength, ULONG outLength, ULONG_PTR *information)
{
    SimReply *reply = (SimReply *)request;  // the same system buffer
    LONG found;
    ULONG i;

    if (inLength < sizeof(SimRequest)) return STATUS_INVALID_PARAMETER;
    switch (request->verb) {
    case SIM_VERB_MOUNT:
        if (request->letter < 'A' || request->letter > 'Z') return STATUS_INVALID_PARAMETER;
        return MountVolume(request);
    case SIM_VERB_PLAN:
        if (request->letter < 'A' || request->letter > 'Z' || request->planCount > SIM_PLAN_MAX)
            return STATUS_INVALID_PARAMETER;
        {
            Plan *p = &plans[request->letter - 'A'];
            p->head = 0;
            p->count = request->planCount;
            for (i = 0; i < request->planCount; i++) p->entries[i] = request->plan[i];
        }
        return STATUS_SUCCESS;
    case SIM_VERB_RELINK:
        found = FindVolume(request->letter);
        if (found < 0) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (request->letter2 < 'A' || request->letter2 > 'Z') return STATUS_INVALID_PARAMETER;
        if (volumes[found].linkLetter) DeleteLetterLink(volumes[found].linkLetter);
        volumes[found].linkLetter = 0;
        {
            NTSTATUS status = CreateLetterLink((WCHAR)request->letter2, (ULONG)found);
            if (NT_SUCCESS(status)) volumes[found].linkLetter = (WCHAR)request->letter2;
            return status;
        }
    case SIM_VERB_VANISH:
        found = FindVolume(request->letter);
        if (found < 0) return STATUS_OBJECT_NAME_NOT_FOUND;
        RemoveVolume((ULONG)found, FALSE);
        return STATUS_SUCCESS;
    case SIM_VERB_STATUS:
    case SIM_VERB_LOG:
        if (outLength < sizeof(SimReply)) return STATUS_BUFFER_TOO_SMALL;
        {
            ULONG verb = request->verb;
            RtlZeroMemory(reply, sizeof(SimReply));
            reply->startTime = startTime.QuadPart;
            reply->listSize = SIM_LIST_SIZE;
            reply->malform = malformNext;
            reply->elevated = elevatedCallers;
            if (verb == SIM_VERB_STATUS) {
                FillVolumeInfo(reply);
            } else {
                ULONG first = (logNext + SIM_LOG_MAX - logCount) % SIM_LOG_MAX;
                for (i = 0; i < logCount; i++) reply->u.log[i] = logEntries[(first + i) % SIM_LOG_MAX];
                reply->count = logCount;
            }
        }
        *information = sizeof(SimReply);
        return STATUS_SUCCESS;
    case SIM_VERB_CLEAR_LOG:
        logCount = logNext = 0;
        return STATUS_SUCCESS;
    case SIM_VERB_RESET:
        WakeInside(-1, SIM_ANSWER_USUAL, TRUE);
        for (i = 0; i < 26; i++) {
            RemoveVolume(i, TRUE);
        }
        DeleteLeftLinks();
        RtlZeroMemory(plans, sizeof(plans));
        logCount = logNext = 0;
        malformNext = SIM_MALFORM_NONE;
        elevatedCallers = 0;
        return STATUS_SUCCESS;
    case SIM_VERB_MALFORM:
        if (request->flags > SIM_MALFORM_SHORT) return STATUS_INVALID_PARAMETER;
        malformNext = request->flags;
        return STATUS_SUCCESS;
    case SIM_VERB_RELEASE:
        if (request->letter < 'A' || request->letter > 'Z') return STATUS_INVALID_PARAMETER;
        return WakeInside((int)(request->letter - 'A'), request->answer, FALSE) ? STATUS_SUCCESS : STATUS_NOT_FOUND;
    case SIM_VERB_ELEVATED:
        elevatedCallers = request->flags != 0;
        return STATUS_SUCCESS;
    case SIM_VERB_FORCE_TIME:
        found = FindVolume(request->letter);
        if (found < 0) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (request->ms > SIM_FORCE_TIME_MAX) return STATUS_INVALID_PARAMETER;
        volumes[found].forceMs = request->ms;
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

static NTSTATUS QueryVolume(Volume *v, PIO_STACK_LOCATION stack, void *buffer, ULONG_PTR *information)
{
    ULONG length = stack->Parameters.QueryVolume.Length;
    switch (stack->Parameters.QueryVolume.FsInformationClass) {
    case FileFsVolumeInformation: {
        FILE_FS_VOLUME_INFORMATION *info = buffer;
        ULONG labelBytes = WideLength(v->label, SIM_LABEL_MAX) * 2;
        ULONG need = FIELD_OFFSET(FILE_FS_VOLUME_INFORMATION, VolumeLabel) + labelBytes;
        if (length < need) return STATUS_BUFFER_TOO_SMALL;
        RtlZeroMemory(info, need);
        info->VolumeSerialNumber = 0x5A4D0000u + (ULONG)(v - volumes);
        info->VolumeLabelLength = labelBytes;
        RtlCopyMemory(info->VolumeLabel, v->label, labelBytes);
        *information = need;
        return STATUS_SUCCESS;
    }
    case FileFsAttributeInformation: {
        FILE_FS_ATTRIBUTE_INFORMATION *info = buffer;
        static const WCHAR fs[] = L"NTFS";
        ULONG need = FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName) + 8;
        if (length < need) return STATUS_BUFFER_TOO_SMALL;
        info->FileSystemAttributes = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
        info->MaximumComponentNameLength = 255;
        info->FileSystemNameLength = 8;
        RtlCopyMemory(info->FileSystemName, fs, 8);
        *information = need;
        return STATUS_SUCCESS;
    }
    case FileFsSizeInformation: {
        FILE_FS_SIZE_INFORMATION *info = buffer;
        if (length < sizeof(*info)) return STATUS_BUFFER_TOO_SMALL;
        info->TotalAllocationUnits.QuadPart = VOLUME_LENGTH / 4096;
        info->AvailableAllocationUnits.QuadPart = VOLUME_LENGTH / 8192;
        info->SectorsPerAllocationUnit = 8;
        info->BytesPerSector = 512;
        *information = sizeof(*info);
        return STATUS_SUCCESS;
    }
    case FileFsDeviceInformation: {
        FILE_FS_DEVICE_INFORMATION *info = buffer;
        if (length < sizeof(*info)) return STATUS_BUFFER_TOO_SMALL;
        info->DeviceType = FILE_DEVICE_DISK;
        info->Characteristics = 0;
        *information = sizeof(*info);
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

static NTSTATUS DispatchLocked(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    DeviceExt *ext = device->DeviceExtension;
    Volume *v = 0;
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG_PTR information = 0;

    // A volume request counts only while its device is the one mounted now.
    if (ext->kind == KIND_VOLUME && ext->index < 26 && volumes[ext->index].device == device)
        v = &volumes[ext->index];

    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        if (ext->kind == KIND_VOLUME) {
            if (!v) return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
            v->handles++;
        }
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE:
        // Wine sends no cleanup request, so a handle is counted from its
        // create to its close.
        if (v && v->handles > 0) v->handles--;
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLEANUP:
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
        if (!v) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        {
            NTSTATUS status = QueryVolume(v, stack, buffer, &information);
            return Complete(irp, status, information);
        }
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }

    // Device requests reach the control device only (Dispatch).
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

// A request of the real drivers' own (ProcessMainDeviceControlIrp), under the
// driver-wide lock and the table lock.
static NTSTATUS DriverRequest(PIRP irp, PIO_STACK_LOCATION stack)
{
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR information = SIM_LIST_SIZE;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case SIM_IOCTL_MOUNT_LIST:
        // A buffer shorter than this driver's layout gets nothing.
        if (outLength < SIM_LIST_SIZE || !buffer) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlZeroMemory(buffer, outLength);
        FillMountList(buffer);
        if (malformNext) {
            information = MalformMountList(buffer, malformNext);
            malformNext = SIM_MALFORM_NONE;
        }
        return Complete(irp, STATUS_SUCCESS, information);
    case SIM_IOCTL_DISMOUNT:
        return Dismount(irp, inLength, outLength);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

// Requests to the control device's device-control entry are the real
// drivers' own: one at a time under the driver-wide lock.
static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    DeviceExt *ext = device->DeviceExtension;
    NTSTATUS status;
    if (ext->kind == KIND_CONTROL && stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        EnterControl();
        LockTables();
        status = DriverRequest(irp, stack);
        UnlockTables();
        LeaveControl();
        return status;
    }
    LockTables();
    status = DispatchLocked(device, irp);
    UnlockTables();
    return status;
}

// simctl busy MS: the timer thread takes the driver-wide lock for MS ms; the
// order returns once it holds it (or after MS ms at the most), so that the
// requests sent next wait.
static NTSTATUS Busy(const SimRequest *request)
{
    LARGE_INTEGER timeout;
    if (!request->ms || request->ms > SIM_BUSY_MAX) return STATUS_INVALID_PARAMETER;
    KeClearEvent(&busyTaken);
    InterlockedExchange(&busyMs, (LONG)request->ms);
    KeSetEvent(&wakeTimer, IO_NO_INCREMENT, FALSE);
    timeout.QuadPart = -(LONGLONG)request->ms * 10000;
    KeWaitForSingleObject(&busyTaken, Executive, KernelMode, FALSE, &timeout);
    return STATUS_SUCCESS;
}

// Serves simctl's orders (sim_protocol.h) until the unload; looks at
// stopTimer ten times a second.
static VOID NTAPI ChannelThread(PVOID context)
{
    while (!stopTimer) {
        LARGE_INTEGER timeout;
        ULONG_PTR information = 0;
        timeout.QuadPart = -100 * 10000;
        if (ZwWaitForSingleObject(channelOrder, FALSE, &timeout) != STATUS_SUCCESS) continue;
        if (channel->io.request.verb == SIM_VERB_BUSY) {
            channel->status = Busy(&channel->io.request);
        } else {
            LockTables();
            channel->status = Control(&channel->io.request, sizeof(SimRequest), sizeof(channel->io), &information);
            UnlockTables();
        }
        channel->information = (ULONG)information;
        ZwSetEvent(channelDone, NULL);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// One named object of the channel: the section (isSection) or an event.
static NTSTATUS CreateChannelObject(const WCHAR *part, BOOLEAN isSection, HANDLE *handle)
{
    static const WCHAR prefix[] = SIM_CHANNEL_KERNEL_PREFIX PRODUCT;
    WCHAR buffer[96];
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    ULONG n = 0, i = 0;
    for (; prefix[n]; n++) buffer[n] = prefix[n];
    while (part[i] && n + 1 < 96) buffer[n++] = part[i++];
    buffer[n] = 0;
    RtlInitUnicodeString(&name, buffer);
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_OPENIF, NULL, NULL);
    if (isSection) {
        LARGE_INTEGER size;
        size.QuadPart = sizeof(SimChannel);
        return ZwCreateSection(handle, SECTION_ALL_ACCESS, &attributes, &size, PAGE_READWRITE, SEC_COMMIT, NULL);
    }
    return ZwCreateEvent(handle, EVENT_ALL_ACCESS, &attributes, SynchronizationEvent, FALSE);
}

static NTSTATUS OpenChannel(void)
{
    SIZE_T viewSize = 0;
    PVOID view = NULL;
    NTSTATUS status = CreateChannelObject(L"Channel", TRUE, &channelSection);
    if (NT_SUCCESS(status)) status = CreateChannelObject(L"Order", FALSE, &channelOrder);
    if (NT_SUCCESS(status)) status = CreateChannelObject(L"Done", FALSE, &channelDone);
    if (NT_SUCCESS(status))
        status = ZwMapViewOfSection(channelSection, ZwCurrentProcess(), &view, 0, 0, NULL, &viewSize,
                                    ViewUnmap, 0, PAGE_READWRITE);
    if (NT_SUCCESS(status)) channel = view;
    return status;
}

static void CloseChannel(void)
{
    if (channel) ZwUnmapViewOfSection(ZwCurrentProcess(), channel);
    if (channelDone) ZwClose(channelDone);
    if (channelOrder) ZwClose(channelOrder);
    if (channelSection) ZwClose(channelSection);
    channel = NULL;
    channelDone = channelOrder = channelSection = NULL;
}

static void StopThread(HANDLE *thread)
{
    if (!*thread) return;
    ZwWaitForSingleObject(*thread, FALSE, NULL);
    ZwClose(*thread);
    *thread = 0;
}

static void NTAPI Unload(PDRIVER_OBJECT driver)
{
    UNICODE_STRING link;
    ULONG i;
    LockTables();
    WakeInside(-1, SIM_ANSWER_USUAL, TRUE);
    UnlockTables();
    InterlockedExchange(&stopTimer, 1);
    KeSetEvent(&busyEnd, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&wakeTimer, IO_NO_INCREMENT, FALSE);
    StopThread(&timerThread);
    StopThread(&channelThread);
    CloseChannel();
    LockTables();
    for (i = 0; i < 26; i++) {
        RemoveVolume(i, TRUE);
    DeleteLeftLinks();
    }
    RtlInitUnicodeString(&link, CONTROL_LINK);
    IoDeleteSymbolicLink(&link);
    if (controlDevice) IoDeleteDevice(controlDevice);
    controlDevice = 0;
    UnlockTables();
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNICODE_STRING name, link;
    NTSTATUS status;
    ULONG i;

    KeQuerySystemTime(&startTime);
    ExInitializeFastMutex(&tableLock);
    KeInitializeEvent(&wakeTimer, SynchronizationEvent, FALSE);
    KeInitializeEvent(&busyTaken, NotificationEvent, FALSE);
    KeInitializeEvent(&busyEnd, SynchronizationEvent, FALSE);
    KeInitializeEvent(&insideWake, NotificationEvent, FALSE);
    KeInitializeEvent(&controlGate, SynchronizationEvent, TRUE);
    RtlInitUnicodeString(&name, CONTROL_DEVICE);
    RtlInitUnicodeString(&link, CONTROL_LINK);
    status = IoCreateDevice(driver, sizeof(DeviceExt), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &controlDevice);
    if (!NT_SUCCESS(status)) return status;
    ((DeviceExt *)controlDevice->DeviceExtension)->kind = KIND_CONTROL;
    IoDeleteSymbolicLink(&link);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(controlDevice);
        controlDevice = 0;
        return status;
    }
    status = OpenChannel();
    if (NT_SUCCESS(status))
        status = PsCreateSystemThread(&timerThread, THREAD_ALL_ACCESS, NULL, NULL, NULL, TimerThread, NULL);
    if (NT_SUCCESS(status))
        status = PsCreateSystemThread(&channelThread, THREAD_ALL_ACCESS, NULL, NULL, NULL, ChannelThread, NULL);
    if (!NT_SUCCESS(status)) {
        InterlockedExchange(&stopTimer, 1);
        KeSetEvent(&wakeTimer, IO_NO_INCREMENT, FALSE);
        StopThread(&timerThread);
        CloseChannel();
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(controlDevice);
        controlDevice = 0;
        return status;
    }
    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) driver->MajorFunction[i] = Dispatch;
    driver->DriverUnload = Unload;
    controlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
