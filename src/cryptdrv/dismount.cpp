// One dismount request to a crypt-volume driver, its forced second request,
// and the notices after a dismount.
#include "cryptdrv/dismount.h"
#include "cryptdrv/volume_id.h"
#include "base/imports.h"
#include "base/memory.h"
#include "base/paths.h"
#include "console/console_setup.h"
#include "console/output.h"
#include <shlobj.h>
#include <shlwapi.h>

static const char* const kDriverResultNames[] = {
    "SUCCESS",
    "OS_ERROR",
    "OUTOFMEMORY",
    "PASSWORD_WRONG",
    "VOL_FORMAT_BAD",
    "DRIVE_NOT_FOUND",
    "FILES_OPEN",
    "VOL_SIZE_WRONG",
    "COMPRESSION_NOT_SUPPORTED",
    "PASSWORD_CHANGE_VOL_TYPE",
    "PASSWORD_CHANGE_VOL_VERSION",
    "VOL_SEEKING",
    "VOL_WRITING",
    "FILES_OPEN_LOCK",
    "VOL_READING",
    "DRIVER_VERSION",
    "NEW_VERSION_REQUIRED",
    "CIPHER_INIT_FAILURE",
    "CIPHER_INIT_WEAK_KEY",
    "SELF_TESTS_FAILED",
    "SECTOR_SIZE_INCOMPATIBLE",
    "VOL_ALREADY_MOUNTED",
    "NO_FREE_DRIVES",
    "FILE_OPEN_FAILED",
    "VOL_MOUNT_FAILED",
    "INVALID_DEVICE",
    "ACCESS_DENIED",
    "MODE_INIT_FAILED",
    "DONT_REPORT",
    "ENCRYPTION_NOT_COMPLETED",
    "PARAMETER_INCORRECT",
    "SYS_HIDVOL_HEAD_REENC_MODE_WRONG",
    "NONSYS_INPLACE_ENC_INCOMPLETE",
    "USER_ABORT",
};
enum { kDriverResultNameCount = sizeof kDriverResultNames / sizeof kDriverResultNames[0] };

static const DWORD kBroadcastTimeoutMs = 500;
static const DWORD kNoticeDelayMs = 100;    // after the shell notice, before a request
static const DWORD kForceDelayMs = 500;     // before the forced request
static const DWORD kAnswerCheckMs = 100;    // a waiting request looks at the keys this often
static const DWORD kSlowAnswerMs = 10000;   // then "waiting for the driver..." is shown

// The keys of a wait for the driver outside the retry loop (whose own watch,
// with Esc as well, serves while it runs). Process-wide, as the key-watch
// thread copies it when it starts.
static const KeyAction kWaitKeys[kKeyActionLimit] = {
    {VK_ESCAPE, "-> cancel...\n"},
};

// A request that the driver may answer late: the driver's answer is written
// into this block when it comes, so it outlives a wait that was canceled.
struct PendingRequest {
    OVERLAPPED    overlapped;
    DismountBlock block;
};

const char* DriverResultName(int code)
{
    if (code >= 0 && code < kDriverResultNameCount)
        return kDriverResultNames[code];
    // Overwritten by the next unnamed code; main thread only.
    static char formatted[16];
    wsprintfA(formatted, "%i", code);
    return formatted;
}

void FillDismountBlock(char letter, DismountBlock* block)
{
    MemFill(block, 0, sizeof *block);
    block->driveNumber = letter >= 'A' && letter <= 'Z' ? letter - 'A' : -1;
}

void FillVolumeBroadcast(char letter, DEV_BROADCAST_VOLUME* block)
{
    MemFill(block, 0, sizeof *block);
    block->dbcv_size = sizeof *block;
    block->dbcv_devicetype = DBT_DEVTYP_VOLUME;
    if (letter >= 'A' && letter <= 'Z')
        block->dbcv_unitmask = 1u << (letter - 'A');
}

// Waits for the answer of a pending request while the keys still work; 1 when
// the answer came, 0 when the user canceled the wait (Ctrl+C, Ctrl+Break,
// closing the console, or Esc, which also requests the stop).
static int WaitForAnswer(HANDLE answered)
{
    DWORD start = GetTickCount();
    int ownWatch = 0, told = 0, answer = 1;
    while (WaitForSingleObject(answered, kAnswerCheckMs) != WAIT_OBJECT_0) {
        if (!ownWatch)
            ownWatch = StartKeyWatch(kWaitKeys);
        if (GetLastKey() == VK_ESCAPE)
            RequestStop();
        if (IsStopRequested()) {
            answer = 0;
            break;
        }
        if (!told && GetTickCount() - start >= kSlowAnswerMs) {
            NewLineIfNeeded();
            ConsolePrintf("waiting for the driver...");
            told = 1;
        }
    }
    if (ownWatch > 0)
        StopKeyWatch();
    return answer;
}

// Sends one request and waits for its answer. A shorter reply leaves fields of
// the block as they were sent (returnCode 0), which must not pass for a
// dismount: it fails with ERROR_INVALID_DATA.
static int SendDismountRequest(HANDLE device, DismountBlock* block)
{
    PendingRequest* request = (PendingRequest*)MemAlloc(sizeof(PendingRequest));
    request->overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!request->overlapped.hEvent) {
        MemFree(request);
        return DismountNotSent;
    }
    request->block = *block;
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device, kDismountRequestCode, &request->block,
                              sizeof request->block, &request->block,
                              sizeof request->block, &returned, &request->overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        // A canceled wait leaves the block, the event and the device handle
        // to the request, which may still be answered; none is released.
        if (!WaitForAnswer(request->overlapped.hEvent))
            return DismountCanceled;
        ok = GetOverlappedResult(device, &request->overlapped, &returned, FALSE);
    }
    DWORD error = ok ? 0 : GetLastError();
    CloseHandle(request->overlapped.hEvent);
    if (ok && returned >= sizeof request->block)
        *block = request->block;
    else if (ok)
        error = ERROR_INVALID_DATA;
    MemFree(request);
    SetLastError(error);
    return error ? DismountNotSent : DismountAnswered;
}

// shell32 is large and slow to load; only a dismount needs it, so the import
// table loads it at the first notice instead of at every start.
static void NotifyShellRemoved(const char* rootPath)
{
    SHChangeNotifyFn shChangeNotify = (SHChangeNotifyFn)GetImport(ImportSHChangeNotify);
    if (shChangeNotify)
        shChangeNotify(SHCNE_MEDIAREMOVED, SHCNF_PATHA, rootPath, NULL);
}

// After the dismount: the letter's link, if it still names this volume, then
// the shell notice and the device-change broadcast. Failures are not reported.
static void AnnounceDismount(char letter, char deviceLetter, const DriveTexts* texts)
{
    const char* dosDeviceName = texts->dosDeviceName;
    char target[MAX_PATH];
    if (QueryDosDeviceTarget(dosDeviceName, target) &&
        StrStrA(target, kCryptVolumeText) && lstrlenA(target) > kCryptPrefixLength &&
        target[kCryptPrefixLength] == deviceLetter)
        DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION |
                             DDD_EXACT_MATCH_ON_REMOVE,
                         dosDeviceName, target);
    NotifyShellRemoved(texts->rootPath);

    DEV_BROADCAST_VOLUME broadcast;
    FillVolumeBroadcast(letter, &broadcast);
    DWORD_PTR answer = 0;
    SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                        (LPARAM)&broadcast, SMTO_ABORTIFHUNG, kBroadcastTimeoutMs,
                        &answer);
}

// The forced request after a FILES_OPEN answer; the first answer stands when
// the forced one fails. Returns what SendDismountRequest did.
static int SendForcedRequest(HANDLE device, DismountBlock* block, int* forcedResult)
{
    Sleep(kForceDelayMs);
    DismountBlock forced = *block;   // as the driver returned it
    forced.ignoreOpenFiles = 1;
    int sent = SendDismountRequest(device, &forced);
    if (sent == DismountAnswered) {
        *block = forced;
        if (block->returnCode == DriverSuccess)
            *forcedResult = 1;
    }
    return sent;
}

int DismountVolumeVia(char letter, char deviceLetter, int force, int* forcedResult,
                      int* resultCode)
{
    DriveTexts texts;
    MakeDriveTexts(letter, &texts);
    char target[MAX_PATH];
    if (!QueryDosDeviceTarget(texts.dosDeviceName, target))
        return DismountNotSent;
    CryptVolumeType type = GetCryptVolumeType(target);
    if (type != CryptTrueCrypt && type != CryptVeraCrypt)
        return DismountNotSent;
    // Overlapped, so that the keys still work while a driver takes its time.
    HANDLE device = CreateFileA(cryptDriverPaths[type], 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (device == INVALID_HANDLE_VALUE)
        return DismountNotSent;

    NotifyShellRemoved(texts.rootPath);
    Sleep(kNoticeDelayMs);

    DismountBlock block;
    FillDismountBlock(deviceLetter, &block);
    int sent = SendDismountRequest(device, &block);
    if (sent == DismountNotSent) {
        // The caller may report this error after the line below.
        DWORD error = GetLastError();
        ConsolePrintf("\n%s: error", cryptProductNames[type]);
        CloseHandle(device);
        SetLastError(error);
        return DismountNotSent;
    }
    if (sent == DismountAnswered && force && block.returnCode == DriverFilesOpen &&
        SendForcedRequest(device, &block, forcedResult) == DismountCanceled)
        sent = DismountCanceled;
    if (sent == DismountCanceled)
        return DismountCanceled;   // no answer, no further request
    *resultCode = block.returnCode;
    CloseHandle(device);

    if (block.returnCode != DriverSuccess) {
        ConsolePrintf("\n%s: %s", cryptProductNames[type],
                      DriverResultName(block.returnCode));
        return DismountAnswered;
    }
    AnnounceDismount(letter, deviceLetter, &texts);
    return DismountAnswered;
}
