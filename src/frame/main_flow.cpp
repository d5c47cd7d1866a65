#include "frame/main_flow.h"
#include "frame/maker.h"
#include "frame/options.h"
#include "frame/text_util.h"
#include "frame/memory.h"
#include "console/output.h"
#include "console/console_setup.h"
#include "cryptdrv/volume_id.h"
#include "cryptdrv/eject.h"
#include "handles/handle_report.h"
#include "handles/handle_followup.h"
#include "dosdevices/session_links.h"
#include "diag/version_info.h"
#include "diag/self_delete.h"
#include <shlwapi.h>

static const char kSessionDosDevices[] = "\\Sessions\\0\\DosDevices";
static const char kCryptVolumeText[] = "CryptVolume";

void PrintAbout(void)
{
    ConsolePrintf("\n");
    ConsolePrintf("Tarnwick V%s (%s) - 'ejects' a TrueCrypt volume\n",
                  ownFileVersion.versionText, "x64");
    ConsolePrintf("Freeware by %s - %s\n", QB_MAKER_NAME, QB_MAKER_WEBSITE);
}

void PrintUsage(void)
{
    ConsolePrintf("%s",
        "\nUsage:\nQuenbrax DriveSpec [-f][-l][-h][-na][-w:nnnn]\n\n"
        "DriveSpec is something that defines the TrueCrpyt Volume to eject,\n"
        "e.g. U: (the TrueCrypt volume's drive letter)\n"
        "or its VolumeName like Volume{GUID}\n"
        "or the path of its container, e.g. a partition name or a file name\n"
        "-f       force\n-l       loop until success\n-h       show open handles\n"
        "-a       activate windows of applications with open handles\n"
        "-na      no about info\n-w:nnnn  wait nnnn milliseconds before close\n\n"
        "'force' can be set afterwards while being in the try loop by pressing the F key.\n");
}

// What resolving the DriveSpec decided.
enum ResolveResult {
    ResolvedLetter,        // run.letter holds the volume's drive letter
    ResolvedContainer,     // run.containerText is to be looked up
    ResolvedMessage,       // run.message (colour 14) ends the run with code 5
    ResolvedOtherSession,  // the letter was deleted in another logon session
};

struct RunState {
    int  waitMs;
    char letter;                 // character 23 of the target path; 0 until found
    char dosDeviceName[3];       // "U:"
    char rootPath[4];            // "U:\"
    char volumePath[MAX_PATH];
    char targetPath[MAX_PATH];
    char fullPath[MAX_PATH + 1]; // room for the backslash a mount point gets
    char containerText[MAX_PATH];
    char label[64];
    char message[256];
};

static void SetDriveTexts(RunState* run, char letter)
{
    run->dosDeviceName[0] = letter;
    run->dosDeviceName[1] = ':';
    run->dosDeviceName[2] = 0;
    run->rootPath[0] = letter;
    run->rootPath[1] = ':';
    run->rootPath[2] = '\\';
    run->rootPath[3] = 0;
}

static int QueryTarget(const char* dosName, char* target)
{
    MemFill(target, 0, MAX_PATH);
    // The last character stays 0 even when the reply fills the buffer.
    return QueryDosDeviceA(dosName, target, MAX_PATH - 1) != 0;
}

static int ResolveVolumeName(RunState* run, const char* upper, const char* found)
{
    // "\\?\Volume" and the braces with the GUID, lower-cased: 48 characters.
    CopyText(run->volumePath, "\\\\?\\Volume", sizeof run->volumePath);
    CopyText(run->volumePath + 10, found + 6, 39);
    CharLowerA(run->volumePath + 11);
    (void)upper;
    if (!QueryTarget(run->volumePath + 4, run->targetPath)) {
        CopyText(run->message, "not a VolumeName\n", sizeof run->message);
        return ResolvedMessage;
    }
    if (GetCryptVolumeType(run->targetPath) == CryptNone) {
        wsprintfA(run->message, "%.200s is not a Crypt Volume\n", run->targetPath);
        return ResolvedMessage;
    }
    run->letter = run->targetPath[kCryptPrefixLength];
    return ResolvedLetter;
}

static int ResolvePath(RunState* run, const char* typed)
{
    DWORD length = GetFullPathNameA(typed, MAX_PATH, run->fullPath, NULL);
    if (length == 0 || length >= MAX_PATH) {
        CopyText(run->containerText, typed, sizeof run->containerText);
        return ResolvedContainer;
    }
    if (GetPathKind(run->fullPath) != 0 && IsReparsePointPath(run->fullPath)) {
        AppendCharIfMissing(run->fullPath, '\\');
        if (!GetVolumeNameForVolumeMountPointA(run->fullPath, run->volumePath,
                                               MAX_PATH)) {
            CopyText(run->message, "not a Volume\n", sizeof run->message);
            return ResolvedMessage;
        }
        StripTrailingChar(run->volumePath, '\\');
        if (lstrlenA(run->volumePath) <= 4 ||
            !QueryTarget(run->volumePath + 4, run->targetPath)) {
            CopyText(run->message, "not a Volume\n", sizeof run->message);
            return ResolvedMessage;
        }
        if (GetCryptVolumeType(run->targetPath) == CryptNone) {
            CopyText(run->message, "not a Crypt Volume\n", sizeof run->message);
            return ResolvedMessage;
        }
        run->letter = run->targetPath[kCryptPrefixLength];
        return ResolvedLetter;
    }
    CopyText(run->containerText, typed, sizeof run->containerText);
    return ResolvedContainer;
}

static int ResolveDriveLetter(RunState* run, char letter)
{
    SetDriveTexts(run, letter);
    if (!QueryTarget(run->dosDeviceName, run->targetPath)) {
        if (DeleteAllDosDevicesA(kSessionDosDevices, run->dosDeviceName,
                                 kCryptVolumeText))
            return ResolvedOtherSession;
        wsprintfA(run->message, "%s is not a Volume\n", run->dosDeviceName);
        return ResolvedMessage;
    }
    if (GetCryptVolumeType(run->targetPath) == CryptNone) {
        wsprintfA(run->message, "%.200s is not a True- or VeraCrypt Volume\n",
                  run->targetPath);
        return ResolvedMessage;
    }
    run->letter = run->targetPath[kCryptPrefixLength];
    return ResolvedLetter;
}

static int ResolveDriveSpec(RunState* run, const char* typed)
{
    char upper[MAX_PATH];
    CopyText(upper, typed, sizeof upper);
    CharUpperA(upper);
    int length = lstrlenA(upper);

    const char* found = StrStrIA(upper, "Volume{");
    if (found && (found - upper) + 43 < length && found[43] == '}')
        return ResolveVolumeName(run, upper, found);
    if (length > 3)
        return ResolvePath(run, typed);
    if (upper[0] >= 'A' && upper[0] <= 'Z' && (upper[1] == ':' || upper[1] == 0))
        return ResolveDriveLetter(run, upper[0]);
    run->containerText[0] = 0;
    return ResolvedContainer;
}

static int EndWithMessage(ConsoleContext* context, const RunState* run,
                          const char* message, DWORD waitMs)
{
    SetConsoleColor(context, ColorWarning);
    ConsolePrintf("%s", message);
    SetConsoleColor(context, ColorDefault);
    if (IsConsoleWindowShown() && IsOwnConsole())
        SleepOrKey(waitMs);
    (void)run;
    ShutdownConsole(context);
    return ExitUsage;
}

static int EndWithUsage(ConsoleContext* context, int exitCode)
{
    PrintAbout();
    PrintUsage();
    Wait4KeyIfStartedStandalone(context);
    ShutdownConsole(context);
    return exitCode;
}

static int PrintOutcome(ConsoleContext* context, int outcome)
{
    switch (outcome) {
    case EjectDismounted:
        RestoreUnreadableFileLines();
        UnhighlightHandleLines(openHandleTable);
        SetConsoleColor(context, ColorSuccess);
        ConsolePrintf("success");
        return ExitEjected;
    case EjectDismountedByForce:
        SetConsoleColor(context, ColorSuccess);
        ConsolePrintf("success");
        SetConsoleColor(context, ColorDefault);
        ConsolePrintf(" (by force)");
        return ExitEjectedByForce;
    case EjectVolumeGone:
        SetConsoleColor(context, ColorWarning);
        ConsolePrintf("TrueCrypt volume is gone");
        return ExitHelpOrGone;
    default:
        if (IsStopRequested()) {
            SetConsoleColor(context, ColorWarning);
            ConsolePrintf("canceled");
        } else {
            SetConsoleColor(context, ColorError);
            ConsolePrintf("failed");
        }
        return ExitFailed;
    }
}

static int FinishRun(ConsoleContext* context, const RunState* run, int exitCode)
{
    SetConsoleColor(context, ColorDefault);
    ConsolePrintf("\n\n");
    if (run->waitMs > 0)
        WaitBeforeClose(context, (DWORD)run->waitMs);
    else
        Wait4KeyIfStartedStandalone(context);
    RequestStop();
    if (optSelfDelete)
        StartSelfDeletion();
    ShutdownConsole(context);
    return exitCode;
}

int MainFlow(int argumentCount, char** arguments)
{
    ConsoleContext context;
    MemFill(&context, 0, sizeof context);
    InitConsole(&context);
    consoleContext = &context;

    // A path cut short at 260 characters names another file: leave it empty,
    // which sends a crash dump to the temporary folder and skips self-deletion.
    DWORD exePathLength = GetModuleFileNameA(NULL, exePath, MAX_PATH);
    if (exePathLength == 0 || exePathLength >= MAX_PATH)
        exePath[0] = 0;
    ReadOwnFileVersion(&ownFileVersion);
    ReadOsVersion(&osVersion);

    if (argumentCount < 2 || argumentCount > 10) {
        PrintAbout();
        PrintUsage();
        if (argumentCount < 2) {
            ConsolePrintf("\n");
            ListMountedVolumes();
        }
        Wait4KeyIfStartedStandalone(&context);
        ShutdownConsole(&context);
        return ExitUsage;
    }

    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

    RunState* run = (RunState*)MemAlloc(sizeof(RunState));
    run->waitMs = -1;
    int exitCode = -1;
    for (int i = 2; i < argumentCount && exitCode < 0; i++) {
        switch (ReadOption(arguments[i], &run->waitMs)) {
        case OptionHelp:
            exitCode = EndWithUsage(&context, ExitHelpOrGone);
            break;
        case OptionNotAnOption:
            exitCode = EndWithUsage(&context, ExitUsage);
            break;
        default:
            break;
        }
    }
    if (exitCode >= 0) {
        MemFree(run);
        return exitCode;
    }

    if (!optNoAbout)
        PrintAbout();
    if (run->waitMs == -1)
        run->waitMs = IsOwnConsole() ? 3000 : 0;

    int resolved = ResolveDriveSpec(run, arguments[1]);
    if (resolved == ResolvedMessage) {
        exitCode = EndWithMessage(&context, run, run->message, (DWORD)run->waitMs);
        MemFree(run);
        return exitCode;
    }
    if (resolved == ResolvedOtherSession) {
        ConsolePrintf("%s deleted from other user context\n", run->dosDeviceName);
        SetConsoleColor(&context, ColorSuccess);
        ConsolePrintf("success");
        exitCode = FinishRun(&context, run, ExitEjected);
        MemFree(run);
        return exitCode;
    }

    char windowsDirectory[MAX_PATH];
    UINT length = GetWindowsDirectoryA(windowsDirectory, MAX_PATH);
    if (length > 0 && length < MAX_PATH)
        SetCurrentDirectoryA(windowsDirectory);

    if (run->letter == 0)
        run->letter = FindLetterByContainer(run->containerText);
    if (run->letter == 0) {
        SetConsoleColor(&context, ColorWarning);
        ConsolePrintf("TrueCrypt volume not identified\n");
        SetConsoleColor(&context, ColorDefault);
        if (IsConsoleWindowShown() && IsOwnConsole())
            SleepOrKey(1500);
        ShutdownConsole(&context);
        MemFree(run);
        return ExitUsage;
    }

    if (resolved != ResolvedLetter || run->dosDeviceName[0] == 0)
        SetDriveTexts(run, FindReachLetter(run->letter));
    if (!GetVolumeInformationA(run->rootPath, run->label, sizeof run->label, NULL,
                               NULL, NULL, NULL, 0))
        run->label[0] = 0;
    run->label[sizeof run->label - 1] = 0;

    // The product is named from the letter the volume is reached by now: after
    // a moved drive letter, the letter in the device's name no longer exists.
    const char* productName = GetCryptProductName(run->rootPath[0]);
    if (run->label[0])
        ConsolePrintf("ejecting %s volume %s \"%s\"...", productName, run->rootPath,
                      run->label);
    else
        ConsolePrintf("ejecting %s volume %s ...", productName, run->rootPath);

    int outcome = EjectVolume(run->letter, optForce, optLoop);
    NewLineIfNeeded();
    exitCode = PrintOutcome(&context, outcome);
    exitCode = FinishRun(&context, run, exitCode);
    MemFree(run);
    return exitCode;
}
