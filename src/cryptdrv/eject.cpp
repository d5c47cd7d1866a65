// The eject escalation: first try, report of open handles, second try, third
// try (forced with -f) and, with -l, a retry loop that F forces and Esc ends.
#include "cryptdrv/eject.h"
#include "cryptdrv/volume_id.h"
#include "console/output.h"
#include "console/console_setup.h"
#include "handles/handle_report.h"
#include "handles/handle_followup.h"
#include "dosdevices/session_links.h"
#include "frame/options.h"
#include "frame/text_util.h"
#include "frame/memory.h"

// The loop's keys. Constant and process-wide, so the key-watch thread may
// copy it whenever it starts, even after EjectVolume has returned.
static const KeyAction kEjectKeys[kKeyActionSlots] = {
    {'F', "-> forcing...\n"},
    {VK_ESCAPE, "-> cancel...\n"},
};

static const DWORD kLoopPauseMs = 1000;

enum { kVolumePathChars = 52 };

// Texts derived from the drive letter once, before the first request.
struct EjectTexts {
    char dosDeviceName[3];
    char rootPath[4];
    char volumePath[kVolumePathChars];
    char targetPath[MAX_PATH];
};

static void DeriveTexts(char letter, EjectTexts* texts)
{
    MemFill(texts, 0, sizeof *texts);
    texts->dosDeviceName[0] = letter;
    texts->dosDeviceName[1] = ':';
    texts->rootPath[0] = letter;
    texts->rootPath[1] = ':';
    texts->rootPath[2] = '\\';
    if (!GetVolumeNameForVolumeMountPointA(texts->rootPath, texts->volumePath,
                                           kVolumePathChars))
        texts->volumePath[0] = 0;
    texts->volumePath[kVolumePathChars - 1] = 0;
    if (!QueryDosDeviceA(texts->dosDeviceName, texts->targetPath, MAX_PATH - 1))
        texts->targetPath[0] = 0;
    texts->targetPath[MAX_PATH - 1] = 0;
}

// Deletes the letter's crypt-volume links in the other logon sessions and
// says so on the success line.
static void CleanOtherSessions(const char* dosDeviceName)
{
    if (DeleteAllDosDevicesA("\\Sessions\\0\\DosDevices", dosDeviceName,
                             "CryptVolume"))
        ConsolePrintf(" (and %s deleted from other user context)", dosDeviceName);
}

static int ReportOpenHandles(const EjectTexts* texts)
{
    HandleReportRequest* request =
        (HandleReportRequest*)MemAlloc(sizeof(HandleReportRequest));
    CopyText(request->volumeName, texts->volumePath, sizeof request->volumeName);
    CopyText(request->devicePath, texts->targetPath, sizeof request->devicePath);
    CopyText(request->driveRoot, texts->rootPath, sizeof request->driveRoot);
    int shown = CheckForOpenHandles(request);
    // The report may have abandoned its thread, which keeps the request.
    return shown;
}

static WORD ReadLastKey(void)
{
    return __atomic_load_n(&lastKey, __ATOMIC_ACQUIRE);
}

// The retry loop; returns its outcome. The key watch runs throughout.
static int RetryLoop(char letter, char deviceLetter, const EjectTexts* texts,
                     int resultCode,
                     int handlesShown)
{
    if (resultCode == DriverFilesOpen)
        ConsolePrintf(" failed (open files)\n");
    else
        ConsolePrintf(" failed (err %s)\n", DriverResultName(resultCode));
    if (!handlesShown && texts->targetPath[0])
        ConsolePrintf("look for open handles on '%s' or '%s'\n", texts->dosDeviceName,
                      texts->targetPath);
    ConsolePrintf("Press Esc to cancel, F to force. Trying..");
    StartKeyWatch(kEjectKeys);

    int forceNow = 0;
    int forcedResult = 0;
    int outcome = EjectNotDismounted;
    if (IsStopRequested())
        return outcome;
    for (;;) {
        WORD key = ReadLastKey();
        if (key == VK_ESCAPE) {
            RequestStop();
            return EjectNotDismounted;
        }
        if (!IsCryptVolumeDrive(letter))
            return EjectVolumeGone;
        if (key == 'F')
            forceNow = 1;
        ClearLastKey();

        if (!DismountVolumeVia(letter, deviceLetter, forceNow, &forcedResult,
                               &resultCode))
            return EjectNotDismounted;
        if (optShowHandles) {
            RecheckOpenHandles(openHandleTable);
            RecheckUnreadableFiles();
        }
        if (resultCode == DriverSuccess) {
            UnhighlightHandleLines(openHandleTable);
            NewLineIfNeeded();
            ConsolePrintf(forceNow ? " OK (by force)" : " OK");
            CleanOtherSessions(texts->dosDeviceName);
            ConsolePrintf("\n");
            return forcedResult ? EjectDismountedByForce : EjectDismounted;
        }
        if (resultCode == DriverDriveNotFound) {
            NewLineIfNeeded();
            ConsolePrintf(" DRIVE_NOT_FOUND -> wrong user context?\n");
            return EjectDriveNotFound;
        }
        if (ReadLastKey() == 0) {
            Sleep(kLoopPauseMs);
            if (GetCursorColumn() > 0)
                ConsolePrintf(".");
        }
        FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
        if (IsStopRequested())
            return EjectNotDismounted;
    }
}

int EjectVolume(char deviceLetter, DWORD force, DWORD loop)
{
    // Requests name the drive the driver knows; every drive-letter operation
    // goes through the letter that reaches the volume now.
    char letter = FindReachLetter(deviceLetter);
    EjectTexts* texts = (EjectTexts*)MemAlloc(sizeof(EjectTexts));
    DeriveTexts(letter, texts);
    int resultCode = DriverSuccess;
    int outcome = EjectNotDismounted;

    // First try.
    int firstForced = 0;
    if (DismountVolumeVia(letter, deviceLetter, 0, &firstForced, &resultCode) &&
        resultCode == DriverSuccess) {
        NewLineIfNeeded();
        ConsolePrintf(" OK");
        CleanOtherSessions(texts->dosDeviceName);
        ConsolePrintf("\n");
        outcome = EjectDismounted;
        goto done;
    }
    if (resultCode != DriverFilesOpen)
        goto done;

    {
        int handlesShown = optShowHandles ? ReportOpenHandles(texts) : 0;

        // Second try.
        int forcedResult = 0;
        resultCode = DriverSuccess;
        int reached =
            DismountVolumeVia(letter, deviceLetter, 0, &forcedResult, &resultCode);
        if (reached && resultCode == DriverSuccess) {
            ConsolePrintf(" OK");
            // Links in other sessions go after every dismount, this one too.
            CleanOtherSessions(texts->dosDeviceName);
            ConsolePrintf("\n");
            outcome = EjectDismounted;
            goto done;
        }
        if (!reached || resultCode != DriverFilesOpen)
            goto done;

        // Third try, forced with -f.
        if (!DismountVolumeVia(letter, deviceLetter, force ? 1 : 0, &forcedResult,
                               &resultCode)) {
            ConsolePrintf("error %u opening the TrueCrypt device driver\n",
                          GetLastError());
            goto done;
        }
        if (resultCode == DriverSuccess) {
            UnhighlightHandleLines(openHandleTable);
            ConsolePrintf(" OK");
            CleanOtherSessions(texts->dosDeviceName);
            ConsolePrintf("\n");
            outcome = forcedResult ? EjectDismountedByForce : EjectDismounted;
            goto done;
        }
        if (!loop) {
            ConsolePrintf(" failed (open files)\n");
            outcome = EjectFilesOpen;
            goto done;
        }

        outcome = RetryLoop(letter, deviceLetter, texts, resultCode, handlesShown);
        StopKeyWatch();
    }

done:
    MemFree(texts);
    return outcome;
}
