// Wins the right to set the foreground window: the platform grants it to the
// process that received the last input event, so a hidden hot-key window
// injects the key strokes of its own hot key and waits until they arrive.
#include "winactivate/window_activation.h"

// Written only by HotKeyWndProc on the thread that runs GainForegroundRight.
volatile LONG hotKeyReceived;

static const char kHotKeyClass[] = "HkWin";
enum {
    kHotKeyId        = 1,
    kHotKeyModifiers = MOD_CONTROL | MOD_SHIFT,
    kHotKeyVk        = 0xFC,   // reserved by the platform, so nobody types it
};

static LRESULT CALLBACK HotKeyWndProc(HWND window, UINT message, WPARAM wParam,
                                      LPARAM lParam)
{
    if (message == WM_HOTKEY) {
        __atomic_store_n(&hotKeyReceived, 1, __ATOMIC_SEQ_CST);
    } else if (message == WM_DESTROY) {
        UnregisterHotKey(window, kHotKeyId);
        PostQuitMessage(0);
    }
    // The default handling of WM_CLOSE destroys the window.
    return DefWindowProcA(window, message, wParam, lParam);
}

static void SetKey(INPUT* input, WORD virtualKey, DWORD flags)
{
    input->type = INPUT_KEYBOARD;
    input->ki.wVk = virtualKey;
    input->ki.wScan = 0;
    input->ki.dwFlags = flags;
    input->ki.time = 0;
    input->ki.dwExtraInfo = 0;
}

// Releases Alt (a held Alt would change the hot key), then types Ctrl+Shift+0xFC.
static void InjectHotKey(void)
{
    INPUT inputs[7];
    SetKey(&inputs[0], VK_MENU, KEYEVENTF_KEYUP);
    SetKey(&inputs[1], VK_CONTROL, 0);
    SetKey(&inputs[2], VK_SHIFT, 0);
    SetKey(&inputs[3], kHotKeyVk, 0);
    SetKey(&inputs[4], kHotKeyVk, KEYEVENTF_KEYUP);
    SetKey(&inputs[5], VK_SHIFT, KEYEVENTF_KEYUP);
    SetKey(&inputs[6], VK_CONTROL, KEYEVENTF_KEYUP);
    SendInput(7, inputs, sizeof(INPUT));
}

int GainForegroundRight(void)
{
    // Each call wins the right anew: a hot key that an earlier call received
    // says nothing about this one.
    __atomic_store_n(&hotKeyReceived, 0, __ATOMIC_SEQ_CST);
    WNDCLASSA windowClass;
    windowClass.style = 0;
    windowClass.lpfnWndProc = HotKeyWndProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = 0;
    windowClass.hIcon = 0;
    windowClass.hCursor = 0;
    windowClass.hbrBackground = 0;
    windowClass.lpszMenuName = 0;
    windowClass.lpszClassName = kHotKeyClass;
    // Fails from the second call on; the class of the first call serves.
    RegisterClassA(&windowClass);

    HWND window = CreateWindowExA(0, kHotKeyClass, "", 0, 0, 0, 0, 0,
                                  HWND_MESSAGE, 0, 0, 0);
    if (!window)
        return 0;

    // When another program holds the hot key, nothing is injected, but the
    // window is still closed through the loop below: destroying it here
    // would leave its quit message behind for the next message loop.
    int registered = RegisterHotKey(window, kHotKeyId, kHotKeyModifiers, kHotKeyVk);
    if (registered)
        InjectHotKey();

    // The hot key and the close may arrive in either order; when the close
    // comes first the hot key is already gone and the right is not won.
    PostMessageA(window, WM_CLOSE, 0, 0);
    MSG message;
    while (GetMessageA(&message, 0, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    if (!registered)
        return 0;
    return __atomic_load_n(&hotKeyReceived, __ATOMIC_SEQ_CST);
}
