// Version numbers: the record built from a file version (its code text read as
// hexadecimal) and the packed Windows version (the banner and the drivers'
// versions read from files: tests/system/golden.*).
#include <gtest/gtest.h>
#include <cstring>
#include "base/version.h"

namespace {

TEST(FileVersionRecord, CodesAndTextFromTheFourParts)
{
    struct Case { WORD parts[4]; DWORD versionCode; WORD majorMinorCode; const char* text; };
    const Case cases[] = {
        {{1, 2, 3, 4}, 0x01020304, 0x0102, "1.2.3.4"},
        {{1, 18, 5, 2}, 0x01180502, 0x0118, "1.18.5.2"},
        {{1, 26, 100, 0}, 0x12610000, 0x1261, "1.26.100"},
        {{10, 26, 100, 0}, 0x02610000, 0x0261, "10.26.100"},
        // A part of 300 keeps its low 8 bits (44) in the record and every text.
        {{1, 300, 2, 300}, 0x01440244, 0x0144, "1.44.2.44"},
        {{255, 255, 255, 255}, 0x55255255, 0x5525, "255.255.255.255"},
    };
    for (const Case& c : cases) {
        FileVersionRecord record;
        memset(&record, 0xAA, sizeof record);
        FillFileVersionRecord(((DWORD)c.parts[0] << 16) | c.parts[1],
                              ((DWORD)c.parts[2] << 16) | c.parts[3], &record);
        SCOPED_TRACE(c.text);
        const BYTE parts[4] = {record.major, record.minor, record.build, record.revision};
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(parts[i], (BYTE)c.parts[i]);
        EXPECT_EQ(record.versionCode, c.versionCode);
        EXPECT_EQ(record.majorMinorCode, c.majorMinorCode);
        EXPECT_STREQ(record.versionText, c.text);
    }
}

TEST(OsVersion, PackedVersionAsDecimalNibbles)
{
    struct Case { DWORD major, minor, packed; };
    const Case cases[] = {{6, 1, 0x0601}, {10, 0, 0x1000}, {11, 12, 0x1112}};
    for (const Case& c : cases)
        EXPECT_EQ(PackOsVersion(c.major, c.minor), c.packed) << c.major << "." << c.minor;
}

}  // namespace
