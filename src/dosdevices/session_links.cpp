// Deletes the link of a drive letter in every logon session's DOS-device
// directory, through the object-manager calls of ntdll.dll.
#include "dosdevices/session_links.h"
#include "base/imports.h"
#include "base/memory.h"
#include "base/native.h"
#include "console/output.h"

// The object-manager calls, all from the import table; without any of them
// nothing is deleted.
struct ObjectCalls {
    NtOpenObjectFn              openDirectory;
    NtQueryDirectoryObjectFn    queryDirectory;
    NtOpenObjectFn              openLink;
    NtQuerySymbolicLinkObjectFn queryLink;
    NtHandleFn                  makeTemporary;
    NtHandleFn                  close;
};

static int GetObjectCalls(ObjectCalls* calls)
{
    calls->openDirectory = (NtOpenObjectFn)GetImport(ImportNtOpenDirectoryObject);
    calls->queryDirectory =
        (NtQueryDirectoryObjectFn)GetImport(ImportNtQueryDirectoryObject);
    calls->openLink = (NtOpenObjectFn)GetImport(ImportNtOpenSymbolicLinkObject);
    calls->queryLink =
        (NtQuerySymbolicLinkObjectFn)GetImport(ImportNtQuerySymbolicLinkObject);
    calls->makeTemporary = (NtHandleFn)GetImport(ImportNtMakeTemporaryObject);
    calls->close = (NtHandleFn)GetImport(ImportNtClose);
    return calls->openDirectory && calls->queryDirectory && calls->openLink &&
           calls->queryLink && calls->makeTemporary && calls->close;
}

enum {
    kTextCount = 260,           // each converted ANSI text
    kLinkPathCount = 256,       // directory\entry\link, terminator included
    kLinkTargetCount = 260,     // the target as the query may fill it
    kDirectoryBufferLength = 4096,
};

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
    attributes->Attributes = OBJ_CASE_INSENSITIVE;
    attributes->SecurityDescriptor = NULL;
    attributes->SecurityQualityOfService = NULL;
}

// Case-sensitive search of needle in the first haystackCount units.
static int ContainsWide(const WCHAR* haystack, int haystackCount, const WCHAR* needle)
{
    int needleCount = WideLength(needle);
    if (needleCount == 0)
        return 1;
    for (int start = 0; start + needleCount <= haystackCount; start++) {
        int i = 0;
        while (i < needleCount && haystack[start + i] == needle[i])
            i++;
        if (i == needleCount)
            return 1;
    }
    return 0;
}

int ComposeLinkPath(const WCHAR* directory, const WCHAR* entryName, int entryCount,
                    const WCHAR* linkName, WCHAR* out, int outCount)
{
    int directoryCount = WideLength(directory);
    int linkCount = WideLength(linkName);
    if (entryCount < 0 || outCount <= 0 ||
        directoryCount + 1 + entryCount + 1 + linkCount + 1 > outCount)
        return 0;
    int n = 0;
    for (int i = 0; i < directoryCount; i++)
        out[n++] = directory[i];
    out[n++] = L'\\';
    for (int i = 0; i < entryCount; i++)
        out[n++] = entryName[i];
    out[n++] = L'\\';
    for (int i = 0; i < linkCount; i++)
        out[n++] = linkName[i];
    out[n] = 0;
    return n;
}

const char* NtStatusName(NTSTATUS status)
{
    switch (status) {
    case STATUS_SUCCESS:                return "SUCCESS";
    case STATUS_INVALID_PARAMETER:      return "INVALID_PARAMETER";
    case STATUS_NO_SUCH_DEVICE:         return "NO_SUCH_DEVICE";
    case STATUS_INVALID_DEVICE_REQUEST: return "INVALID_DEVICE_REQUEST";
    case STATUS_OBJECT_NAME_INVALID:    return "OBJECT_NAME_INVALID";
    case STATUS_OBJECT_NAME_NOT_FOUND:  return "OBJECT_NAME_NOT_FOUND";
    case STATUS_NOT_SUPPORTED:          return "NOT_SUPPORTED";
    }
    // Overwritten by the next unnamed status.
    static char formatted[16];
    wsprintfA(formatted, "0x%08x", (DWORD)status);
    return formatted;
}

// Opens one link path with query and delete access.
static NTSTATUS OpenLink(const ObjectCalls* calls, const WCHAR* path, int pathCount,
                         HANDLE* link)
{
    UNICODE_STRING name;
    name.Buffer = (WCHAR*)path;
    name.Length = (USHORT)(pathCount * 2);
    name.MaximumLength = kLinkPathCount * 2;
    OBJECT_ATTRIBUTES attributes;
    InitObjectAttributes(&attributes, &name);
    return calls->openLink(link, SYMBOLIC_LINK_QUERY | DELETE, &attributes);
}

// The link's target into target (kLinkTargetCount + 1 units, always
// terminated); returns the count of units the target has.
static int QueryLinkTarget(const ObjectCalls* calls, HANDLE link, WCHAR* target)
{
    // One unit beyond MaximumLength stays 0, so the target is always terminated.
    MemFill(target, 0, (kLinkTargetCount + 1) * sizeof(WCHAR));
    UNICODE_STRING targetString;
    targetString.Buffer = target;
    targetString.Length = 0;
    targetString.MaximumLength = kLinkTargetCount * 2;
    NTSTATUS status = calls->queryLink(link, &targetString, NULL);
    if (!NT_SUCCESS(status)) {
        DebugLog(1, "NtQuerySymbolicLinkObject failed: 0x%08X", (DWORD)status);
        return 0;
    }
    int targetCount = targetString.Length / 2;
    if (targetCount > kLinkTargetCount)
        targetCount = kLinkTargetCount;
    DebugLog(1, "symlink target is '%S'", target);
    return targetCount;
}

// Looks at the link path of one directory entry; returns 1 when the link
// matched and was gone after it was made temporary.
static int DeleteLinkIfMatching(const ObjectCalls* calls, const WCHAR* linkPath,
                                int pathCount, const WCHAR* searchText)
{
    HANDLE link = NULL;
    if (!NT_SUCCESS(OpenLink(calls, linkPath, pathCount, &link)))
        return 0;   // no such link in that session, or no right to delete it
    DebugLog(1, "%S found", linkPath);

    WCHAR target[kLinkTargetCount + 1];
    int targetCount = QueryLinkTarget(calls, link, target);
    if (!ContainsWide(target, targetCount, searchText)) {
        calls->close(link);
        return 0;
    }

    NTSTATUS status = calls->makeTemporary(link);
    DebugLog(1, "NtMakeTemporaryObject stat=%s", NtStatusName(status));
    calls->close(link);
    if (!NT_SUCCESS(status))
        return 0;

    status = OpenLink(calls, linkPath, pathCount, &link);
    DebugLog(1, "NtOpenSymbolicLinkObject(%S) stat=%s", linkPath, NtStatusName(status));
    if (!NT_SUCCESS(status)) {
        DebugLog(1, "-> %S has been deleted", linkPath);
        return 1;
    }
    DebugLog(1, "-> %S is still there", linkPath);   // another handle keeps it
    calls->close(link);
    return 0;
}

// Goes through the entries of an open directory; 1 when a link was deleted.
static int DeleteInDirectoryEntries(const ObjectCalls* calls, HANDLE directoryHandle,
                                    const WCHAR* directory, const WCHAR* linkName,
                                    const WCHAR* searchText)
{
    ULONGLONG entryBuffer[kDirectoryBufferLength / sizeof(ULONGLONG)];
    const BYTE* bufferEnd = (const BYTE*)entryBuffer + sizeof entryBuffer;
    WCHAR linkPath[kLinkPathCount];
    int result = 0;
    ULONG context = 0;
    for (;;) {
        ULONG returned = 0;
        NTSTATUS status = calls->queryDirectory(directoryHandle, entryBuffer,
                                                sizeof entryBuffer, TRUE, FALSE,
                                                &context, &returned);
        if (status == STATUS_NO_MORE_ENTRIES || !NT_SUCCESS(status))
            break;
        const ObjectDirectoryInformation* entry =
            (const ObjectDirectoryInformation*)entryBuffer;
        const BYTE* name = (const BYTE*)entry->name.Buffer;
        if (!name)
            continue;
        // The name is used only where it lies inside the buffer.
        if (name < (const BYTE*)entryBuffer || name + entry->name.Length > bufferEnd)
            continue;
        // A path that would not fit is skipped: cutting it could name another link.
        int pathCount = ComposeLinkPath(directory, entry->name.Buffer,
                                        entry->name.Length / 2, linkName, linkPath,
                                        kLinkPathCount);
        if (pathCount == 0)
            continue;
        if (DeleteLinkIfMatching(calls, linkPath, pathCount, searchText))
            result = 1;
    }
    return result;
}

int DeleteAllDosDevices(const WCHAR* directory, const WCHAR* linkName,
                        const WCHAR* searchText)
{
    DebugLog(1, "DeleteAllDosDevices(%S, %S, %S)...", directory, linkName, searchText);
    ObjectCalls calls;
    if (!GetObjectCalls(&calls))
        return 0;

    UNICODE_STRING directoryName;
    directoryName.Buffer = (WCHAR*)directory;
    directoryName.Length = (USHORT)(WideLength(directory) * 2);
    directoryName.MaximumLength = (USHORT)(directoryName.Length + 2);
    OBJECT_ATTRIBUTES attributes;
    InitObjectAttributes(&attributes, &directoryName);
    HANDLE directoryHandle = NULL;
    NTSTATUS status = calls.openDirectory(&directoryHandle, DIRECTORY_QUERY, &attributes);
    if (!NT_SUCCESS(status))
        return 0;
    int result = DeleteInDirectoryEntries(&calls, directoryHandle, directory, linkName,
                                          searchText);
    calls.close(directoryHandle);
    return result;
}

int DeleteAllDosDevicesA(const char* directory, const char* linkName,
                         const char* searchText)
{
    const char* texts[3] = {directory, linkName, searchText};
    WCHAR wide[3][kTextCount];
    for (int i = 0; i < 3; i++) {
        // A text longer than 259 characters fails the conversion: nothing is
        // deleted under a shortened name.
        if (MultiByteToWideChar(CP_ACP, 0, texts[i], -1, wide[i], kTextCount) <= 0)
            return 0;
    }
    return DeleteAllDosDevices(wide[0], wide[1], wide[2]);
}
