// The walk that deletes a drive letter's links in other sessions, against a
// namespace of fake objects (the calls' seam), and the bound of the composed
// link path. The real object manager meets the walk in tests/system/golden.*.
#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>
#include "dosdevices/session_links.h"

namespace {

const wchar_t kRoot[] = L"\\Sessions\\0\\DosDevices";
const wchar_t kVera[] = L"\\Device\\VeraCryptVolumeQ", kTrue[] = L"\\Device\\TrueCryptVolumeQ";

// Sessions list their links; a link made temporary goes unless another handle
// holds it. As on Windows (device maps), a link path that the session does not
// list still opens: on the global link of the letter, which leads to the volume.
struct FakeLink { std::wstring session, name, target; bool held, gone; };
std::vector<FakeLink> links;
std::vector<std::wstring> sessions;
int globalMadeTemporary;
// Windows checks each call against the rights its handle was opened with
// (Wine does not): listing needs DIRECTORY_QUERY, making a link temporary DELETE.
ACCESS_MASK directoryAccess, linkAccess;
const ULONG_PTR kRootHandle = 1, kSession = 100, kLink = 1000, kGlobal = 999;

std::wstring Text(const UNICODE_STRING* s) { return std::wstring(s->Buffer, s->Length / 2); }
size_t SessionIndex(const std::wstring& name)
{
    return std::find(sessions.begin(), sessions.end(), name) - sessions.begin();
}

NTSTATUS NTAPI OpenDirectory(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes)
{
    directoryAccess = access;
    std::wstring name = Text(attributes->ObjectName);
    for (size_t i = 0; i < sessions.size(); i++)
        if (attributes->RootDirectory && name == sessions[i])
            return *handle = (HANDLE)(kSession + i), 0;
    if (attributes->RootDirectory || name != kRoot)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return *handle = (HANDLE)kRootHandle, 0;
}

NTSTATUS NTAPI QueryDirectory(HANDLE directory, PVOID buffer, ULONG, BOOLEAN, BOOLEAN,
                              ULONG* context, ULONG*)
{
    if (!(directoryAccess & DIRECTORY_QUERY))
        return STATUS_ACCESS_DENIED;
    std::vector<std::wstring> names;
    if ((ULONG_PTR)directory == kRootHandle)
        names = sessions;
    for (const FakeLink& link : links)
        if (!link.gone && (ULONG_PTR)directory == kSession + SessionIndex(link.session))
            names.push_back(link.name);
    if (*context >= names.size())
        return STATUS_NO_MORE_ENTRIES;
    auto* entry = (ObjectDirectoryInformation*)buffer;
    WCHAR* text = (WCHAR*)(entry + 1);
    lstrcpyW(text, names[(*context)++].c_str());
    entry->name.Buffer = text;
    entry->name.Length = (USHORT)(lstrlenW(text) * 2);
    return 0;
}

NTSTATUS NTAPI OpenLink(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes)
{
    linkAccess = access;
    std::wstring path = Text(attributes->ObjectName);
    for (size_t i = 0; i < links.size(); i++)
        if (!links[i].gone &&
            !lstrcmpiW(path.c_str(), (std::wstring(kRoot) + L"\\" + links[i].session + L"\\" +
                                      links[i].name).c_str()))
            return *handle = (HANDLE)(kLink + i), 0;
    return *handle = (HANDLE)kGlobal, 0;
}

NTSTATUS NTAPI QueryLink(HANDLE link, UNICODE_STRING* target, ULONG*)
{
    std::wstring text = (ULONG_PTR)link == kGlobal ? kVera : links[(ULONG_PTR)link - kLink].target;
    lstrcpyW(target->Buffer, text.c_str());
    target->Length = (USHORT)(text.size() * 2);
    return 0;
}

NTSTATUS NTAPI MakeTemporary(HANDLE link)
{
    if (!(linkAccess & DELETE))
        return STATUS_ACCESS_DENIED;
    if ((ULONG_PTR)link == kGlobal)
        globalMadeTemporary++;
    else
        links[(ULONG_PTR)link - kLink].gone = !links[(ULONG_PTR)link - kLink].held;
    return 0;
}

NTSTATUS NTAPI Close(HANDLE) { return 0; }

const ObjectCalls kCalls = {OpenDirectory, QueryDirectory, OpenLink, QueryLink, MakeTemporary,
                            Close};

}  // namespace

// Only links that their session lists and that lead to one of the device
// names, unit for unit, go; a link another handle holds stays and does not
// count; the global link behind an unlisted name is never touched.
TEST(DeleteLinksWith, OnlyListedLinksToTheVolumesDevice)
{
    const std::vector<std::wstring> vera = {kVera}, either = {kTrue, kVera};
    struct Case { const char* what; std::vector<FakeLink> links; const wchar_t* asked;
                  std::vector<std::wstring> targets; int result; std::vector<bool> gone; }
        cases[] = {
        {"two sessions, either product", {{L"A", L"Q:", kVera}, {L"B", L"Q:", kTrue}}, L"Q:",
         either, 1, {true, true}},
        {"asked in lower case", {{L"A", L"Q:", kVera}}, L"q:", vera, 1, {true}},
        // (Other products' devices, other targets and letters: golden rows.)
        {"a longer and a shorter device name, one in other case",
         {{L"B", L"Q:", L"\\Device\\VeraCryptVolumeQ2"},
          {L"C", L"Q:", L"\\Device\\veracryptvolumeQ"},
          {L"D", L"Q:", L"\\Device\\VeraCryptVolume"}},
         L"Q:", vera, 0, {false, false, false}},
        {"held by another handle", {{L"A", L"Q:", kVera, true}}, L"Q:", vera, 0, {false}},
        {"not listed: the global link", {{L"A", L"R:", kTrue}}, L"Q:", either, 0, {false}},
    };
    for (const Case& c : cases) {
        links = c.links;
        sessions.clear();
        for (const FakeLink& link : links)
            if (SessionIndex(link.session) == sessions.size())
                sessions.push_back(link.session);
        globalMadeTemporary = 0;
        const WCHAR* targets[2] = {c.targets[0].c_str(), c.targets.back().c_str()};
        EXPECT_EQ(c.result, DeleteLinksWith(&kCalls, kRoot, c.asked, targets,
                                            (int)c.targets.size())) << c.what;
        for (size_t i = 0; i < links.size(); i++)
            EXPECT_EQ(c.gone[i], links[i].gone) << c.what << " " << i;
        EXPECT_EQ(0, globalMadeTemporary) << c.what;
    }
    const WCHAR* target[1] = {kVera};
    EXPECT_EQ(0, DeleteLinksWith(&kCalls, L"\\Sessions\\0\\NoSuchDirectory", L"Q:", target, 1));
}

TEST(ComposeLinkPath, FitsWholeOrIsSkipped)
{
    // Only the first 17 units of the entry name count (it need not end in 0).
    const WCHAR entry[] = L"00000000-0003e7e5XYZ";
    const std::wstring expected = L"\\Sessions\\0\\DosDevices\\00000000-0003e7e5\\U:";
    const struct { int outUnits; int length; } cases[] = {{44, 43}, {43, 0}, {0, 0}};
    for (const auto& c : cases) {
        WCHAR path[256];
        std::fill(std::begin(path), std::end(path), L'#');
        EXPECT_EQ(c.length, ComposeLinkPath(kRoot, entry, 17, L"U:", path, c.outUnits))
            << c.outUnits;
        EXPECT_EQ(c.length ? expected : L"#", std::wstring(path, c.length ? 43 : 1));
    }
}
