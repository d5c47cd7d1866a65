// Deletes the link of a drive letter in every logon session's DOS-device
// directory, through the object-manager calls of ntdll.dll.
#include "dosdevices/session_links.h"
#include "base/imports.h"
#include "base/memory.h"
#include "base/native.h"
#include "console/output.h"

// All from the import table; without any of them nothing is deleted.
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

static void InitObjectAttributes(OBJECT_ATTRIBUTES* attributes, HANDLE root,
                                 UNICODE_STRING* name)
{
    attributes->Length = sizeof(OBJECT_ATTRIBUTES);
    attributes->RootDirectory = root;
    attributes->ObjectName = name;
    attributes->Attributes = OBJ_CASE_INSENSITIVE;
    attributes->SecurityDescriptor = NULL;
    attributes->SecurityQualityOfService = NULL;
}

// A link counts only when its target is one of the device names, unit for
// unit (and case-sensitively): a SUBST drive or a share whose name merely
// holds "CryptVolume", or the device of another product or letter, is not
// the volume that was ejected.
static int IsOneOfTargets(const WCHAR* target, int targetCount,
                          const WCHAR* const* targets, int count)
{
    for (int i = 0; i < count && targetCount > 0; i++) {
        int n = 0;
        while (n < targetCount && targets[i][n] && target[n] == targets[i][n])
            n++;
        if (n == targetCount && targets[i][n] == 0)
            return 1;
    }
    return 0;
}

int ComposeLinkPath(const WCHAR* directory, const WCHAR* entryName, int entryCount,
                    const WCHAR* linkName, WCHAR* out, int outCount)
{
    int directoryCount = lstrlenW(directory);
    int linkCount = lstrlenW(linkName);
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
    InitObjectAttributes(&attributes, NULL, &name);
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

// The next entry of an open object directory, its name in *name (inside
// buffer, kDirectoryBufferLength bytes). Returns 0 at the end or on failure.
static int NextDirectoryEntry(const ObjectCalls* calls, HANDLE directory,
                              ULONGLONG* buffer, ULONG* context, UNICODE_STRING* name)
{
    const BYTE* bufferEnd = (const BYTE*)buffer + kDirectoryBufferLength;
    for (;;) {
        ULONG returned = 0;
        NTSTATUS status = calls->queryDirectory(directory, buffer, kDirectoryBufferLength,
                                                TRUE, FALSE, context, &returned);
        if (status == STATUS_NO_MORE_ENTRIES || !NT_SUCCESS(status))
            return 0;
        const UNICODE_STRING* entryName =
            &((const ObjectDirectoryInformation*)buffer)->name;
        const BYTE* start = (const BYTE*)entryName->Buffer;
        // A name is used only where it lies inside the buffer.
        if (start && start >= (const BYTE*)buffer &&
            start + entryName->Length <= bufferEnd) {
            *name = *entryName;
            return 1;
        }
    }
}

// Whether an open session directory lists the link, by name and without
// regard to case, as the object manager looks names up. Only a listed link
// is that session's own: on Windows, opening DIR\LUID\U: in a session without
// a U: of its own falls back to the global link \GLOBAL??\U:.
static int ListsLink(const ObjectCalls* calls, HANDLE session, const WCHAR* linkName)
{
    ULONGLONG buffer[kDirectoryBufferLength / sizeof(ULONGLONG)];
    ULONG context = 0;
    UNICODE_STRING name;
    int linkCount = lstrlenW(linkName);
    while (NextDirectoryEntry(calls, session, buffer, &context, &name))
        if (name.Length / 2 == linkCount &&
            CompareStringOrdinal(name.Buffer, linkCount, linkName, linkCount, TRUE) ==
                CSTR_EQUAL)
            return 1;
    return 0;
}

// Looks at the link that one session directory lists; returns 1 when it led
// to one of the targets and was gone after it was made temporary.
static int DeleteLinkIfMatching(const ObjectCalls* calls, HANDLE session,
                                const WCHAR* linkPath, int pathCount,
                                const WCHAR* linkName, const WCHAR* const* targets,
                                int targetCount)
{
    HANDLE link = NULL;
    if (!ListsLink(calls, session, linkName) ||
        !NT_SUCCESS(OpenLink(calls, linkPath, pathCount, &link)))
        return 0;   // no such link in that session, or no right to delete it
    DebugLog(1, "%S found", linkPath);

    WCHAR target[kLinkTargetCount + 1];
    int count = QueryLinkTarget(calls, link, target);
    if (!IsOneOfTargets(target, count, targets, targetCount)) {
        calls->close(link);
        return 0;
    }

    NTSTATUS status = calls->makeTemporary(link);
    DebugLog(1, "NtMakeTemporaryObject stat=%s", NtStatusName(status));
    calls->close(link);
    if (!NT_SUCCESS(status))
        return 0;
    // Asked of the listing again, not by opening the path, which could reach
    // the global link.
    if (ListsLink(calls, session, linkName)) {
        DebugLog(1, "-> %S is still there", linkPath);   // another handle keeps it
        return 0;
    }
    DebugLog(1, "-> %S has been deleted", linkPath);
    return 1;
}

// Goes through the session directories that an open directory lists; 1 when
// a link was deleted.
static int DeleteInSessions(const ObjectCalls* calls, HANDLE root, const WCHAR* directory,
                            const WCHAR* linkName, const WCHAR* const* targets,
                            int targetCount)
{
    ULONGLONG entryBuffer[kDirectoryBufferLength / sizeof(ULONGLONG)];
    WCHAR linkPath[kLinkPathCount];
    int result = 0;
    ULONG context = 0;
    UNICODE_STRING entryName;
    while (NextDirectoryEntry(calls, root, entryBuffer, &context, &entryName)) {
        // A path that would not fit is skipped: cutting it could name another link.
        int pathCount = ComposeLinkPath(directory, entryName.Buffer, entryName.Length / 2,
                                        linkName, linkPath, kLinkPathCount);
        if (pathCount == 0)
            continue;
        OBJECT_ATTRIBUTES attributes;
        InitObjectAttributes(&attributes, root, &entryName);
        HANDLE session = NULL;
        if (!NT_SUCCESS(calls->openDirectory(&session, DIRECTORY_QUERY, &attributes)))
            continue;   // no directory, or no right to list it
        if (DeleteLinkIfMatching(calls, session, linkPath, pathCount, linkName, targets,
                                 targetCount))
            result = 1;
        calls->close(session);
    }
    return result;
}

int DeleteLinksWith(const ObjectCalls* calls, const WCHAR* directory,
                    const WCHAR* linkName, const WCHAR* const* targets, int targetCount)
{
    if (targetCount == 2)
        DebugLog(1, "DeleteAllDosDevices(%S, %S, %S or %S)...", directory, linkName,
                 targets[0], targets[1]);
    else
        DebugLog(1, "DeleteAllDosDevices(%S, %S, %S)...", directory, linkName,
                 targetCount == 1 ? targets[0] : L"");
    if (!calls || targetCount < 1 || targetCount > kLinkTargetLimit)
        return 0;

    UNICODE_STRING directoryName;
    directoryName.Buffer = (WCHAR*)directory;
    directoryName.Length = (USHORT)(lstrlenW(directory) * 2);
    directoryName.MaximumLength = (USHORT)(directoryName.Length + 2);
    OBJECT_ATTRIBUTES attributes;
    InitObjectAttributes(&attributes, NULL, &directoryName);
    HANDLE root = NULL;
    if (!NT_SUCCESS(calls->openDirectory(&root, DIRECTORY_QUERY, &attributes)))
        return 0;
    int result = DeleteInSessions(calls, root, directory, linkName, targets, targetCount);
    calls->close(root);
    return result;
}

int DeleteAllDosDevicesA(const char* directory, const char* linkName,
                         const char* const* targets, int targetCount)
{
    if (targetCount < 0 || targetCount > kLinkTargetLimit)
        return 0;
    WCHAR wide[2 + kLinkTargetLimit][kTextCount];
    const WCHAR* wideTargets[kLinkTargetLimit];
    for (int i = 0; i < 2 + targetCount; i++) {
        const char* text = i == 0 ? directory : i == 1 ? linkName : targets[i - 2];
        // A text longer than 259 characters fails the conversion: nothing is
        // deleted under a shortened name.
        if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide[i], kTextCount) <= 0)
            return 0;
        if (i >= 2)
            wideTargets[i - 2] = wide[i];
    }
    ObjectCalls calls;
    return DeleteLinksWith(GetObjectCalls(&calls) ? &calls : NULL, wide[0], wide[1],
                           wideTargets, targetCount);
}

int ObjectExists(const char* path)
{
    WCHAR directory[kTextCount];
    ObjectCalls calls;
    if (!GetObjectCalls(&calls) ||
        MultiByteToWideChar(CP_ACP, 0, path, -1, directory, kTextCount) <= 0)
        return -1;
    WCHAR* name = directory + lstrlenW(directory);
    while (name > directory && *name != L'\\')
        name--;
    if (name == directory)
        return -1;
    *name++ = 0;   // directory, then the name in it
    UNICODE_STRING directoryName;
    directoryName.Buffer = directory;
    directoryName.Length = (USHORT)(lstrlenW(directory) * 2);
    directoryName.MaximumLength = (USHORT)(directoryName.Length + 2);
    OBJECT_ATTRIBUTES attributes;
    InitObjectAttributes(&attributes, NULL, &directoryName);
    HANDLE handle = NULL;
    if (!NT_SUCCESS(calls.openDirectory(&handle, DIRECTORY_QUERY, &attributes)))
        return -1;
    int listed = ListsLink(&calls, handle, name);
    calls.close(handle);
    return listed;
}
