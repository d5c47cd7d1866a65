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

// The volume's device name, as the eject knows it; either product's device
// when only the letter is known.
const char* const kVera[] = {"\\Device\\VeraCryptVolumeQ"};
const char* const kEither[] = {"\\Device\\TrueCryptVolumeQ", "\\Device\\VeraCryptVolumeQ"};
const char kSessions[] = "\\Sessions\\0\\DosDevices";

TEST(DeleteAllDosDevices, DeletesOnlyLinksToTheVolumesDevice)
{
    struct Case {
        const char* what;
        const wchar_t* target;
        const char* linkNameAsked;
        const char* const* targets;
        int targetCount;
        bool gone;
    };
    const Case cases[] = {
        {"the volume's device", L"\\Device\\VeraCryptVolumeQ", "Q:", kVera, 1, true},
        {"lower-case letter finds the link", L"\\Device\\VeraCryptVolumeQ", "q:", kVera, 1,
         true},
        {"either product", L"\\Device\\TrueCryptVolumeQ", "Q:", kEither, 2, true},
        {"the other product's device", L"\\Device\\TrueCryptVolumeQ", "Q:", kVera, 1, false},
        {"another letter's device", L"\\Device\\VeraCryptVolumeR", "Q:", kEither, 2, false},
        {"a folder named like one", L"\\??\\C:\\CryptVolumes", "Q:", kEither, 2, false},
        {"a longer name", L"\\Device\\VeraCryptVolumeQ2", "Q:", kVera, 1, false},
        {"ordinary disk", L"\\Device\\HarddiskVolume1", "Q:", kEither, 2, false},
        {"only in lower case", L"\\Device\\veracryptvolumeQ", "Q:", kVera, 1, false},
        {"another letter", L"\\Device\\VeraCryptVolumeQ", "R:", kVera, 1, false},
    };
    for (const Case& c : cases) {
        PlantedLinks planted;
        planted.Directory(L"QbUnitA");
        planted.Link(L"QbUnitA", L"Q:", c.target);
        EXPECT_EQ(c.gone ? 1 : 0, DeleteAllDosDevicesA(kSessions, c.linkNameAsked, c.targets,
                                                       c.targetCount)) << c.what;
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
        EXPECT_EQ(1, DeleteAllDosDevicesA(kSessions, "Q:", kEither, 2));
        EXPECT_FALSE(LinkExists(L"QbUnitA", L"Q:"));
        EXPECT_FALSE(LinkExists(L"QbUnitB", L"Q:"));
    }
    {
        // Another handle on the link keeps it alive after its deletion.
        PlantedLinks planted;
        planted.Directory(L"QbUnitA");
        planted.Link(L"QbUnitA", L"Q:", L"\\Device\\VeraCryptVolumeQ");
        planted.Hold(L"QbUnitA", L"Q:");
        EXPECT_EQ(0, DeleteAllDosDevicesA(kSessions, "Q:", kVera, 1));
        EXPECT_TRUE(LinkExists(L"QbUnitA", L"Q:"));
    }
    EXPECT_EQ(0, DeleteAllDosDevicesA("\\Sessions\\0\\NoSuchDirectory", "Q:", kVera, 1));
    EXPECT_EQ(0, DeleteAllDosDevicesA(kSessions, "Q:", kVera, 1));
}

// Windows' device maps: opening DIR\LUID\Q: in a session without a Q: of its
// own reaches the global Q:. Wine has no such fallback, so these calls play
// it: every link path opens, on a link to the volume, while the session
// directory lists Q: only while sessionHasLink holds.
namespace fallback {
bool sessionHasLink;
int madeTemporary;
NTSTATUS NTAPI OpenDirectory(HANDLE* handle, ACCESS_MASK, OBJECT_ATTRIBUTES* attributes)
{
    *handle = (HANDLE)(ULONG_PTR)(attributes->RootDirectory ? 2 : 1);   // a session, the root
    return 0;
}
NTSTATUS NTAPI QueryDirectory(HANDLE directory, PVOID buffer, ULONG, BOOLEAN, BOOLEAN,
                              ULONG* context, ULONG*)
{
    const wchar_t* name = directory == (HANDLE)1 ? L"00000000-0003e7e5" : L"Q:";
    if (*context > 0 || (directory == (HANDLE)2 && !sessionHasLink))
        return STATUS_NO_MORE_ENTRIES;
    auto* entry = (ObjectDirectoryInformation*)buffer;
    WCHAR* text = (WCHAR*)(entry + 1);
    lstrcpyW(text, name);
    entry->name.Buffer = text;
    entry->name.Length = (USHORT)(lstrlenW(name) * 2);
    ++*context;
    return 0;
}
NTSTATUS NTAPI OpenLink(HANDLE* handle, ACCESS_MASK, OBJECT_ATTRIBUTES*)
{
    *handle = (HANDLE)3;
    return 0;
}
NTSTATUS NTAPI QueryLink(HANDLE, UNICODE_STRING* target, ULONG*)
{
    lstrcpyW(target->Buffer, L"\\Device\\VeraCryptVolumeQ");
    target->Length = 48;
    return 0;
}
NTSTATUS NTAPI MakeTemporary(HANDLE)
{
    madeTemporary++;
    sessionHasLink = false;
    return 0;
}
NTSTATUS NTAPI Close(HANDLE) { return 0; }
}  // namespace fallback

TEST(DeleteAllDosDevices, OnlyLinksThatTheSessionLists)
{
    const ObjectCalls calls = {fallback::OpenDirectory, fallback::QueryDirectory,
                               fallback::OpenLink, fallback::QueryLink,
                               fallback::MakeTemporary, fallback::Close};
    const WCHAR* const targets[] = {L"\\Device\\VeraCryptVolumeQ"};
    for (bool listed : {false, true}) {
        fallback::sessionHasLink = listed;
        fallback::madeTemporary = 0;
        EXPECT_EQ(listed ? 1 : 0, DeleteLinksWith(&calls, kRoot, L"Q:", targets, 1));
        EXPECT_EQ(listed ? 1 : 0, fallback::madeTemporary) << "listed " << listed;
    }
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
