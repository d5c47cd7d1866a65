// Deletes the link of a drive letter in every logon session's DOS-device
// directory, through the object-manager calls of ntdll.dll.
#include "dosdevices/session_links.h"
#include "console/output.h"
#include "frame/text_util.h"
#include <winternl.h>

// One entry of NtQueryDirectoryObject's answer.
struct DirectoryEntryInfo {
    UNICODE_STRING name;
    UNICODE_STRING typeName;
};

typedef NTSTATUS(NTAPI* OpenObjectProc)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*);
typedef NTSTATUS(NTAPI* QueryDirectoryObjectProc)(HANDLE, void*, ULONG, BOOLEAN,
                                                  BOOLEAN, ULONG*, ULONG*);
typedef NTSTATUS(NTAPI* QuerySymbolicLinkProc)(HANDLE, UNICODE_STRING*, ULONG*);
typedef NTSTATUS(NTAPI* HandleProc)(HANDLE);

// The ntdll entry points, looked up by name in this order.
enum NativeEntry {
    EntryOpenDirectory,
    EntryQueryDirectory,
    EntryOpenLink,
    EntryQueryLink,
    EntryMakeTemporary,
    EntryClose,
    kNativeEntryCount
};
static const char* const kNativeEntryNames[kNativeEntryCount] = {
    "NtOpenDirectoryObject",   "NtQueryDirectoryObject", "NtOpenSymbolicLinkObject",
    "NtQuerySymbolicLinkObject", "NtMakeTemporaryObject", "NtClose",
};

// Written only by ResolveNativeEntries (main thread, first call); bit n of
// nativeLookedUp says entry n was looked up, bit 31 the module handle. An entry
// that was not found stays null and is not looked up again.
static HMODULE ntdllModule;
static FARPROC nativeEntries[kNativeEntryCount];
static DWORD nativeLookedUp;
enum { kModuleLookedUp = 0x80000000u };

static const NTSTATUS kNoMoreEntries = (NTSTATUS)0x8000001A;
static const ACCESS_MASK kDirectoryQuery = 0x0001;
static const ACCESS_MASK kLinkQueryAndDelete = 0x00010001;
static const ULONG kCaseInsensitive = 0x40;

enum {
    kTextUnits = 260,           // each converted ANSI text
    kLinkPathUnits = 256,       // directory\entry\link, terminator included
    kLinkTargetUnits = 260,     // the target as the query may fill it
    kDirectoryBufferBytes = 4096,
};

static int ResolveNativeEntries(void)
{
    if (!(nativeLookedUp & kModuleLookedUp)) {
        ntdllModule = GetModuleHandleA("ntdll.dll");
        nativeLookedUp |= kModuleLookedUp;
    }
    int complete = 1;
    for (int i = 0; i < kNativeEntryCount; i++) {
        if (!(nativeLookedUp & (1u << i))) {
            nativeEntries[i] =
                ntdllModule ? GetProcAddress(ntdllModule, kNativeEntryNames[i]) : NULL;
            nativeLookedUp |= 1u << i;
        }
        if (!nativeEntries[i])
            complete = 0;
    }
    return complete;
}

static int WideLength(const WCHAR* text)
{
    int n = 0;
    while (text[n])
        n++;
    return n;
}

static void InitObjectAttributes(OBJECT_ATTRIBUTES* attributes, UNICODE_STRING* name)
{
    attributes->Length = sizeof(OBJECT_ATTRIBUTES);
    attributes->RootDirectory = NULL;
    attributes->ObjectName = name;
    attributes->Attributes = kCaseInsensitive;
    attributes->SecurityDescriptor = NULL;
    attributes->SecurityQualityOfService = NULL;
}

// Case-sensitive search of needle in the first haystackUnits units.
static int ContainsWide(const WCHAR* haystack, int haystackUnits, const WCHAR* needle)
{
    int needleUnits = WideLength(needle);
    if (needleUnits == 0)
        return 1;
    for (int start = 0; start + needleUnits <= haystackUnits; start++) {
        int i = 0;
        while (i < needleUnits && haystack[start + i] == needle[i])
            i++;
        if (i == needleUnits)
            return 1;
    }
    return 0;
}

int ComposeLinkPath(const WCHAR* directory, const WCHAR* entryName, int entryUnits,
                    const WCHAR* linkName, WCHAR* out, int outUnits)
{
    int directoryUnits = WideLength(directory);
    int linkUnits = WideLength(linkName);
    if (entryUnits < 0 || outUnits <= 0 ||
        directoryUnits + 1 + entryUnits + 1 + linkUnits + 1 > outUnits)
        return 0;
    int n = 0;
    for (int i = 0; i < directoryUnits; i++)
        out[n++] = directory[i];
    out[n++] = L'\\';
    for (int i = 0; i < entryUnits; i++)
        out[n++] = entryName[i];
    out[n++] = L'\\';
    for (int i = 0; i < linkUnits; i++)
        out[n++] = linkName[i];
    out[n] = 0;
    return n;
}

const char* NtStatusName(LONG status)
{
    switch ((DWORD)status) {
    case 0x00000000: return "SUCCESS";
    case 0xC000000D: return "INVALID_PARAMETER";
    case 0xC000000E: return "NO_SUCH_DEVICE";
    case 0xC0000010: return "INVALID_DEVICE_REQUEST";
    case 0xC0000033: return "OBJECT_NAME_INVALID";
    case 0xC0000034: return "OBJECT_NAME_NOT_FOUND";
    case 0xC00000BB: return "NOT_SUPPORTED";
    }
    // Overwritten by the next unnamed status.
    static char formatted[16];
    wsprintfA(formatted, "0x%08x", (DWORD)status);
    return formatted;
}

// Opens one link path with query and delete access.
static NTSTATUS OpenLink(const WCHAR* path, int pathUnits, HANDLE* link)
{
    UNICODE_STRING name;
    name.Buffer = (WCHAR*)path;
    name.Length = (USHORT)(pathUnits * 2);
    name.MaximumLength = kLinkPathUnits * 2;
    OBJECT_ATTRIBUTES attributes;
    InitObjectAttributes(&attributes, &name);
    return ((OpenObjectProc)nativeEntries[EntryOpenLink])(link, kLinkQueryAndDelete,
                                                          &attributes);
}

// Looks at the link path of one directory entry; returns 1 when the link
// matched and was gone after it was made temporary.
static int DeleteLinkIfMatching(const WCHAR* linkPath, int pathUnits,
                                const WCHAR* searchText)
{
    HandleProc closeHandle = (HandleProc)nativeEntries[EntryClose];
    HANDLE link = NULL;
    if (!NT_SUCCESS(OpenLink(linkPath, pathUnits, &link)))
        return 0;   // no such link in that session, or no right to delete it
    DebugLog(1, "%S found", linkPath);

    // One unit beyond MaximumLength stays 0, so the target is always terminated.
    WCHAR target[kLinkTargetUnits + 1];
    MemFill(target, 0, sizeof target);
    UNICODE_STRING targetString;
    targetString.Buffer = target;
    targetString.Length = 0;
    targetString.MaximumLength = kLinkTargetUnits * 2;
    NTSTATUS status =
        ((QuerySymbolicLinkProc)nativeEntries[EntryQueryLink])(link, &targetString, NULL);
    int targetUnits = 0;
    if (!NT_SUCCESS(status)) {
        DebugLog(1, "NtQuerySymbolicLinkObject failed: 0x%08X", (DWORD)status);
    } else {
        targetUnits = targetString.Length / 2;
        if (targetUnits > kLinkTargetUnits)
            targetUnits = kLinkTargetUnits;
        DebugLog(1, "symlink target is '%S'", target);
    }

    if (!ContainsWide(target, targetUnits, searchText)) {
        closeHandle(link);
        return 0;
    }

    status = ((HandleProc)nativeEntries[EntryMakeTemporary])(link);
    DebugLog(1, "NtMakeTemporaryObject stat=%s", NtStatusName(status));
    closeHandle(link);
    if (!NT_SUCCESS(status))
        return 0;

    status = OpenLink(linkPath, pathUnits, &link);
    DebugLog(1, "NtOpenSymbolicLinkObject(%S) stat=%s", linkPath, NtStatusName(status));
    if (!NT_SUCCESS(status)) {
        DebugLog(1, "-> %S has been deleted", linkPath);
        return 1;
    }
    DebugLog(1, "-> %S is still there", linkPath);   // another handle keeps it
    closeHandle(link);
    return 0;
}

int DeleteAllDosDevices(const WCHAR* directory, const WCHAR* linkName,
                        const WCHAR* searchText)
{
    DebugLog(1, "DeleteAllDosDevices(%S, %S, %S)...", directory, linkName, searchText);
    if (!ResolveNativeEntries())
        return 0;

    UNICODE_STRING directoryName;
    directoryName.Buffer = (WCHAR*)directory;
    directoryName.Length = (USHORT)(WideLength(directory) * 2);
    directoryName.MaximumLength = (USHORT)(directoryName.Length + 2);
    OBJECT_ATTRIBUTES attributes;
    InitObjectAttributes(&attributes, &directoryName);
    HANDLE directoryHandle = NULL;
    NTSTATUS status = ((OpenObjectProc)nativeEntries[EntryOpenDirectory])(
        &directoryHandle, kDirectoryQuery, &attributes);
    if (!NT_SUCCESS(status))
        return 0;

    ULONGLONG entryBuffer[kDirectoryBufferBytes / sizeof(ULONGLONG)];
    const BYTE* bufferEnd = (const BYTE*)entryBuffer + sizeof entryBuffer;
    WCHAR linkPath[kLinkPathUnits];
    int result = 0;
    ULONG context = 0;
    QueryDirectoryObjectProc queryDirectory =
        (QueryDirectoryObjectProc)nativeEntries[EntryQueryDirectory];
    for (;;) {
        ULONG returned = 0;
        status = queryDirectory(directoryHandle, entryBuffer, sizeof entryBuffer,
                                TRUE, FALSE, &context, &returned);
        if (status == kNoMoreEntries || !NT_SUCCESS(status))
            break;
        const DirectoryEntryInfo* entry = (const DirectoryEntryInfo*)entryBuffer;
        const BYTE* name = (const BYTE*)entry->name.Buffer;
        if (!name)
            continue;
        // The name is used only where it lies inside the buffer.
        if (name < (const BYTE*)entryBuffer || name + entry->name.Length > bufferEnd)
            continue;
        // A path that would not fit is skipped: cutting it could name another link.
        int pathUnits = ComposeLinkPath(directory, entry->name.Buffer,
                                        entry->name.Length / 2, linkName, linkPath,
                                        kLinkPathUnits);
        if (pathUnits == 0)
            continue;
        if (DeleteLinkIfMatching(linkPath, pathUnits, searchText))
            result = 1;
    }
    ((HandleProc)nativeEntries[EntryClose])(directoryHandle);
    return result;
}

int DeleteAllDosDevicesA(const char* directory, const char* linkName,
                         const char* searchText)
{
    const char* texts[3] = {directory, linkName, searchText};
    WCHAR wide[3][kTextUnits];
    for (int i = 0; i < 3; i++) {
        // A text longer than 259 characters fails the conversion: nothing is
        // deleted under a shortened name.
        if (MultiByteToWideChar(CP_ACP, 0, texts[i], -1, wide[i], kTextUnits) <= 0)
            return 0;
    }
    return DeleteAllDosDevices(wide[0], wide[1], wide[2]);
}
