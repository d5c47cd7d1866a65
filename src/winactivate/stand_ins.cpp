// Stand-in for window activation until its code lands.
#include "winactivate/window_activation.h"

volatile LONG hotKeyReceived;
void ActivateProcessWindow(DWORD) {}
int GainForegroundRight(void) { return 0; }
LRESULT CALLBACK HotKeyWndProc(HWND w, UINT m, WPARAM wp, LPARAM lp)
{
    return DefWindowProcA(w, m, wp, lp);
}
