#include "app/eject_all.h"
#include "app/eject.h"
#include "app/main_flow.h"
#include "base/memory.h"
#include "base/text.h"
#include "console/console_setup.h"
#include "handles/handle_report.h"

int IsAllVolumesSpec(const char* driveSpec)
{
    return driveSpec[0] == '*' && (driveSpec[1] == 0 ||
                                   (driveSpec[1] == ':' && lstrlenA(driveSpec) <= 3));
}

// The drives of a product's mount list now; 0 when there is none.
static DWORD MountedDrivesOf(int type)
{
    MountList* list = GetMountList(type);
    if (!list)
        return 0;
    DWORD drives = list->mountedDrives;
    MemFree(list);
    return drives;
}

// Both products' volumes, ordered by the letter they are reached by.
static int CollectMountedVolumes(MountedVolume* volumes)
{
    int count = 0;
    for (int type = CryptTrueCrypt; type <= CryptVeraCrypt; type++) {
        DWORD drives = MountedDrivesOf(type);
        for (int drive = 0; drive < 26; drive++) {
            if (!(drives & (1u << drive)))
                continue;
            MountedVolume volume = {(char)('A' + drive), FindReachLetter((char)('A' + drive)),
                                    (char)type, ExitFailed};
            int at = count++;
            for (; at > 0 && volumes[at - 1].reachLetter > volume.reachLetter; at--)
                volumes[at] = volumes[at - 1];
            volumes[at] = volume;
        }
    }
    return count;
}

void SummarizeVolumes(const MountedVolume* volumes, int count, AllVolumesSummary* summary)
{
    int ejected = 0, forced = 0;
    char stillMounted[kMountedVolumeLimit * 3 + 1];
    stillMounted[0] = 0;
    for (int i = 0; i < count; i++) {
        int code = volumes[i].exitCode;
        forced += code == ExitEjectedByForce;
        if (code == ExitEjected || code == ExitHelpOrGone || code == ExitEjectedByForce)
            ejected++;
        else
            wsprintfA(stillMounted + lstrlenA(stillMounted), " %c:", volumes[i].reachLetter);
    }
    summary->details[0] = 0;
    if (count == 0)
        CopyText(summary->counts, "no mounted volumes", sizeof summary->counts);
    else
        wsprintfA(summary->counts, "ejected %d of %d volumes", ejected, count);
    if (forced)
        wsprintfA(summary->details, " (%d by force)", forced);
    if (stillMounted[0])
        wsprintfA(summary->details + lstrlenA(summary->details), "; still mounted:%s",
                  stillMounted);
    summary->exitCode = stillMounted[0] ? ExitFailed : forced ? ExitEjectedByForce : ExitEjected;
}

// With more than one volume (or none): the summary line, left open.
static int PrintSummary(ConsoleContext* context, const MountedVolume* volumes, int count)
{
    AllVolumesSummary summary;
    SummarizeVolumes(volumes, count, &summary);
    if (count == 1)
        return summary.exitCode;
    if (count > 1)
        EndOutcomeLine(context);
    // Colours as for one volume: "success" and " (by force)", or "failed".
    int failed = summary.exitCode == ExitFailed;
    SetConsoleColor(context, failed ? ColorError : ColorSuccess);
    ConsolePrintf("%s", summary.counts);
    if (!failed)
        SetConsoleColor(context, ColorDefault);
    ConsolePrintf("%s", summary.details);
    return summary.exitCode;
}

// One volume as a run of its own. One that went away since the start (another
// program ejected it) is told as gone, which counts as ejected.
static void EjectOneOfAll(ConsoleContext* context, MountedVolume* volume,
                          const Options* options)
{
    // Each eject finds its own holders; those of an earlier volume are not its.
    MemFill(openHandleTable, 0, sizeof openHandleTable);
    MemFill(unreadableFileTable, 0, sizeof unreadableFileTable);
    char rootPath[4] = {volume->reachLetter, ':', '\\', 0};
    PrintEjecting(rootPath, cryptProductNames[(int)volume->type]);
    int outcome = EjectVolumeGone, protectionTriggered = 0;
    if (MountedDrivesOf(volume->type) & (1u << (volume->deviceLetter - 'A')))
        outcome = EjectVolume(volume->deviceLetter, options, &protectionTriggered);
    NewLineIfNeeded();
    volume->exitCode = PrintOutcome(context, outcome);
    if (protectionTriggered)
        PrintProtectionWarning(context);
}

int EjectAllVolumes(ConsoleContext* context, const Options* options)
{
    MountedVolume volumes[kMountedVolumeLimit];
    int count = CollectMountedVolumes(volumes);
    Options volumeOptions = *options;
    int untried = 0;
    for (int i = 0; i < count; i++) {
        if (untried)
            ConsolePrintf("\n");
        else if (i > 0)
            EndOutcomeLine(context);
        // After Esc or Ctrl+C no later volume is tried; each is listed.
        if (IsStopRequested()) {
            untried++;
            SetConsoleColor(context, ColorWarning);
            ConsolePrintf("%c: not tried", volumes[i].reachLetter);
            continue;
        }
        EjectOneOfAll(context, &volumes[i], &volumeOptions);
        // Forced only after F in the loop (or with -f, which forces all anyway):
        // every later volume is forced as -f would force it.
        if (volumes[i].exitCode == ExitEjectedByForce)
            volumeOptions.optForce = 1;
    }
    return PrintSummary(context, volumes, count);
}
