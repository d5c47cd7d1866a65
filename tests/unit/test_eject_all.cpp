// The end of an eject of every volume ("*"): the summary line and the exit
// code a script relies on, from the exit codes the volumes' own runs ended
// with (a volume not tried ends as failed).
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>
#include "app/eject_all.h"

TEST(AllVolumesSummary, CountsLettersStillMountedAndExitCode)
{
    const std::string all52 = std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZ") + "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string allStillMounted = "; still mounted:";
    for (char c : all52) allStillMounted += std::string(" ") + c + ":";
    const struct {
        std::string letters;
        std::vector<int> codes;
        const char* counts;
        std::string details;
        int exitCode;
    } cases[] = {
        // Nothing mounted: nothing is left mounted, which is what was asked.
        {"", {}, "no mounted volumes", "", 0},
        // A volume that went away (2 alone) counts as ejected.
        {"U", {2}, "ejected 1 of 1 volumes", "", 0},
        {"TUV", {0, 2, 0}, "ejected 3 of 3 volumes", "", 0},
        {"TUV", {0, 1, 1}, "ejected 3 of 3 volumes", " (2 by force)", 1},
        {"TUV", {0, 3, 0}, "ejected 2 of 3 volumes", "; still mounted: U:", 3},
        // Forced, failed, and after Esc not tried: still mounted wins.
        {"TUVW", {1, 3, 3, 3}, "ejected 1 of 4 volumes", " (1 by force); still mounted: U: V: W:", 3},
        // A code no run of one volume ends with is never taken for ejected.
        {"T", {5}, "ejected 0 of 1 volumes", "; still mounted: T:", 3},
        // The longest line: every letter of both products still mounted.
        {all52, std::vector<int>(52, 3), "ejected 0 of 52 volumes", allStillMounted, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.letters);
        MountedVolume volumes[kMountedVolumeLimit] = {};
        for (size_t i = 0; i < c.codes.size(); i++) {
            volumes[i].reachLetter = c.letters[i];
            volumes[i].exitCode = c.codes[i];
        }
        AllVolumesSummary summary;
        memset(&summary, '#', sizeof summary);
        SummarizeVolumes(volumes, (int)c.codes.size(), &summary);
        EXPECT_STREQ(c.counts, summary.counts);
        EXPECT_EQ(c.details, summary.details);
        EXPECT_EQ(c.exitCode, summary.exitCode);
    }
}
