// Declarations of the native (ntdll) interface that the program uses, under
// the names mingw-w64's headers give them where they have one: UNICODE_STRING,
// OBJECT_ATTRIBUTES, OBJECT_NAME_INFORMATION and ObjectNameInformation from
// <winternl.h>, the STATUS_* values from <ntstatus.h>. What those headers
// lack is declared here once: the layouts the system defines for x64 and
// the types of the entry points that imports.h looks up.
#pragma once
#include <windows.h>
#include <winternl.h>
#include <ntstatus.h>

// Access rights of object-manager directories and links (declared by the
// driver kit's headers only).
#ifndef DIRECTORY_QUERY
#define DIRECTORY_QUERY 0x0001
#endif
#ifndef SYMBOLIC_LINK_QUERY
#define SYMBOLIC_LINK_QUERY 0x0001
#endif

// NtQuerySystemInformation's class of the extended handle table.
enum { kSystemExtendedHandleInformation = 64 };

// One 40-byte entry of that table, as the system lays it out on x64; the
// table is a 16-byte header (the entry count first) and the entries.
struct SystemHandleEntry {
    ULONGLONG objectAddress;
    ULONGLONG processId;
    ULONGLONG handleValue;
    DWORD     grantedAccess;
    WORD      creatorBackTraceIndex;
    WORD      objectTypeIndex;
    DWORD     handleAttributes;
    DWORD     reserved;
};
static_assert(sizeof(SystemHandleEntry) == 40, "snapshot entry layout");
enum { kSystemHandleTableHeaderLength = 16 };

// The object-name reply starts with its UNICODE_STRING; the text follows it.
static_assert(sizeof(OBJECT_NAME_INFORMATION) == 16, "name header layout");

// One entry of NtQueryDirectoryObject's reply.
struct ObjectDirectoryInformation {
    UNICODE_STRING name;
    UNICODE_STRING typeName;
};

typedef NTSTATUS (NTAPI* NtQuerySystemInformationFn)(ULONG infoClass, PVOID buffer,
                                                     ULONG length, PULONG returned);
typedef NTSTATUS (NTAPI* NtQueryObjectFn)(HANDLE handle, ULONG infoClass, PVOID buffer,
                                          ULONG length, PULONG returned);
typedef NTSTATUS (NTAPI* NtOpenObjectFn)(HANDLE* handle, ACCESS_MASK access,
                                         OBJECT_ATTRIBUTES* attributes);
typedef NTSTATUS (NTAPI* NtQueryDirectoryObjectFn)(HANDLE directory, PVOID buffer,
                                                   ULONG length, BOOLEAN singleEntry,
                                                   BOOLEAN restart, ULONG* context,
                                                   ULONG* returned);
typedef NTSTATUS (NTAPI* NtQuerySymbolicLinkObjectFn)(HANDLE link, UNICODE_STRING* target,
                                                      ULONG* returned);
typedef NTSTATUS (NTAPI* NtHandleFn)(HANDLE handle);   // NtClose, NtMakeTemporaryObject
typedef NTSTATUS (NTAPI* NtReadVirtualMemoryFn)(HANDLE process, PVOID address, PVOID buffer,
                                                SIZE_T length, SIZE_T* read);
// Enables or disables one privilege of the process token by its number.
typedef NTSTATUS (NTAPI* RtlAdjustPrivilegeFn)(ULONG privilege, BOOLEAN enable,
                                               BOOLEAN currentThread, BOOLEAN* wasEnabled);
enum { kSeDebugPrivilege = 20 };   // opens any process but protected ones
