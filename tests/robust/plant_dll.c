/* A DLL planted under the name of a system DLL. If anything loads it, it
   leaves a marker file named after itself in the folder QB_PLANT_MARKERS. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        char folder[MAX_PATH], name[MAX_PATH], marker[2 * MAX_PATH];
        DWORD n = GetEnvironmentVariableA("QB_PLANT_MARKERS", folder, MAX_PATH);
        if (n == 0 || n >= MAX_PATH)
            return TRUE;
        GetModuleFileNameA(instance, name, MAX_PATH);
        const char* base = name;
        for (const char* p = name; *p; p++)
            if (*p == '\\' || *p == '/') base = p + 1;
        wsprintfA(marker, "%s\\loaded_%s.txt", folder, base);
        HANDLE file = CreateFileA(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    return TRUE;
}
