// simplugin.dll: a DLL without imports whose entry point does nothing, for a
// holder to load from a simulated volume (holder --load-dll U:\lib\plugin.dll).
#include <windows.h>

BOOL WINAPI SimPluginEntry(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}

__declspec(dllexport) int SimPluginValue(void)
{
    return 42;
}
