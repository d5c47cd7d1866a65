// The ntdll entry points the handle finder uses, looked up by name at run
// time in the already-loaded ntdll.dll. A null pointer means the call is
// missing and its feature is off.
#pragma once
#include <windows.h>

typedef LONG (NTAPI* NtQuerySystemInformationFn)(ULONG infoClass, PVOID buffer,
                                                 ULONG length, PULONG returned);
typedef LONG (NTAPI* NtQueryObjectFn)(HANDLE handle, ULONG infoClass, PVOID buffer,
                                      ULONG length, PULONG returned);

// The header of an object-name reply; the UTF-16 text usually follows it.
struct NtUnicodeString {
    USHORT length;          // bytes, without a terminating zero
    USHORT maximumLength;
    WCHAR* text;
};
static_assert(sizeof(NtUnicodeString) == 16, "name header layout");

enum : DWORD {
    STATUS_INFO_LENGTH_MISMATCH_VALUE = 0xC0000004,
    STATUS_BUFFER_TOO_SMALL_VALUE = 0xC0000023,
    STATUS_ACCESS_DENIED_VALUE = 0xC0000022,
    STATUS_NO_MEMORY_VALUE = 0xC0000017,
    STATUS_VOLUME_DISMOUNTED_VALUE = 0xC000026E,
    STATUS_PENDING_TIMEOUT = 258,
    kObjectNameInformation = 1,
};

// Written by ResolveNativeCalls (any thread; the values are the same each time).
extern NtQuerySystemInformationFn ntQuerySystemInformation;
extern NtQueryObjectFn ntQueryObject;

// Looks both up again in ntdll.dll; false when the module is not loaded.
int ResolveNativeCalls(void);
