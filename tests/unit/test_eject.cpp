// Names of driver results and NT statuses, at their edges, and the bytes of
// the volume-removal notice, which nothing else can see.
#include <gtest/gtest.h>
#include <string.h>
#include "cryptdrv/dismount.h"
#include "dosdevices/session_links.h"

TEST(ResultNames, KnownNamesAndOthersAsNumbers)
{
    const struct { int code; const char* text; } results[] = {
        {0, "SUCCESS"}, {6, "FILES_OPEN"}, {13, "FILES_OPEN_LOCK"}, {33, "USER_ABORT"},
        {34, "34"}, {-1, "-1"}, {(int)0x80000000, "-2147483648"},
    };
    for (const auto& r : results)
        EXPECT_STREQ(r.text, DriverResultName(r.code)) << r.code;
    const struct { DWORD status; const char* text; } statuses[] = {
        {0, "SUCCESS"}, {0xC0000034, "OBJECT_NAME_NOT_FOUND"}, {0xC0000022, "0xc0000022"},
        {0xFFFFFFFF, "0xffffffff"},
    };
    for (const auto& s : statuses)
        EXPECT_STREQ(s.text, NtStatusName((LONG)s.status)) << std::hex << s.status;
}

TEST(VolumeBroadcast, BytesOfTheRemovalNotice)
{
    const struct { char letter; BYTE mask[4]; } cases[] = {
        {'A', {1, 0, 0, 0}}, {'Z', {0, 0, 0, 2}}, {'[', {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        DEV_BROADCAST_VOLUME block;
        memset(&block, 0xCC, sizeof block);
        FillVolumeBroadcast(c.letter, &block);
        const BYTE expected[20] = {20, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0,
                                   c.mask[0], c.mask[1], c.mask[2], c.mask[3], 0, 0, 0, 0};
        EXPECT_EQ(0, memcmp(expected, &block, 20)) << c.letter;
    }
}
