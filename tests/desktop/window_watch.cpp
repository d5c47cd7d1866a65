// Watches a desktop for the traces of window activation while a script runs
// the product: hidden HkWin windows being created (in any process) and the
// injected hot key (Ctrl+Shift+0xFC) passing the input stream.
//
//   window_watch.exe RESULT STOP SECONDS
//
// RESULT is rewritten whenever a count changes, and once at the start (so its
// presence tells that the hooks are in place):
//   hkwin=N      HkWin windows created
//   hotkeys=N    injected key-downs of virtual key 0xFC
// The watch ends when the file STOP exists or after SECONDS.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static int hkWinCount, hotKeyCount;
static bool changed = true;

static LRESULT CALLBACK LowLevelKeyboard(int code, WPARAM wParam, LPARAM lParam)
{
    const KBDLLHOOKSTRUCT* key = (const KBDLLHOOKSTRUCT*)lParam;
    if (code == HC_ACTION && key->vkCode == 0xFC && (key->flags & LLKHF_INJECTED) &&
        !(key->flags & LLKHF_UP)) {
        ++hotKeyCount;
        changed = true;
    }
    return CallNextHookEx(0, code, wParam, lParam);
}

// Wine delivers these while the creating thread waits, so the class of even
// a short-lived window can still be read here.
static void CALLBACK WindowCreated(HWINEVENTHOOK, DWORD, HWND window, LONG object,
                                   LONG, DWORD, DWORD)
{
    char name[32] = "";
    if (object == OBJID_WINDOW && GetClassNameA(window, name, sizeof name) &&
        !lstrcmpA(name, "HkWin")) {
        ++hkWinCount;
        changed = true;
    }
}

static void WriteResult(const char* path)
{
    char temporary[MAX_PATH + 8];
    snprintf(temporary, sizeof temporary, "%s.new", path);
    FILE* out = fopen(temporary, "w");
    if (!out)
        return;
    fprintf(out, "hkwin=%d\nhotkeys=%d\n", hkWinCount, hotKeyCount);
    fclose(out);
    MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING);
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: window_watch RESULT STOP SECONDS\n");
        return 2;
    }
    if (!SetWindowsHookExA(WH_KEYBOARD_LL, LowLevelKeyboard, GetModuleHandleA(0), 0) ||
        !SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, 0, WindowCreated, 0, 0,
                         WINEVENT_OUTOFCONTEXT)) {
        fprintf(stderr, "window_watch: hooks not set: error %lu\n", GetLastError());
        return 1;
    }
    DWORD limit = (DWORD)atoi(argv[3]) * 1000, start = GetTickCount();
    while (GetTickCount() - start < limit &&
           GetFileAttributesA(argv[2]) == INVALID_FILE_ATTRIBUTES) {
        MsgWaitForMultipleObjects(0, 0, FALSE, 50, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, 0, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
        if (changed) {
            changed = false;
            WriteResult(argv[1]);
        }
    }
    WriteResult(argv[1]);
    return 0;
}
