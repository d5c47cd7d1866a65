// Names of driver results and NT statuses, and the bytes of the dismount and
// volume-removal blocks.
#include <gtest/gtest.h>
#include <string.h>
#include "cryptdrv/dismount.h"
#include "dosdevices/session_links.h"

TEST(DriverResultName, NamesEveryCodeAndWritesOthersInDecimal)
{
    static const char* const expected[] = {
        "SUCCESS", "OS_ERROR", "OUTOFMEMORY", "PASSWORD_WRONG", "VOL_FORMAT_BAD",
        "DRIVE_NOT_FOUND", "FILES_OPEN", "VOL_SIZE_WRONG", "COMPRESSION_NOT_SUPPORTED",
        "PASSWORD_CHANGE_VOL_TYPE", "PASSWORD_CHANGE_VOL_VERSION", "VOL_SEEKING",
        "VOL_WRITING", "FILES_OPEN_LOCK", "VOL_READING", "DRIVER_VERSION",
        "NEW_VERSION_REQUIRED", "CIPHER_INIT_FAILURE", "CIPHER_INIT_WEAK_KEY",
        "SELF_TESTS_FAILED", "SECTOR_SIZE_INCOMPATIBLE", "VOL_ALREADY_MOUNTED",
        "NO_FREE_DRIVES", "FILE_OPEN_FAILED", "VOL_MOUNT_FAILED", "INVALID_DEVICE",
        "ACCESS_DENIED", "MODE_INIT_FAILED", "DONT_REPORT", "ENCRYPTION_NOT_COMPLETED",
        "PARAMETER_INCORRECT", "SYS_HIDVOL_HEAD_REENC_MODE_WRONG",
        "NONSYS_INPLACE_ENC_INCOMPLETE", "USER_ABORT",
    };
    ASSERT_EQ(34u, sizeof expected / sizeof expected[0]);
    for (int code = 0; code < 34; code++)
        EXPECT_STREQ(expected[code], DriverResultName(code)) << "code " << code;

    const struct { int code; const char* text; } others[] = {
        {34, "34"}, {40, "40"}, {-1, "-1"}, {2147483647, "2147483647"},
        {(int)0x80000000, "-2147483648"},
    };
    for (const auto& other : others)
        EXPECT_STREQ(other.text, DriverResultName(other.code));
}

TEST(NtStatusName, NamesKnownStatusesAndFormatsOthers)
{
    const struct { DWORD status; const char* text; } cases[] = {
        {0x00000000, "SUCCESS"},
        {0xC000000D, "INVALID_PARAMETER"},
        {0xC000000E, "NO_SUCH_DEVICE"},
        {0xC0000010, "INVALID_DEVICE_REQUEST"},
        {0xC0000033, "OBJECT_NAME_INVALID"},
        {0xC0000034, "OBJECT_NAME_NOT_FOUND"},
        {0xC00000BB, "NOT_SUPPORTED"},
        {0xC0000022, "0xc0000022"},   // access denied has no name
        {0x00000103, "0x00000103"},
        {0x8000001A, "0x8000001a"},
        {0xFFFFFFFF, "0xffffffff"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(c.text, NtStatusName((LONG)c.status)) << std::hex << c.status;
}

TEST(DismountBlock, CarriesTheDriveNumberAndZeroes)
{
    const struct { char letter; BYTE first; } cases[] = {{'A', 0}, {'U', 20}, {'Z', 25}};
    for (const auto& c : cases) {
        DismountBlock block;
        memset(&block, 0xCC, sizeof block);
        FillDismountBlock(c.letter, &block);
        const BYTE expected[16] = {c.first, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(0, memcmp(expected, &block, 16)) << c.letter;
    }
    // Field offsets as the driver reads them.
    EXPECT_EQ(4u, offsetof(DismountBlock, ignoreOpenFiles));
    EXPECT_EQ(12u, offsetof(DismountBlock, returnCode));
    EXPECT_EQ(0x222010, kDismountRequestCode);

    DismountBlock bad;
    FillDismountBlock('u', &bad);   // only upper-case letters name drives
    EXPECT_EQ(-1, bad.driveNumber);
}

TEST(VolumeBroadcast, BytesOfTheRemovalNotice)
{
    const struct { char letter; BYTE mask[4]; } cases[] = {
        {'A', {1, 0, 0, 0}}, {'U', {0, 0, 0x10, 0}}, {'Z', {0, 0, 0, 2}},
        {'@', {0, 0, 0, 0}}, {'[', {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        DEV_BROADCAST_VOLUME block;
        memset(&block, 0xCC, sizeof block);
        FillVolumeBroadcast(c.letter, &block);
        const BYTE expected[20] = {20, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0,
                                   c.mask[0], c.mask[1], c.mask[2], c.mask[3],
                                   0, 0, 0, 0};
        EXPECT_EQ(0, memcmp(expected, &block, 20)) << c.letter;
    }
}
