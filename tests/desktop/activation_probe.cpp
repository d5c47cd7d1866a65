// Window activation on a real desktop: this program calls ActivateProcessWindow
// on windows of child processes (itself, started with --holder) and watches
// what happens from outside the product code: the foreground window, the
// hidden HkWin windows (a window-event hook) and the injected key strokes (a
// low-level keyboard hook on a thread of its own).
//
//   activation_probe.exe                    runs the tests
//   activation_probe.exe --holder READY [--title T] [--front] [--hotkey]
//                                           a window holder for the tests
//   activation_probe.exe --watch RESULT --until STOP --seconds N
//       counts, while another program runs, the HkWin windows created in any
//       process and the injected key-downs of the hot key (virtual key 0xFC);
//       prints "pid N" once its hooks are in place, and at the end writes
//       "hkwin=N" and "hotkeys=N" to RESULT
#include <gtest/gtest.h>
#include <windows.h>
#include <stdio.h>
#include <string>
#include <vector>
#include "base/memory.h"
#include "winactivate/window_activation.h"

namespace {

const UINT kHotKeyVk = 0xFC;

// Serves this thread's windows for up to ms, or until the file until exists.
void PumpMessages(DWORD ms, const char* until)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < ms &&
                                       GetFileAttributesA(until) == INVALID_FILE_ATTRIBUTES;) {
        MsgWaitForMultipleObjects(0, 0, FALSE, 50, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, 0, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    }
}

// ---- holder side -------------------------------------------------------

int RunHolder(int argc, char** argv)
{
    const char* readyName = argc > 2 ? argv[2] : "";
    const char* title = NULL;
    bool front = false, hotkey = false;
    for (int i = 3; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--title" && i + 1 < argc) title = argv[++i];
        else if (arg == "--front") front = true;
        else if (arg == "--hotkey") hotkey = true;
    }
    if (title) {
        HWND window = CreateWindowExA(0, "STATIC", title, WS_OVERLAPPEDWINDOW, 40, 40, 300, 200,
                                      0, 0, 0, 0);
        if (!window)
            return 3;
        ShowWindow(window, SW_SHOWNORMAL);
        if (front)
            SetForegroundWindow(window);
    }
    if (hotkey && !RegisterHotKey(0, 1, MOD_CONTROL | MOD_SHIFT, kHotKeyVk))
        return 4;
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, readyName);
    if (ready)
        SetEvent(ready);
    PumpMessages(60000, "");   // until the test ends this process; a minute at most
    return 0;
}

// ---- observers ---------------------------------------------------------

struct KeyEvent { DWORD vk; bool up; };

// Written by the hook thread, read by the test thread after a settling wait.
KeyEvent injected[256];
volatile LONG injectedCount, hotKeyDowns;
// Set by the test thread: injected key strokes are recorded, then dropped.
volatile LONG dropInjected;

LRESULT CALLBACK LowLevelKeyboard(int code, WPARAM wParam, LPARAM lParam)
{
    const KBDLLHOOKSTRUCT* key = (const KBDLLHOOKSTRUCT*)lParam;
    if (code == HC_ACTION && (key->flags & LLKHF_INJECTED)) {
        LONG n = injectedCount;
        bool up = (key->flags & LLKHF_UP) != 0;
        hotKeyDowns += key->vkCode == kHotKeyVk && !up;
        if (n < 256) {
            injected[n] = {key->vkCode, up};
            __atomic_store_n(&injectedCount, n + 1, __ATOMIC_SEQ_CST);
        }
        if (__atomic_load_n(&dropInjected, __ATOMIC_SEQ_CST))
            return 1;
    }
    return CallNextHookEx(0, code, wParam, lParam);
}

HANDLE hookReady;

DWORD WINAPI KeyHook_ThreadProc(void*)
{
    HHOOK hook = SetWindowsHookExA(WH_KEYBOARD_LL, LowLevelKeyboard, GetModuleHandleA(0), 0);
    SetEvent(hookReady);
    MSG message;
    while (hook && GetMessageA(&message, 0, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}

// HkWin windows created in any process.
int hkCreated;

bool IsHotKeyWindow(HWND window)
{
    char name[32] = "";
    GetClassNameA(window, name, sizeof name);
    return lstrcmpA(name, "HkWin") == 0;
}

// Wine delivers these while the creating thread waits, so the class of even
// a short-lived window can still be read here.
void CALLBACK WindowCreated(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG, DWORD, DWORD)
{
    if (object == OBJID_WINDOW && IsHotKeyWindow(window)) ++hkCreated;
}

// The observers: injected keys (on a thread of their own) and created windows
// (their events come while the calling thread waits for messages).
bool StartHooks(void)
{
    hookReady = CreateEventA(0, TRUE, FALSE, 0);
    CloseHandle(CreateThread(0, 0, KeyHook_ThreadProc, 0, 0, 0));
    WaitForSingleObject(hookReady, 5000);
    return SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, 0, WindowCreated, 0, 0,
                           WINEVENT_OUTOFCONTEXT) != 0;
}

int RunWatch(int argc, char** argv)
{
    const char *result = "", *until = "";
    DWORD seconds = 120;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!lstrcmpA(argv[i], "--watch")) result = argv[i + 1];
        if (!lstrcmpA(argv[i], "--until")) until = argv[i + 1];
        if (!lstrcmpA(argv[i], "--seconds")) seconds = atoi(argv[i + 1]);
    }
    if (!StartHooks())
        return 1;
    printf("pid %lu\n", GetCurrentProcessId());
    fflush(stdout);
    PumpMessages(seconds * 1000, until);
    FILE* out = fopen(result, "w");
    if (!out)
        return 1;
    fprintf(out, "hkwin=%d\nhotkeys=%ld\n", hkCreated, hotKeyDowns);
    fclose(out);
    return 0;
}

// Count of injected key strokes once no more arrive for 300 ms.
LONG SettledInjectedCount()
{
    LONG last = -1, now = __atomic_load_n(&injectedCount, __ATOMIC_SEQ_CST);
    for (int i = 0; i < 20 && now != last; ++i) {
        Sleep(300);
        last = now;
        now = __atomic_load_n(&injectedCount, __ATOMIC_SEQ_CST);
    }
    return now;
}

// ---- test side ---------------------------------------------------------

class Activation : public testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(StartHooks()); }
    void SetUp() override
    {
        SettledInjectedCount();
        __atomic_store_n(&injectedCount, 0, __ATOMIC_SEQ_CST);
        hkCreated = 0;
    }
    void TearDown() override
    {
        for (size_t i = 0; i < holders.size(); ++i)
            End(i);
    }
    // Starts a holder (this program with --holder), with a window of that
    // title unless it is "", waits until it is ready and returns the window.
    HWND Start(const char* title, std::string options)
    {
        if (*title)
            options += std::string(" --title ") + title;
        char exe[MAX_PATH], ready[64];
        GetModuleFileNameA(0, exe, MAX_PATH);
        wsprintfA(ready, "qb-activation-probe-%u-%u", GetCurrentProcessId(),
                  (unsigned)holders.size());
        HANDLE event = CreateEventA(0, TRUE, FALSE, ready);
        std::string line = std::string("\"") + exe + "\" --holder " + ready + " " + options;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        bool started = CreateProcessA(0, &line[0], 0, 0, FALSE, 0, 0, 0, &startup, &process);
        HANDLE waits[2] = {event, process.hProcess};
        EXPECT_TRUE(started && WaitForMultipleObjects(2, waits, FALSE, 20000) == WAIT_OBJECT_0)
            << options;
        CloseHandle(event);
        holders.push_back(process);
        Sleep(300);   // let the window manager settle the Z order and focus
        return *title ? FindWindowA("STATIC", title) : 0;
    }
    void End(size_t i)
    {
        if (!holders[i].hProcess)
            return;
        TerminateProcess(holders[i].hProcess, 0);
        WaitForSingleObject(holders[i].hProcess, 5000);
        CloseHandle(holders[i].hProcess);
        CloseHandle(holders[i].hThread);
        holders[i] = PROCESS_INFORMATION{};
    }
    std::vector<PROCESS_INFORMATION> holders;
};

// A process whose only window is hidden (this one), or that has ended (an id
// no process has), gets no hidden window and no injected input, and the
// foreground stays (the top window of a process that has one:
// tests/desktop/test_windows.sh, through -a).
TEST_F(Activation, HiddenOrEndedProcessGetsNothing)
{
    ASSERT_TRUE(
        CreateWindowExA(0, "STATIC", "hidden", WS_OVERLAPPEDWINDOW, 0, 0, 99, 99, 0, 0, 0, 0));
    HWND front = GetForegroundWindow();
    ActivateProcessWindow(GetCurrentProcessId());
    ActivateProcessWindow(0xFFFFFFFC);
    Sleep(500);
    EXPECT_EQ(front, GetForegroundWindow());
    EXPECT_EQ(0, hkCreated);
    EXPECT_EQ(0, SettledInjectedCount());
}

// Each call makes and removes its own hidden window and injects the hot key:
// Alt released first, then Ctrl+Shift+0xFC typed and released.
TEST_F(Activation, InjectsHotKeyOncePerCall)
{
    int won = GainForegroundRight();
    won |= GainForegroundRight();

    EXPECT_EQ(2, hkCreated);
    EXPECT_FALSE(FindWindowExA(HWND_MESSAGE, 0, "HkWin", 0));
    const KeyEvent expected[7] = {
        {VK_MENU, true}, {VK_CONTROL, false}, {VK_SHIFT, false}, {kHotKeyVk, false},
        {kHotKeyVk, true}, {VK_SHIFT, true}, {VK_CONTROL, true},
    };
    ASSERT_EQ(14, SettledInjectedCount());
    for (int i = 0; i < 14; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i % 7].vk, injected[i].vk);
        EXPECT_EQ(expected[i % 7].up, injected[i].up);
    }
    // The hot key came through at least once (the close may overtake it).
    EXPECT_EQ(1, won);
}

// Another program holds Ctrl+Shift+0xFC: nothing is injected, the hidden
// window is still removed, no quit message is left behind for the caller's
// own message loop, and the target is still brought to the front.
TEST_F(Activation, HotKeyHeldElsewhere)
{
    Start("", "--hotkey");
    HWND target = Start("probe-target", "");
    DWORD pid = holders.back().dwProcessId;
    ASSERT_TRUE(target);
    // Another program's window in front, as the user's current work would be.
    HWND cover = Start("probe-cover", "--front");
    EXPECT_EQ(cover, GetForegroundWindow());

    EXPECT_EQ(0, GainForegroundRight());
    ActivateProcessWindow(pid);

    EXPECT_EQ(2, hkCreated);
    EXPECT_FALSE(FindWindowExA(HWND_MESSAGE, 0, "HkWin", 0));
    MSG message;
    EXPECT_FALSE(PeekMessageA(&message, 0, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(0, SettledInjectedCount());
    // Wine hands the activation to the target's thread by a message: the new
    // foreground window shows up a moment after SetForegroundWindow returns.
    for (int i = 0; i < 30 && GetForegroundWindow() != target; ++i)
        Sleep(100);
    EXPECT_EQ(target, GetForegroundWindow());
}

// Every call wins the right anew: after a call that received its hot key, a
// call whose injected keys never arrive (dropped here by the keyboard hook, as
// input to a locked or another desktop is) reports that it did not win.
TEST_F(Activation, SecondCallWithoutItsHotKey)
{
    int won = 0;
    for (int i = 0; i < 5 && !won; ++i)   // the close may overtake the hot key
        won = GainForegroundRight();
    ASSERT_EQ(1, won);
    __atomic_store_n(&dropInjected, 1, __ATOMIC_SEQ_CST);
    int second = GainForegroundRight();
    __atomic_store_n(&dropInjected, 0, __ATOMIC_SEQ_CST);
    EXPECT_EQ(0, second);
    EXPECT_EQ(0, __atomic_load_n(&hotKeyReceived, __ATOMIC_SEQ_CST));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && lstrcmpA(argv[1], "--holder") == 0)
        return RunHolder(argc, argv);
    if (argc > 1 && lstrcmpA(argv[1], "--watch") == 0)
        return RunWatch(argc, argv);
    processHeap = GetProcessHeap();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
