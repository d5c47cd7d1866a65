// One dismount request to a crypt-volume driver, its forced second request,
// and the notices after a dismount.
#include "cryptdrv/dismount.h"
#include "cryptdrv/volume_id.h"
#include "base/imports.h"
#include "base/memory.h"
#include "base/paths.h"
#include "console/console_setup.h"
#include "console/output.h"
#include "cryptdrv/driver_call.h"
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

// Sends one request and waits for its answer. A shorter reply leaves fields of
// the block as they were sent (returnCode 0), which must not pass for a
// dismount: it fails with ERROR_INVALID_DATA. Returns a DriverCallResult.
static int SendDismountRequest(CryptVolumeType type, DismountBlock* block)
{
    DismountBlock answer = *block;
    DriverRequest request = {cryptDriverPaths[type], kDismountRequestCode, &answer,
                             sizeof answer, sizeof answer};
    DWORD returned = 0;
    int result = CallDriver(&request, &returned);
    if (result == DriverCallAnswered && returned < sizeof answer) {
        SetLastError(ERROR_INVALID_DATA);
        return DriverCallFailed;
    }
    if (result == DriverCallAnswered)
        *block = answer;
    return result;
}

// shell32 is large and slow to load; only a dismount needs it, so the import
// table loads it at the first notice instead of at every start. Explorer
// keeps handles on every drive while "This PC" is open and lets a drive go
// on SHCNE_DRIVEREMOVED; SHCNE_DRIVEADD gives it back.
static void NotifyShell(LONG event, const char* rootPath)
{
    SHChangeNotifyFn shChangeNotify = (SHChangeNotifyFn)GetImport(ImportSHChangeNotify);
    if (shChangeNotify)
        shChangeNotify(event, SHCNF_PATHA, rootPath, NULL);
}

void NotifyShellDriveBack(char letter)
{
    DriveTexts texts;
    MakeDriveTexts(letter, &texts);
    NotifyShell(SHCNE_DRIVEADD, texts.rootPath);
}

// Removes every drive letter's link that still leads to the dismounted
// volume's device: the driver removes only the letter the volume was mounted
// with, not one the link was moved to. Returns the error of a removal that
// did not take (a global link needs elevation), else 0; Wine reports failure
// for one that did, so a query decides. *failedLetter: the letter whose link
// stayed.
static DWORD RemoveLetterLinks(char deviceLetter, CryptVolumeType type, char* failedLetter)
{
    char device[MAX_PATH];
    wsprintfA(device, "%s%c", cryptVolumeDevicePrefixes[type], deviceLetter);
    DWORD error = 0;
    for (char letter = 'A'; letter <= 'Z'; letter++) {
        DriveTexts texts;
        MakeDriveTexts(letter, &texts);
        char target[MAX_PATH];
        if (!QueryDosDeviceTarget(texts.dosDeviceName, target) || lstrcmpA(target, device) != 0)
            continue;
        BOOL removed = DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION |
                                            DDD_EXACT_MATCH_ON_REMOVE,
                                        texts.dosDeviceName, device);
        DWORD removeError = removed ? 0 : GetLastError();
        if (QueryDosDeviceTarget(texts.dosDeviceName, target) && lstrcmpA(target, device) == 0) {
            error = removeError ? removeError : ERROR_ACCESS_DENIED;
            *failedLetter = letter;
        }
    }
    return error;
}

// After the dismount: the letter's link, then the shell notice and the
// device-change broadcast. Only a link left behind is reported.
static void AnnounceDismount(char letter, char deviceLetter, CryptVolumeType type,
                             const DriveTexts* texts, DismountAnswer* answer)
{
    answer->linkError = RemoveLetterLinks(deviceLetter, type, &answer->linkLetter);
    NotifyShell(SHCNE_DRIVEREMOVED, texts->rootPath);

    DEV_BROADCAST_VOLUME broadcast;
    FillVolumeBroadcast(letter, &broadcast);
    DWORD_PTR result = 0;
    SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                        (LPARAM)&broadcast, SMTO_ABORTIFHUNG, kBroadcastTimeoutMs,
                        &result);
}

// The forced request after a FILES_OPEN answer; the first answer stands when
// the forced one fails.
static void SendForcedRequest(CryptVolumeType type, DismountBlock* block, int* forcedResult)
{
    Sleep(kForceDelayMs);
    if (IsStopRequested())
        return;
    DismountBlock forced = *block;   // as the driver returned it
    forced.ignoreOpenFiles = 1;
    if (SendDismountRequest(type, &forced) != DriverCallAnswered)
        return;
    *block = forced;
    if (block->returnCode == DriverSuccess)
        *forcedResult = 1;
}

// The product of a letter's crypt-volume link; CryptNone without one.
static CryptVolumeType LinkProduct(const DriveTexts* texts)
{
    char target[MAX_PATH];
    return QueryDosDeviceTarget(texts->dosDeviceName, target) ? GetCryptVolumeType(target)
                                                              : CryptNone;
}

int DismountVolumeVia(char letter, char deviceLetter, CryptVolumeType type, int force,
                      DismountAnswer* answer)
{
    // A stop asked for before this request: none is made.
    if (IsStopRequested())
        return DismountCanceled;
    DriveTexts texts;
    MakeDriveTexts(letter, &texts);
    if (type == CryptNone)
        type = LinkProduct(&texts);
    if (type != CryptTrueCrypt && type != CryptVeraCrypt)
        return DismountNotSent;

    NotifyShell(SHCNE_DRIVEREMOVED, texts.rootPath);
    Sleep(kNoticeDelayMs);
    if (IsStopRequested())
        return DismountCanceled;

    DismountBlock block;
    FillDismountBlock(deviceLetter, &block);
    int sent = SendDismountRequest(type, &block);
    if (sent == DriverCallNotOpened)
        return DismountNotSent;
    if (sent == DriverCallFailed) {
        // The caller may report this error after the line below.
        DWORD error = GetLastError();
        ConsolePrintf("\n%s: error", cryptProductNames[type]);
        SetLastError(error);
        return IsStopRequested() ? DismountCanceled : DismountNotSent;
    }
    // A stop asked for while the driver worked, or during the pause before
    // the forced request: no further request.
    if (force && block.returnCode == DriverFilesOpen)
        SendForcedRequest(type, &block, &answer->forcedResult);
    answer->resultCode = block.returnCode;

    if (block.returnCode != DriverSuccess) {
        ConsolePrintf("\n%s: %s", cryptProductNames[type],
                      DriverResultName(block.returnCode));
        return IsStopRequested() ? DismountCanceled : DismountAnswered;
    }
    if (block.hiddenVolumeProtectionTriggered)
        answer->protectionTriggered = 1;
    AnnounceDismount(letter, deviceLetter, type, &texts, answer);
    return DismountAnswered;
}
