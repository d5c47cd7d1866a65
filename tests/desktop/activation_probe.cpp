// Window activation on a real desktop: this program calls ActivateProcessWindow
// on windows of child processes (itself, started with --holder) and watches
// what happens from outside the product code: the foreground window, the
// hidden HkWin windows (a CBT hook on the calling thread) and the injected
// key strokes (a low-level keyboard hook on a thread of its own).
//
//   activation_probe.exe                    runs the tests
//   activation_probe.exe --holder READY [--title T]... [--minimized]
//       [--hidden] [--raise T] [--front] [--hotkey]
//                                           a window holder for the tests
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>
#include "base/memory.h"
#include "winactivate/window_activation.h"

namespace {

const UINT kHotKeyVk = 0xFC;

// ---- holder side -------------------------------------------------------

int RunHolder(int argc, char** argv)
{
    const char* readyName = argc > 2 ? argv[2] : "";
    std::vector<std::string> titles;
    std::string raise;
    bool minimized = false, hidden = false, front = false, hotkey = false;
    for (int i = 3; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--title" && i + 1 < argc) titles.push_back(argv[++i]);
        else if (arg == "--raise" && i + 1 < argc) raise = argv[++i];
        else if (arg == "--minimized") minimized = true;
        else if (arg == "--hidden") hidden = true;
        else if (arg == "--front") front = true;
        else if (arg == "--hotkey") hotkey = true;
    }
    std::vector<HWND> windows;
    for (const std::string& title : titles) {
        HWND window = CreateWindowExA(0, "STATIC", title.c_str(), WS_OVERLAPPEDWINDOW,
                                      40, 40, 300, 200, 0, 0, 0, 0);
        if (!window)
            return 3;
        if (!hidden)
            ShowWindow(window, minimized ? SW_SHOWMINNOACTIVE : SW_SHOWNORMAL);
        windows.push_back(window);
    }
    for (size_t i = 0; i < titles.size(); ++i)
        if (titles[i] == raise)
            SetWindowPos(windows[i], HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    if (front && !windows.empty())
        SetForegroundWindow(windows[0]);
    if (hotkey && !RegisterHotKey(0, 1, MOD_CONTROL | MOD_SHIFT, kHotKeyVk))
        return 4;
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, readyName);
    if (ready)
        SetEvent(ready);
    // Serve the windows until the test ends this process; a minute at most.
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 60000) {
        MsgWaitForMultipleObjects(0, 0, FALSE, 100, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, 0, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    }
    return 0;
}

// ---- observers ---------------------------------------------------------

struct KeyEvent { DWORD vk; bool up; };

// Written by the hook thread, read by the test thread after a settling wait.
KeyEvent injected[256];
volatile LONG injectedCount;
// Set by the test thread: injected key strokes are recorded, then dropped.
volatile LONG dropInjected;

LRESULT CALLBACK LowLevelKeyboard(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HC_ACTION) {
        const KBDLLHOOKSTRUCT* key = (const KBDLLHOOKSTRUCT*)lParam;
        LONG n = injectedCount;
        if ((key->flags & LLKHF_INJECTED) && n < 256) {
            injected[n].vk = key->vkCode;
            injected[n].up = (key->flags & LLKHF_UP) != 0;
            __atomic_store_n(&injectedCount, n + 1, __ATOMIC_SEQ_CST);
            if (__atomic_load_n(&dropInjected, __ATOMIC_SEQ_CST))
                return 1;
        }
    }
    return CallNextHookEx(0, code, wParam, lParam);
}

HANDLE hookReady;

DWORD WINAPI KeyHook_ThreadProc(void*)
{
    HHOOK hook = SetWindowsHookExA(WH_KEYBOARD_LL, LowLevelKeyboard,
                                   GetModuleHandleA(0), 0);
    SetEvent(hookReady);
    if (!hook)
        return 1;
    MSG message;
    while (GetMessageA(&message, 0, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}

// HkWin windows created and destroyed on the test thread.
int hkCreated, hkDestroyed;

bool IsHotKeyWindow(HWND window)
{
    char name[32] = "";
    GetClassNameA(window, name, sizeof name);
    return lstrcmpA(name, "HkWin") == 0;
}

LRESULT CALLBACK WatchWindows(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND && IsHotKeyWindow((HWND)wParam)) ++hkCreated;
    if (code == HCBT_DESTROYWND && IsHotKeyWindow((HWND)wParam)) ++hkDestroyed;
    return CallNextHookEx(0, code, wParam, lParam);
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

int titleSerial;

// Window titles carry a serial so that windows of earlier cases, or of a
// holder that is still going away, are never taken for the current ones.
std::string Title(const char* name, int serial)
{
    return std::string(name) + "-" + std::to_string(serial);
}

struct Holder {
    PROCESS_INFORMATION process{};
    bool started = false;
};

// Starts a holder and waits until its windows exist.
Holder StartHolder(const std::string& options)
{
    Holder holder;
    char exe[MAX_PATH];
    GetModuleFileNameA(0, exe, MAX_PATH);
    char readyName[64];
    wsprintfA(readyName, "qb-activation-probe-%u-%d", GetCurrentProcessId(), ++titleSerial);
    HANDLE ready = CreateEventA(0, TRUE, FALSE, readyName);
    std::string commandLine = std::string("\"") + exe + "\" --holder " + readyName + " " + options;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    if (CreateProcessA(0, line.data(), 0, 0, FALSE, 0, 0, 0, &startup, &holder.process)) {
        HANDLE waits[2] = {ready, holder.process.hProcess};
        holder.started = WaitForMultipleObjects(2, waits, FALSE, 20000) == WAIT_OBJECT_0;
    }
    CloseHandle(ready);
    Sleep(300);   // let the window manager settle the Z order and focus
    return holder;
}

void EndHolder(Holder& holder)
{
    if (!holder.process.hProcess)
        return;
    TerminateProcess(holder.process.hProcess, 0);
    WaitForSingleObject(holder.process.hProcess, 5000);
    CloseHandle(holder.process.hProcess);
    CloseHandle(holder.process.hThread);
    holder.process = PROCESS_INFORMATION{};
}

// Wine hands the activation to the target's thread by a message, so the new
// foreground window shows up a moment after SetForegroundWindow returns.
HWND ForegroundAfter(HWND awaited)
{
    for (int i = 0; i < 30 && GetForegroundWindow() != awaited; ++i)
        Sleep(100);
    return GetForegroundWindow();
}

HWND FindTitle(const char* name, int serial)
{
    return FindWindowA("STATIC", Title(name, serial).c_str());
}

class Activation : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        hookReady = CreateEventA(0, TRUE, FALSE, 0);
        CloseHandle(CreateThread(0, 0, KeyHook_ThreadProc, 0, 0, 0));
        WaitForSingleObject(hookReady, 5000);
    }
    void SetUp() override
    {
        cbtHook = SetWindowsHookExA(WH_CBT, WatchWindows, 0, GetCurrentThreadId());
        ASSERT_TRUE(cbtHook);
        ResetCounts();
    }
    void TearDown() override
    {
        UnhookWindowsHookEx(cbtHook);
        EndAll();
    }
    static void ResetCounts()
    {
        SettledInjectedCount();
        __atomic_store_n(&injectedCount, 0, __ATOMIC_SEQ_CST);
        hkCreated = hkDestroyed = 0;
    }
    // Starts a holder whose windows are named after `names`; returns the serial
    // its titles carry.
    int Start(const std::vector<const char*>& names, const std::string& flags)
    {
        int serial = titleSerial + 1;
        std::string options = flags;
        for (const char* name : names)
            options += " --title " + Title(name, serial);
        holders.push_back(StartHolder(options));
        EXPECT_TRUE(holders.back().started) << options;
        return serial;
    }
    DWORD LastPid() { return holders.back().process.dwProcessId; }
    // A window of another process in front of everything, as the user's
    // current work would be.
    HWND StartCover()
    {
        int serial = Start({"cover"}, "--front");
        HWND cover = FindTitle("cover", serial);
        EXPECT_TRUE(cover);
        EXPECT_EQ(cover, GetForegroundWindow());
        return cover;
    }
    void EndAll()
    {
        for (Holder& holder : holders)
            EndHolder(holder);
        holders.clear();
    }
    HHOOK cbtHook = 0;
    std::vector<Holder> holders;
};

// A window behind others is brought to the front, a minimised one restored
// first; of two windows of one process the one higher in the Z order wins,
// whichever of them was created first.
TEST_F(Activation, BringsFirstVisibleWindowToFront)
{
    struct Case {
        const char* name;
        std::vector<const char*> titles;
        const char* flags;
        const char* expected;
        const char* other;
    };
    const Case cases[] = {
        {"behind a cover", {"target"}, "", "target", 0},
        {"minimised", {"target"}, "--minimized", "target", 0},
        {"two windows, first raised", {"first", "second"}, "--raise first", "first", "second"},
        {"two windows, second raised", {"first", "second"}, "--raise second", "second", "first"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int serial = titleSerial + 1;
        std::string flags = c.flags;
        if (flags.rfind("--raise ", 0) == 0)
            flags = "--raise " + Title(flags.c_str() + 8, serial);
        ASSERT_EQ(serial, Start(c.titles, flags));
        DWORD pid = LastPid();
        HWND expected = FindTitle(c.expected, serial);
        HWND other = c.other ? FindTitle(c.other, serial) : 0;
        ASSERT_TRUE(expected);
        HWND cover = StartCover();
        EXPECT_EQ(lstrcmpA(c.flags, "--minimized") == 0, !!IsIconic(expected));

        ActivateProcessWindow(pid);

        EXPECT_EQ(expected, ForegroundAfter(expected));
        EXPECT_FALSE(IsIconic(expected));
        EXPECT_NE(cover, GetForegroundWindow());
        if (other)
            EXPECT_NE(other, GetForegroundWindow());
        EXPECT_EQ(1, hkCreated);
        EXPECT_EQ(1, hkDestroyed);
        EXPECT_FALSE(FindWindowExA(HWND_MESSAGE, 0, "HkWin", 0));
        EndAll();
        ResetCounts();
    }
}

// A process without a visible window, or one that has ended: no hidden
// window, no injected input, the foreground stays where it was.
TEST_F(Activation, NoVisibleWindowChangesNothing)
{
    Start({"hidden"}, "--hidden");
    DWORD hiddenPid = LastPid();
    Start({}, "");
    DWORD windowlessPid = LastPid();
    Start({"gone"}, "");
    DWORD endedPid = LastPid();
    EndHolder(holders.back());
    HWND cover = StartCover();

    const DWORD pids[] = {hiddenPid, windowlessPid, endedPid};
    for (DWORD pid : pids)
        ActivateProcessWindow(pid);

    Sleep(500);
    EXPECT_EQ(cover, GetForegroundWindow());
    EXPECT_EQ(0, hkCreated);
    EXPECT_EQ(0, SettledInjectedCount());
}

// Each call makes and removes its own hidden window and injects the hot key:
// Alt released first, then Ctrl+Shift+0xFC typed and released.
TEST_F(Activation, InjectsHotKeyOncePerCall)
{
    int serial = Start({"target"}, "");
    DWORD pid = LastPid();
    ASSERT_TRUE(FindTitle("target", serial));

    ActivateProcessWindow(pid);
    ActivateProcessWindow(pid);

    EXPECT_EQ(2, hkCreated);
    EXPECT_EQ(2, hkDestroyed);
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
    EXPECT_EQ(1, __atomic_load_n(&hotKeyReceived, __ATOMIC_SEQ_CST));
}

// Another program holds Ctrl+Shift+0xFC: nothing is injected, the hidden
// window is still removed, no quit message is left behind for the caller's
// own message loop, and the target is still brought to the front.
TEST_F(Activation, HotKeyHeldElsewhere)
{
    Start({}, "--hotkey");
    int serial = Start({"target"}, "");
    DWORD pid = LastPid();
    HWND target = FindTitle("target", serial);
    ASSERT_TRUE(target);
    StartCover();

    EXPECT_EQ(0, GainForegroundRight());
    ActivateProcessWindow(pid);

    EXPECT_EQ(2, hkCreated);
    EXPECT_EQ(2, hkDestroyed);
    EXPECT_FALSE(FindWindowExA(HWND_MESSAGE, 0, "HkWin", 0));
    MSG message;
    EXPECT_FALSE(PeekMessageA(&message, 0, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(0, SettledInjectedCount());
    EXPECT_EQ(target, ForegroundAfter(target));
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
    processHeap = GetProcessHeap();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
