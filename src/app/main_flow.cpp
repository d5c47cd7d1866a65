#include "app/main_flow.h"
#include "app/drive_names.h"
#include "app/eject.h"
#include "app/eject_all.h"
#include "app/options.h"
#include "base/maker.h"
#include "base/memory.h"
#include "base/system.h"
#include "console/console_setup.h"
#include "console/output.h"
#include "cryptdrv/volume_id.h"
#include "diag/self_delete.h"
#include "handles/handle_followup.h"
#include "handles/handle_report.h"

// Read once at start-up by the main thread; shown in the banner.
static FileVersionRecord ownFileVersion;

// What one run works with.
struct RunState {
    Options         options;
    DriveSpecTarget target;
};

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

// The program's path, its own version and the system's version. A failed
// version read is reported here, where the banner will follow.
static void ReadProgramFacts(void)
{
    ReadExePath();
    DWORD error = 0;
    int status = ReadOwnFileVersion(&ownFileVersion, &error);
    if (status == VersionLibraryMissing) {
        ConsolePrintf("%s", QB_VERSION_LIBRARY_MISSING);
    } else if (status == VersionInfoFailed) {
        WCHAR path[MAX_PATH];
        path[0] = 0;
        GetModuleFileNameW(NULL, path, MAX_PATH);
        ConsolePrintf("error %u on GetFileVersionInfo(%S)\n", error, path);
    } else if (status == VersionQueryFailed) {
        ConsolePrintf("error %u on VerQueryValue\n", error);
    }
    ReadOsVersion(&osVersion);
}

// Reads the options after the DriveSpec up to the first that ends the run;
// returns that one's OptionResult, else OptionRead.
static int ReadOptions(Options* options, int argumentCount, char** arguments)
{
    for (int i = 2; i < argumentCount; i++) {
        int result = ReadOption(arguments[i], options);
        if (result != OptionRead)
            return result;
    }
    return OptionRead;
}

// The outcome of a run stopped (Ctrl+C, Esc) while a driver worked on a
// request whose answer is then of no use.
static int PrintCanceled(ConsoleContext* context)
{
    NewLineIfNeeded();
    SetConsoleColor(context, ColorWarning);
    ConsolePrintf("canceled");
    SetConsoleColor(context, ColorDefault);
    ConsolePrintf("\n");
    return ExitFailed;
}

static int EndWithUsage(ConsoleContext* context, int exitCode, int listVolumes)
{
    PrintAbout();
    PrintUsage();
    if (listVolumes) {
        ConsolePrintf("\n");
        ListMountedVolumes();
        if (IsStopRequested())
            exitCode = PrintCanceled(context);
    }
    Wait4KeyIfStartedStandalone(context);
    return exitCode;
}

// A warning line ends the run; a console window of this run's own stays for
// waitMs or until a key.
static int EndWithWarning(ConsoleContext* context, const char* warning, DWORD waitMs)
{
    SetConsoleColor(context, ColorWarning);
    ConsolePrintf("%s", warning);
    SetConsoleColor(context, ColorDefault);
    if (IsConsoleWindowShown() && IsOwnConsole())
        SleepOrKey(waitMs);
    return ExitUsage;
}

int PrintOutcome(ConsoleContext* context, int outcome)
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

void EndOutcomeLine(ConsoleContext* context)
{
    SetConsoleColor(context, ColorDefault);
    ConsolePrintf("\n\n");
}

// After the outcome line: the wait before the console closes, then the
// self-deletion (-s).
static int FinishRun(ConsoleContext* context, const RunState* run, int exitCode)
{
    EndOutcomeLine(context);
    if (run->options.waitMs > 0)
        WaitBeforeClose(context, (DWORD)run->options.waitMs);
    else
        Wait4KeyIfStartedStandalone(context);
    RequestStop();
    if (run->options.optSelfDelete)
        StartSelfDeletion();
    return exitCode;
}

// Writes to the outer volume of a hidden volume were refused to protect it:
// the data written there since the mount may be incomplete.
void PrintProtectionWarning(ConsoleContext* context)
{
    SetConsoleColor(context, ColorDefault);
    ConsolePrintf("\n");
    SetConsoleColor(context, ColorWarning);
    ConsolePrintf("warning: the hidden volume's protection refused writes to the outer volume");
}

void PrintEjecting(const char* rootPath, const char* productName)
{
    char label[64];
    if (!GetVolumeInformationA(rootPath, label, sizeof label, NULL, NULL, NULL, NULL, 0))
        label[0] = 0;
    label[sizeof label - 1] = 0;
    if (label[0])
        ConsolePrintf("ejecting %s volume %s \"%s\"...", productName, rootPath, label);
    else
        ConsolePrintf("ejecting %s volume %s ...", productName, rootPath);
}

// So that the current directory does not lie on a volume to be ejected.
static void LeaveCurrentDirectory(void)
{
    char windowsDirectory[MAX_PATH];
    UINT length = GetWindowsDirectoryA(windowsDirectory, MAX_PATH);
    if (length > 0 && length < MAX_PATH)
        SetCurrentDirectoryA(windowsDirectory);
}

// A container DriveSpec is looked for as typed, in UTF-16 like the drivers'
// paths; one longer than any path matches none.
static char FindContainer(const char* driveSpecUtf8)
{
    WCHAR wanted[kVolumePathCount];
    if (MultiByteToWideChar(CP_UTF8, 0, driveSpecUtf8, -1, wanted, kVolumePathCount) <= 0)
        return 0;
    return FindLetterByContainer(wanted);
}

static int ResolveAndEject(ConsoleContext* context, RunState* run, const char* driveSpec,
                           const char* driveSpecUtf8)
{
    if (IsAllVolumesSpec(driveSpec)) {
        LeaveCurrentDirectory();
        return FinishRun(context, run, EjectAllVolumes(context, &run->options));
    }
    DriveSpecTarget* target = &run->target;
    int resolved = ResolveDriveSpec(target, driveSpec);
    if (resolved == ResolvedMessage)
        return EndWithWarning(context, target->message, (DWORD)run->options.waitMs);
    if (resolved == ResolvedOtherSession) {
        ConsolePrintf("%s deleted from other user context\n", target->drive.dosDeviceName);
        SetConsoleColor(context, ColorSuccess);
        ConsolePrintf("success");
        return FinishRun(context, run, ExitEjected);
    }

    LeaveCurrentDirectory();
    if (target->letter == 0 && target->containerText[0])
        target->letter = FindContainer(driveSpecUtf8);
    if (IsStopRequested()) {
        NewLineIfNeeded();
        return FinishRun(context, run, PrintOutcome(context, EjectNotDismounted));
    }
    if (target->letter == 0)
        return EndWithWarning(context, "TrueCrypt volume not identified\n", 1500);
    // The product of the letter that reaches the volume now, else of the
    // mount list that shows it; neither: a name left behind by a volume that
    // is gone (a volume name, a moved letter).
    CryptVolumeType type = FindVolumeProduct(target->letter);
    if (type == CryptNone)
        return EndWithWarning(context, "TrueCrypt volume not identified\n", 1500);
    if (resolved != ResolvedLetter || target->drive.dosDeviceName[0] == 0)
        MakeDriveTexts(FindReachLetter(target->letter), &target->drive);
    NewLineIfNeeded();   // after "waiting for the driver..." of a lookup
    PrintEjecting(target->drive.rootPath, cryptProductNames[type]);

    int protectionTriggered = 0;
    int outcome = EjectVolume(target->letter, &run->options, &protectionTriggered);
    NewLineIfNeeded();
    int exitCode = PrintOutcome(context, outcome);
    if (protectionTriggered)
        PrintProtectionWarning(context);
    return FinishRun(context, run, exitCode);
}

static int RunProgram(ConsoleContext* context, RunState* run, int argumentCount,
                      char** arguments, const char* driveSpecUtf8)
{
    if (argumentCount < 2 || argumentCount > 10)
        return EndWithUsage(context, ExitUsage, argumentCount < 2);

    int optionResult = ReadOptions(&run->options, argumentCount, arguments);
    // Before anything that could print a debug line.
    SetLogThreshold(LogThresholdOf(&run->options));
    if (optionResult == OptionHelp)
        return EndWithUsage(context, ExitHelpOrGone, 0);
    if (optionResult == OptionNotAnOption)
        return EndWithUsage(context, ExitUsage, 0);

    if (!run->options.optNoAbout)
        PrintAbout();
    if (run->options.waitMs == -1)
        run->options.waitMs = IsOwnConsole() ? 3000 : 0;
    return ResolveAndEject(context, run, arguments[1], driveSpecUtf8);
}

void EndOutOfMemory(void)
{
    NewLineIfNeeded();
    SetConsoleColor(consoleContext, ColorError);
    ConsolePrintf("error: out of memory");
    SetConsoleColor(consoleContext, ColorDefault);
    ConsolePrintf("\n");
    ExitProcess(ExitFailed);
}

int MainFlow(int argumentCount, char** arguments, const char* driveSpecUtf8)
{
    ConsoleContext context;
    MemFill(&context, 0, sizeof context);
    InitConsole(&context);
    consoleContext = &context;
    ReadProgramFacts();

    RunState* run = (RunState*)MemAlloc(sizeof(RunState));
    ClearOptions(&run->options);
    int exitCode = RunProgram(&context, run, argumentCount, arguments, driveSpecUtf8);
    // The one clean-up of every run.
    MemFree(run);
    ShutdownConsole(&context);
    return exitCode;
}
