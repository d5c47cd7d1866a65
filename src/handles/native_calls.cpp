#include "handles/native_calls.h"

NtQuerySystemInformationFn ntQuerySystemInformation;
NtQueryObjectFn ntQueryObject;

int ResolveNativeCalls(void)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (!ntdll)
        return 0;
    __atomic_store_n(&ntQueryObject,
                     (NtQueryObjectFn)GetProcAddress(ntdll, "NtQueryObject"),
                     __ATOMIC_RELEASE);
    __atomic_store_n(&ntQuerySystemInformation,
                     (NtQuerySystemInformationFn)GetProcAddress(ntdll, "NtQuerySystemInformation"),
                     __ATOMIC_RELEASE);
    return 1;
}
