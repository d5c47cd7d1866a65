// DeleteAllDosDevices against links planted in session directories of the
// object manager, and the bound of the composed link path.
#include <gtest/gtest.h>
#include <winternl.h>
#include <string>
#include <vector>
#include "dosdevices/session_links.h"

namespace {

typedef NTSTATUS(NTAPI* CreateDirectoryProc)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*);
typedef NTSTATUS(NTAPI* CreateLinkProc)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*,
                                        UNICODE_STRING*);
typedef NTSTATUS(NTAPI* OpenLinkProc)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*);
typedef NTSTATUS(NTAPI* HandleProc)(HANDLE);

const ULONG kPermanent = 0x10, kCaseInsensitive = 0x40;
const wchar_t kRoot[] = L"\\Sessions\\0\\DosDevices";

FARPROC Ntdll(const char* name)
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), name);
}

UNICODE_STRING Unicode(const std::wstring& text)
{
    UNICODE_STRING s;
    s.Buffer = (WCHAR*)text.c_str();
    s.Length = (USHORT)(text.size() * 2);
    s.MaximumLength = (USHORT)(s.Length + 2);
    return s;
}

// Session directories and permanent links made for one test; all of them are
// made temporary and closed again at the end, so they vanish.
HANDLE OpenLink(const std::wstring& path)
{
    UNICODE_STRING name = Unicode(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, kCaseInsensitive, NULL, NULL);
    HANDLE handle = NULL;
    if (((OpenLinkProc)Ntdll("NtOpenSymbolicLinkObject"))(&handle, 0x10001,
                                                          &attributes) < 0)
        return NULL;
    return handle;
}

struct PlantedLinks {
    std::vector<HANDLE> handles;       // directories and held links
    std::vector<std::wstring> links;   // planted links, deleted at the end

    HANDLE Directory(const std::wstring& session)
    {
        std::wstring path = std::wstring(kRoot) + L"\\" + session;
        UNICODE_STRING name = Unicode(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, kPermanent | kCaseInsensitive,
                                   NULL, NULL);
        HANDLE handle = NULL;
        NTSTATUS status = ((CreateDirectoryProc)Ntdll("NtCreateDirectoryObject"))(
            &handle, 0xF000F, &attributes);
        EXPECT_GE(status, 0) << "directory " << std::hex << status;
        handles.push_back(handle);
        return handle;
    }
    // The link outlives its creating handle, which is closed at once.
    void Link(const std::wstring& session, const std::wstring& link,
              const std::wstring& target)
    {
        std::wstring path = std::wstring(kRoot) + L"\\" + session + L"\\" + link;
        UNICODE_STRING name = Unicode(path), to = Unicode(target);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, kPermanent | kCaseInsensitive,
                                   NULL, NULL);
        HANDLE handle = NULL;
        NTSTATUS status = ((CreateLinkProc)Ntdll("NtCreateSymbolicLinkObject"))(
            &handle, 0xF0001, &attributes, &to);
        EXPECT_GE(status, 0) << "link " << std::hex << status;
        ((HandleProc)Ntdll("NtClose"))(handle);
        links.push_back(path);
    }
    // Another holder of the link, as a second process would be.
    void Hold(const std::wstring& session, const std::wstring& link)
    {
        HANDLE handle = OpenLink(std::wstring(kRoot) + L"\\" + session + L"\\" + link);
        EXPECT_TRUE(handle != NULL);
        handles.push_back(handle);
    }
    ~PlantedLinks()
    {
        for (const std::wstring& path : links) {
            if (HANDLE link = OpenLink(path))
                handles.push_back(link);
        }
        for (auto it = handles.rbegin(); it != handles.rend(); ++it) {
            ((HandleProc)Ntdll("NtMakeTemporaryObject"))(*it);
            ((HandleProc)Ntdll("NtClose"))(*it);
        }
    }
};

bool LinkExists(const std::wstring& session, const std::wstring& link)
{
    HANDLE handle = OpenLink(std::wstring(kRoot) + L"\\" + session + L"\\" + link);
    if (!handle)
        return false;
    ((HandleProc)Ntdll("NtClose"))(handle);
    return true;
}

}  // namespace

TEST(DeleteAllDosDevices, DeletesOnlyCryptVolumeLinksOfTheLetter)
{
    struct Case {
        const char* what;
        const wchar_t* target;
        const char* linkNameAsked;
        int expected;
        bool gone;
    };
    const Case cases[] = {
        {"crypt volume", L"\\Device\\VeraCryptVolumeQ", "Q:", 1, true},
        {"other product", L"\\Device\\TrueCryptVolumeQ", "Q:", 1, true},
        {"lower-case letter finds the link", L"\\Device\\VeraCryptVolumeQ", "q:", 1, true},
        {"ordinary disk", L"\\Device\\HarddiskVolume1", "Q:", 0, false},
        {"search text only in lower case", L"\\Device\\veracryptvolumeQ", "Q:", 0, false},
        {"another letter", L"\\Device\\VeraCryptVolumeQ", "R:", 0, false},
    };
    for (const Case& c : cases) {
        PlantedLinks planted;
        planted.Directory(L"QbUnitA");
        planted.Link(L"QbUnitA", L"Q:", c.target);
        EXPECT_EQ(c.expected,
                  DeleteAllDosDevicesA("\\Sessions\\0\\DosDevices", c.linkNameAsked,
                                       "CryptVolume")) << c.what;
        EXPECT_EQ(!c.gone, LinkExists(L"QbUnitA", L"Q:")) << c.what;
    }
}

TEST(DeleteAllDosDevices, TwoSessionsBothDeletedAndHeldLinkStays)
{
    {
        PlantedLinks planted;
        planted.Directory(L"QbUnitA");
        planted.Directory(L"QbUnitB");
        planted.Link(L"QbUnitA", L"Q:", L"\\Device\\VeraCryptVolumeQ");
        planted.Link(L"QbUnitB", L"Q:", L"\\Device\\TrueCryptVolumeQ");
        EXPECT_EQ(1, DeleteAllDosDevicesA("\\Sessions\\0\\DosDevices", "Q:",
                                          "CryptVolume"));
        EXPECT_FALSE(LinkExists(L"QbUnitA", L"Q:"));
        EXPECT_FALSE(LinkExists(L"QbUnitB", L"Q:"));
    }
    {
        // Another handle on the link keeps it alive after its deletion.
        PlantedLinks planted;
        planted.Directory(L"QbUnitA");
        planted.Link(L"QbUnitA", L"Q:", L"\\Device\\VeraCryptVolumeQ");
        planted.Hold(L"QbUnitA", L"Q:");
        EXPECT_EQ(0, DeleteAllDosDevicesA("\\Sessions\\0\\DosDevices", "Q:",
                                          "CryptVolume"));
        EXPECT_TRUE(LinkExists(L"QbUnitA", L"Q:"));
    }
    EXPECT_EQ(0, DeleteAllDosDevicesA("\\Sessions\\0\\NoSuchDirectory", "Q:",
                                      "CryptVolume"));
    EXPECT_EQ(0, DeleteAllDosDevicesA("\\Sessions\\0\\DosDevices", "Q:", "CryptVolume"));
}

TEST(ComposeLinkPath, FitsWholeOrIsSkipped)
{
    // Only the first 17 units of the entry name count (it need not end in 0).
    const WCHAR entry[] = L"00000000-0003e7e5XYZ";
    const std::wstring expected = L"\\Sessions\\0\\DosDevices\\00000000-0003e7e5\\U:";
    ASSERT_EQ(43u, expected.size());
    const struct { int outUnits; int length; } cases[] = {
        {256, 43}, {44, 43}, {43, 0}, {1, 0}, {0, 0},
    };
    for (const auto& c : cases) {
        WCHAR path[256];
        for (WCHAR& w : path)
            w = L'#';
        EXPECT_EQ(c.length, ComposeLinkPath(kRoot, entry, 17, L"U:", path, c.outUnits))
            << c.outUnits;
        if (c.length)
            EXPECT_EQ(expected, std::wstring(path));
        else
            EXPECT_EQ(L'#', path[0]) << "a path that does not fit is not written";
    }
}
