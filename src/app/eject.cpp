#include "app/eject.h"
#include "base/memory.h"
#include "base/paths.h"
#include "base/text.h"
#include "console/console_setup.h"
#include "console/output.h"
#include "cryptdrv/dismount.h"
#include "cryptdrv/volume_id.h"
#include "dosdevices/session_links.h"
#include "handles/handle_followup.h"
#include "handles/handle_report.h"
#include "winactivate/window_activation.h"

// The loop's keys. Constant and process-wide, so the key-watch thread may
// copy it whenever it starts, even after EjectVolume has returned.
static const KeyAction kEjectKeys[kKeyActionLimit] = {
    {'F', "-> forcing...\n"},
    {VK_ESCAPE, "-> cancel...\n"},
};

static const DWORD kLoopPauseMs = 1000;
// How long the first try waits for closed File Explorer windows to go.
static const DWORD kExplorerReleaseMs = 1000;
static const char kSessionDosDevices[] = "\\Sessions\\0\\DosDevices";

// The tries before the loop, in order. Only the first try (like the loop)
// puts its " OK" on a fresh line; the second and third continue the line
// that their request and the report left.
struct EjectStage {
    BYTE reportFirst;       // the open-handle report (with -h) comes first
    BYTE forceWithOption;   // the request is forced when -f was given
    BYTE newLineBeforeOk;   // " OK" starts on a fresh line
    BYTE unhighlightOnOk;   // the report's lines go back to normal first
    BYTE sayUnreached;      // a request that reached no driver is reported
    BYTE lastTry;           // any answer but success goes on to the loop
};
static const EjectStage kEjectStages[] = {
    // report force newLine unhighlight sayUnreached lastTry
    {0, 0, 1, 0, 0, 0},   // first try
    {1, 0, 0, 0, 0, 0},   // second try, after the report
    {0, 1, 0, 1, 1, 1},   // third try, forced with -f
};

enum { kVolumePathLength = 52 };

// What one eject works with; the texts are derived from the letter once,
// before the first request.
struct EjectRun {
    const Options* options;
    char       letter;         // the letter that reaches the volume
    char       deviceLetter;   // the letter the driver knows it by
    DriveTexts drive;
    char       volumePath[kVolumePathLength];
    char       targetPath[MAX_PATH];
    CryptVolumeType type;      // the driver that has the volume
    DismountAnswer answer;     // what the requests came to
    int        handlesShown;   // the report found holders
};

static void DeriveTexts(EjectRun* run)
{
    MakeDriveTexts(run->letter, &run->drive);
    if (!GetVolumeNameForVolumeMountPointA(run->drive.rootPath, run->volumePath,
                                           kVolumePathLength))
        run->volumePath[0] = 0;
    run->volumePath[kVolumePathLength - 1] = 0;
    // Left empty when the query fails.
    QueryDosDeviceTarget(run->drive.dosDeviceName, run->targetPath);
}

int DeleteOtherSessionLinks(const char* dosDeviceName, char deviceLetter,
                            CryptVolumeType type)
{
    // The device names, each the product's prefix and the device's letter.
    char names[kLinkTargetLimit][kCryptPrefixLength + 2];
    const char* targets[kLinkTargetLimit];
    int count = 0;
    for (int product = CryptTrueCrypt; product <= CryptVeraCrypt; product++) {
        if (type != CryptNone && type != product)
            continue;
        wsprintfA(names[count], "%s%c", cryptVolumeDevicePrefixes[product], deviceLetter);
        targets[count] = names[count];
        count++;
    }
    return DeleteAllDosDevicesA(kSessionDosDevices, dosDeviceName, targets, count);
}

// The one end of every dismount.
static int FinishDismount(const EjectRun* run, int unhighlight, int newLine,
                          const char* okText)
{
    if (unhighlight)
        UnhighlightHandleLines(openHandleTable);
    if (newLine)
        NewLineIfNeeded();
    ConsolePrintf("%s", okText);
    // Links in other sessions go after every dismount: those that lead to
    // this volume's device (either product's when it could not be read).
    if (DeleteOtherSessionLinks(run->drive.dosDeviceName, run->deviceLetter, run->type))
        ConsolePrintf(" (and %s deleted from other user context)",
                      run->drive.dosDeviceName);
    // A letter the volume's link was moved to is the program's to remove; a
    // global one needs elevation.
    if (run->answer.linkError)
        ConsolePrintf(" (%c: not removed: error %u)", run->answer.linkLetter,
                      run->answer.linkError);
    ConsolePrintf("\n");
    return run->answer.forcedResult ? EjectDismountedByForce : EjectDismounted;
}

// Whether the volume is still mounted: its device is still there (also for
// another user's volume, which the mount list of a caller that is not
// elevated leaves out). When that cannot be read, it is taken as mounted.
static int VolumeStillMounted(const EjectRun* run)
{
    for (int type = CryptTrueCrypt; type <= CryptVeraCrypt; type++) {
        if (run->type != CryptNone && run->type != type)
            continue;
        char device[kCryptPrefixLength + 2];
        wsprintfA(device, "%s%c", cryptVolumeDevicePrefixes[type], run->deviceLetter);
        if (ObjectExists(device) != 0)
            return 1;
    }
    return 0;
}

// DRIVE_NOT_FOUND: the volume went away (another program dismounted it), or
// it belongs to another user and the run is not elevated; line (if any) comes
// before the hint of the second case.
static int DriveNotFound(const EjectRun* run, const char* line, int outcomeWhileMounted)
{
    if (!VolumeStillMounted(run))
        return EjectVolumeGone;
    NewLineIfNeeded();
    if (line)
        ConsolePrintf("%s", line);
    ConsolePrintf("the volume may belong to another user: an elevated Quenbrax can eject it\n");
    return outcomeWhileMounted;
}

static VolumeFolders* NewRunFolders(const EjectRun* run)
{
    return NewVolumeFolders(run->drive.rootPath, run->volumePath);
}

// With -x, before the first try: the File Explorer windows on the volume are
// closed, and the try waits (a little) until their windows are gone, since
// Explorer lets go of a folder only with the window that shows it.
static void CloseExplorerWindowsFirst(const EjectRun* run)
{
    VolumeFolders* folders = NewRunFolders(run);
    HWND closed[kClosedWindowLimit];
    int count = UseExplorerWindows(folders, 0, 1, closed);
    MemFree(folders);
    char line[kClosedLineLength];
    if (!FormatClosedLine(line, count, run->drive.dosDeviceName))
        return;
    NewLineIfNeeded();
    ConsolePrintf("%s\n", line);
    DWORD start = GetTickCount();
    for (int i = 0; i < count && i < kClosedWindowLimit; i++)
        while (IsWindowVisible(closed[i]) && GetTickCount() - start < kExplorerReleaseMs)
            Sleep(50);
}

// With -a: the first visible window of each holder, once per process; for
// File Explorer the window that shows the volume.
static void ActivateHolderWindows(const EjectRun* run)
{
    VolumeFolders* folders = NewRunFolders(run);
    for (int i = 0; i < kOpenHandleLimit && openHandleTable[i].processId; i++) {
        ULONGLONG id = openHandleTable[i].processId;
        int seen = 0;
        for (int j = 0; j < i && !seen; j++)
            seen = openHandleTable[j].processId == id;
        if (seen)
            continue;
        ActivateProcessWindow((DWORD)id,
                              IsExplorerExe(openHandleTable[i].exeName) ? folders : NULL);
    }
    MemFree(folders);
}

static int ReportOpenHandles(const EjectRun* run)
{
    HandleReportRequest request;
    MemFill(&request, 0, sizeof request);
    CopyText(request.volumeName, run->volumePath, sizeof request.volumeName);
    CopyText(request.devicePath, run->targetPath, sizeof request.devicePath);
    CopyText(request.driveRoot, run->drive.rootPath, sizeof request.driveRoot);
    request.visibleWindowsOnly = run->options->optHandlesV;
    request.debugForm = run->options->optDebug;
    request.explorerHint = !run->options->optCloseExplorer;
    int found = CheckForOpenHandles(&request);
    // A late report holds nothing on the volume while the next request is sent.
    EndVolumeUse(kVolumeUseDrainLimitMs);
    if (found && run->options->optActivateWindows)
        ActivateHolderWindows(run);
    return found;
}

// The lines before the loop: why the tries failed, where to look, the keys.
static void AnnounceRetryLoop(const EjectRun* run)
{
    if (run->answer.resultCode == DriverFilesOpen)
        ConsolePrintf(" failed (open files)\n");
    else
        ConsolePrintf(" failed (err %s)\n", DriverResultName(run->answer.resultCode));
    if (!run->handlesShown && run->targetPath[0])
        ConsolePrintf("look for open handles on '%s' or '%s'\n", run->drive.dosDeviceName,
                      run->targetPath);
    ConsolePrintf("Press Esc to cancel, F to force. Trying..");
}

// The retry loop; returns its outcome. The key watch runs throughout.
static int RetryLoop(EjectRun* run)
{
    AnnounceRetryLoop(run);
    StartKeyWatch(kEjectKeys);
    int forceNow = 0;
    if (IsStopRequested())
        return EjectNotDismounted;
    for (;;) {
        WORD key = GetLastKey();
        if (key == VK_ESCAPE) {
            RequestStop();
            return EjectNotDismounted;
        }
        if (!IsCryptVolumeDrive(run->letter) && !VolumeStillMounted(run))
            return EjectVolumeGone;
        if (key == 'F')
            forceNow = 1;
        ClearLastKey();

        if (DismountVolumeVia(run->letter, run->deviceLetter, run->type, forceNow,
                              &run->answer) != DismountAnswered)
            return EjectNotDismounted;
        if (run->options->optShowHandles) {
            RecheckOpenHandles(openHandleTable);
            RecheckUnreadableFiles();
        }
        if (run->answer.resultCode == DriverSuccess)
            return FinishDismount(run, 1, 1, forceNow ? " OK (by force)" : " OK");
        if (run->answer.resultCode == DriverDriveNotFound)
            return DriveNotFound(run, " DRIVE_NOT_FOUND -> wrong user context?\n",
                                 EjectDriveNotFound);
        if (GetLastKey() == 0) {
            Sleep(kLoopPauseMs);
            if (GetCursorColumn() > 0)
                ConsolePrintf(".");
        }
        FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
        if (IsStopRequested())
            return EjectNotDismounted;
    }
}

static int RunEjectStages(EjectRun* run)
{
    for (const EjectStage& stage : kEjectStages) {
        if (stage.reportFirst && run->options->optShowHandles)
            run->handlesShown = ReportOpenHandles(run);
        int force = stage.forceWithOption && run->options->optForce;
        int sent = DismountVolumeVia(run->letter, run->deviceLetter, run->type, force,
                                     &run->answer);
        if (sent != DismountAnswered) {
            if (sent == DismountNotSent && stage.sayUnreached)
                ConsolePrintf("error %u opening the TrueCrypt device driver\n",
                              GetLastError());
            return EjectNotDismounted;
        }
        if (run->answer.resultCode == DriverSuccess)
            return FinishDismount(run, stage.unhighlightOnOk, stage.newLineBeforeOk, " OK");
        if (run->answer.resultCode == DriverDriveNotFound)
            return DriveNotFound(run, NULL, EjectNotDismounted);
        if (run->answer.resultCode != DriverFilesOpen && !stage.lastTry)
            return EjectNotDismounted;
    }
    if (!run->options->optLoop) {
        ConsolePrintf(" failed (open files)\n");
        return EjectFilesOpen;
    }
    int outcome = RetryLoop(run);
    StopKeyWatch();
    return outcome;
}

int EjectVolume(char deviceLetter, const Options* options, int* protectionTriggered)
{
    EjectRun* run = (EjectRun*)MemAlloc(sizeof(EjectRun));
    run->options = options;
    run->deviceLetter = deviceLetter;
    // Requests name the drive the driver knows; every drive-letter operation
    // goes through the letter that reaches the volume now.
    run->letter = FindReachLetter(deviceLetter);
    run->type = FindVolumeProduct(deviceLetter);
    DeriveTexts(run);
    if (options->optCloseExplorer)
        CloseExplorerWindowsFirst(run);
    int outcome = RunEjectStages(run);
    // The shell was told the drive goes; it is still there.
    if (outcome != EjectDismounted && outcome != EjectDismountedByForce &&
        outcome != EjectVolumeGone)
        NotifyShellDriveBack(run->letter);
    if (run->answer.protectionTriggered)
        *protectionTriggered = 1;
    MemFree(run);
    return outcome;
}
