// Mount lists: the three reply layouts, reading a container path out of an
// entry (bounded, with and without \??\), and identifying volume devices.
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>
#include "cryptdrv/volume_id.h"
#include "base/memory.h"
#include "unit_support.h"

namespace {

std::wstring ReadPath(const MountList& list, int drive, int units = 261)
{
    std::vector<WCHAR> path(units > 0 ? units : 1, L'#');
    int length = ReadVolumePath(&list, drive, path.data(), units);
    std::wstring text(path.data());
    EXPECT_EQ((int)text.size(), length);
    return text;
}

struct Layout { DWORD length, volumeLengths, algorithms, volumeTypes; };

TEST(MountList, EveryReplyLayoutLandsInTheCommonOne)
{
    const Layout layouts[] = {
        {13944, 13528, 13736, 13840},
        {15760, 15240, 15448, 15552},
        {17424, 16904, 17112, 17216},
    };
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.length);
        // Bytes that are not read hold a pattern; each copied block its own
        // (the paths one without terminators).
        std::vector<BYTE> reply(layout.length, 0xEE);
        DWORD mask = (1u << 0) | (1u << 25);
        memcpy(reply.data(), &mask, 4);
        for (int i = 0; i < 26 * 520; i++) reply[4 + i] = (BYTE)(1 + i % 250);
        for (int i = 0; i < 208; i++) reply[layout.volumeLengths + i] = (BYTE)(i + 1);
        for (int i = 0; i < 104; i++) reply[layout.algorithms + i] = (BYTE)(0x40 + i);
        for (int i = 0; i < 104; i++) reply[layout.volumeTypes + i] = (BYTE)(0x90 + i);

        MountList list;
        memset(&list, 0x55, sizeof list);
        ASSERT_EQ(ConvertMountListReply(reply.data(), layout.length, &list), 1);
        EXPECT_EQ(list.mountedDrives, mask);
        EXPECT_EQ(memcmp(list.volumePaths, reply.data() + 4, 26 * 520), 0);
        EXPECT_EQ(memcmp(list.volumeLengths, reply.data() + layout.volumeLengths, 208), 0);
        EXPECT_EQ(memcmp(list.encryptionAlgorithms, reply.data() + layout.algorithms, 104),
                  0);
        EXPECT_EQ(memcmp(list.volumeTypes, reply.data() + layout.volumeTypes, 104), 0);
    }

    // Any other length is refused and leaves the list alone.
    std::vector<BYTE> reply(17424, 0x11);
    MountList list;
    memset(&list, 0x55, sizeof list);
    for (DWORD length : {0u, 13940u, 15756u, 17420u, 17428u})
        EXPECT_EQ(ConvertMountListReply(reply.data(), length, &list), 0) << length;
    EXPECT_EQ(list.mountedDrives, 0x55555555u);

    // 1.18 is the first version with the larger layout (tests/system/golden.*
    // asks the drivers of the world: none, 1.17 and 1.26).
    EXPECT_EQ(VeraCryptReplyLength(0x0118), 17424u);
    // The count the driver returns picks the layout (an older driver asked with
    // the larger buffer fills its own); any other count keeps the asked one.
    const DWORD picks[][3] = {{17424, 15760, 15760}, {17424, 0, 17424}, {17424, 13944, 17424},
                              {17424, 8000, 17424}, {15760, 17424, 15760}};
    for (const auto& p : picks)
        EXPECT_EQ(VeraCryptLayoutLength(p[0], p[1]), p[2]) << p[0] << " " << p[1];
}

TEST(MountList, PathsStayInsideTheirEntry)
{
    static MountList list;
    memset(&list, 0, sizeof list);
    // What follows the last entry is not part of any path.
    memset(&list.notRead, 0x41, sizeof list.notRead);
    auto put = [](int drive, const std::wstring& path) {
        memcpy(list.volumePaths[drive], path.c_str(), path.size() * 2);
    };
    put(0, L"\\??\\C:\\vols\\a.tc");
    put(2, L"\\??\\");
    put(3, L"\\?");                                    // prefix cut short
    put(4, L"\\??\\" + std::wstring(256, L'k'));         // fills all 260 units
    put(25, std::wstring(260, L'y'));                  // runs into notRead
    put(6, L"\\\\?\\C:\\x.hc");                         // second unit is no "?"

    struct Case { int drive; int units; std::wstring expected; };
    const Case cases[] = {
        {0, 261, L"C:\\vols\\a.tc"},
        {2, 261, L""},
        {3, 261, L""},
        {4, 261, std::wstring(256, L'k')},
        {25, 261, std::wstring(260, L'y')},
        {6, 261, L"\\\\?\\C:\\x.hc"},
        {5, 261, L""},                                  // empty entry
        {0, 5, L"C:\\v"},                               // output cut to its size
        {25, 1, L""},
        {26, 261, L""}, {-1, 261, L""},                 // no such drive
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReadPath(list, c.drive, c.units), c.expected)
            << "drive " << c.drive << " units " << c.units;
}

TEST(VolumeId, DeviceTypesAndLetters)
{
    struct Case { const char* target; CryptVolumeType type; };
    const Case cases[] = {
        {"\\??\\x\\Device\\VeraCryptVolumeQ", CryptVeraCrypt},   // found anywhere
        {"\\Device\\VeraCryptVolume\\Device\\TrueCryptVolumeA", CryptTrueCrypt},
        {"\\device\\truecryptvolumeu", CryptNone},              // case matters
        {"", CryptNone},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetCryptVolumeType(c.target), c.type) << c.target;

    // A link that merely contains a volume device's name is no volume's, though
    // its product shows; a letter without a link is neither. A volume whose
    // letter moved is reached through the letter that leads to its device, the
    // first one too. (Real volumes' letters: tests/system/golden.*.)
    DosLink o("O:", "\\??\\x\\Device\\TrueCryptVolumeS");
    DosLink a("A:", "\\Device\\VeraCryptVolumeQ");
    const struct { char letter; const char* product; char device; } letters[] = {
        {'O', "TrueCrypt", 0}, {'N', "???", 0}, {'A', "VeraCrypt", 'Q'}};
    for (const auto& c : letters) {
        EXPECT_EQ(GetCryptVolumeLetter(c.letter), c.device) << c.letter;
        EXPECT_STREQ(GetCryptProductName(c.letter), c.product) << c.letter;
    }
    EXPECT_EQ(FindReachLetter('Q'), 'A');
    EXPECT_EQ(FindReachLetter('S'), 'S');   // O:'s link is not its
}

TEST(VolumeId, NoDriverMeansNoListAndNoMatch)
{
    // The unit-test prefix has neither driver; the listing then prints nothing.
    {
        RedirectedOutput output;
        ListMountedVolumes();
        EXPECT_EQ("", output.Contents());
    }
    EXPECT_EQ(GetMountList(CryptTrueCrypt), nullptr);
    EXPECT_EQ(GetMountList(CryptVeraCrypt), nullptr);
    EXPECT_EQ(GetMountList(2), nullptr);
    EXPECT_EQ(FindLetterByContainer(L"a.tc"), 0);
    EXPECT_EQ(GetVeraCryptDriverVersion(), 0);
}

}  // namespace
