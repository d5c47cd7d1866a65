// The DriveSpec "*": every volume that either product has mounted when the
// run starts, in drive-letter order, each ejected as a run of its own would
// eject it (its announcement, tries, report, loop and outcome line), with the
// options of the run. F in a loop forces that volume and every later one;
// after Esc or Ctrl+C no later volume is tried. With more than one volume a
// summary line names what is still mounted.
#pragma once
#include <windows.h>
#include "app/options.h"
#include "console/output.h"
#include "cryptdrv/volume_id.h"

// "*", "*:" or "*:\" (the forms a drive letter may take).
int IsAllVolumesSpec(const char* driveSpec);

// The whole eject of "*" up to the summary line (left open); returns the
// run's exit code.
int EjectAllVolumes(ConsoleContext* context, const Options* options);

struct MountedVolume {
    char deviceLetter;   // the letter the driver knows it by
    char reachLetter;    // the letter it was reached by when the run started
    char type;           // its CryptVolumeType
    int  exitCode;       // as a run for it alone would have ended
};
enum { kMountedVolumeLimit = 52 };   // A to Z of each product

struct AllVolumesSummary {
    char counts[32];     // "ejected 3 of 4 volumes", or "no mounted volumes"
    char details[208];   // " (1 by force)", "; still mounted: T: V:", or empty
    int  exitCode;
};
// The summary over the volumes' exit codes: 0 and 2 (the volume went away)
// count as ejected, 1 as ejected by force, any other (a volume not tried
// included) as still mounted. The run's exit code: 3 when any is still
// mounted, else 1 when any went by force, else 0 (also when none is mounted).
void SummarizeVolumes(const MountedVolume* volumes, int count, AllVolumesSummary* summary);
