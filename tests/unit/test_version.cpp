// Version numbers: the hexadecimal reading of the code text, the record built
// from a file version, the packed Windows version and the file readers.
#include <gtest/gtest.h>
#include <cstring>
#include "diag/version_info.h"
#include "output_capture.h"

namespace {

DWORD Ms(DWORD major, DWORD minor) { return (major << 16) | (minor & 0xFFFF); }

TEST(HexToUInt, DigitsCaseAndWrapping)
{
    struct Case { const char* text; DWORD expected; };
    const Case cases[] = {
        {"1F", 31}, {"1f", 31}, {"1G", 0}, {"", 0}, {"0", 0},
        {"03040000", 0x03040000}, {"abcdef09", 0xABCDEF09}, {"FFFFFFFF", 0xFFFFFFFF},
        {"012610000", 0x12610000},   // nine digits: only the low 32 bits stay
        {"102610000", 0x02610000},
        {" 1", 0}, {"1 ", 0}, {"-1", 0}, {"0x10", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HexToUInt(c.text), c.expected) << "text: '" << c.text << "'";
}

TEST(FileVersionRecord, CodesAndTextFromTheFourParts)
{
    struct Case {
        DWORD major, minor, build, revision;
        BYTE recMajor, recMinor, recBuild, recRevision;
        DWORD versionCode;
        WORD majorMinorCode;
        const char* text;
    };
    const Case cases[] = {
        {3, 4, 0, 0, 3, 4, 0, 0, 0x03040000, 0x0304, "3.4.0"},
        {1, 2, 3, 4, 1, 2, 3, 4, 0x01020304, 0x0102, "1.2.3.4"},
        {1, 18, 5, 2, 1, 18, 5, 2, 0x01180502, 0x0118, "1.18.5.2"},
        {1, 17, 0, 0, 1, 17, 0, 0, 0x01170000, 0x0117, "1.17.0"},
        {1, 26, 100, 0, 1, 26, 100, 0, 0x12610000, 0x1261, "1.26.100"},
        {10, 26, 100, 0, 10, 26, 100, 0, 0x02610000, 0x0261, "10.26.100"},
        // A part of 300 keeps its low 8 bits (44) in the record and every text.
        {1, 300, 2, 0, 1, 44, 2, 0, 0x01440200, 0x0144, "1.44.2"},
        {300, 300, 300, 300, 44, 44, 44, 44, 0x44444444, 0x4444, "44.44.44.44"},
        {255, 255, 255, 255, 255, 255, 255, 255, 0x55255255, 0x5525, "255.255.255.255"},
    };
    for (const Case& c : cases) {
        FileVersionRecord record;
        memset(&record, 0xAA, sizeof record);
        FillFileVersionRecord(Ms(c.major, c.minor), Ms(c.build, c.revision), &record);
        SCOPED_TRACE(c.text);
        EXPECT_EQ(record.major, c.recMajor);
        EXPECT_EQ(record.minor, c.recMinor);
        EXPECT_EQ(record.build, c.recBuild);
        EXPECT_EQ(record.revision, c.recRevision);
        EXPECT_EQ(record.versionCode, c.versionCode);
        EXPECT_EQ(record.majorMinorCode, c.majorMinorCode);
        EXPECT_STREQ(record.versionText, c.text);
        // The rest of the text buffer is cleared, not left over.
        EXPECT_EQ(record.versionText[sizeof record.versionText - 1], 0);
    }
}

TEST(OsVersion, PackedVersionAsDecimalNibbles)
{
    struct Case { DWORD major, minor, packed; };
    const Case cases[] = {
        {5, 0, 0x0500}, {5, 1, 0x0501}, {5, 2, 0x0502}, {6, 0, 0x0600},
        {6, 1, 0x0601}, {6, 3, 0x0603}, {10, 0, 0x1000}, {11, 12, 0x1112},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PackOsVersion(c.major, c.minor), c.packed)
            << c.major << "." << c.minor;

    OsVersionRecord os;
    memset(&os, 0xAA, sizeof os);
    ReadOsVersion(&os);
    EXPECT_GE(os.major, 5u);
    EXPECT_EQ(os.packedVersion, PackOsVersion(os.major, os.minor));
}

TEST(ReadFileVersion, SystemFileMissingFileAndLibraryPath)
{
    HMODULE version = LoadSystemLibrary("version.dll");
    EXPECT_NE(version, nullptr);
    if (version) FreeLibrary(version);
    EXPECT_EQ(LoadSystemLibrary("no-such-library-qb.dll"), nullptr);

    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::string kernel = std::string(path) + "\\kernel32.dll";

    FileVersionRecord record;
    memset(&record, 0xAA, sizeof record);
    EXPECT_EQ(ReadFileVersion(kernel.c_str(), &record), 1);
    EXPECT_NE(record.majorMinorCode, 0);
    EXPECT_GT(strlen(record.versionText), 4u);

    // A missing file gives 0 and a cleared record (read as "older than 1.18").
    memset(&record, 0xAA, sizeof record);
    std::string missing = std::string(path) + "\\drivers\\no-such-driver-qb.sys";
    EXPECT_EQ(ReadFileVersion(missing.c_str(), &record), 0);
    FileVersionRecord cleared;
    memset(&cleared, 0, sizeof cleared);
    EXPECT_EQ(memcmp(&record, &cleared, sizeof record), 0);

    // The test program has no version resource: its own reading fails, cleared.
    memset(&record, 0xAA, sizeof record);
    std::string printed;
    {
        OutputCapture out("qb_version_test.txt");
        EXPECT_EQ(ReadOwnFileVersion(&record), 0);
        printed = out.Text();
    }
    EXPECT_STREQ(record.versionText, "");
    EXPECT_NE(printed.find("on GetFileVersionInfo("), std::string::npos) << printed;
}

}  // namespace
