// Brings a process's first visible top-level window to the front. A hidden
// hot-key window (class HkWin) first wins the foreground right by receiving
// injected input.
#pragma once
#include <windows.h>

extern volatile LONG hotKeyReceived;

void ActivateProcessWindow(DWORD processId);
int  GainForegroundRight(void);
LRESULT CALLBACK HotKeyWndProc(HWND window, UINT message, WPARAM wParam,
                               LPARAM lParam);
