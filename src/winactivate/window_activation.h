// The window-activation folder (src/winactivate/): brings a process's first
// visible top-level window to the front. A hidden hot-key window (class HkWin)
// first wins the foreground right by receiving injected input. It rests on
// nothing but the system.
#pragma once
#include <windows.h>

// Cleared by each GainForegroundRight; set by its hot-key window when the
// injected hot key arrived.
extern volatile LONG hotKeyReceived;

void ActivateProcessWindow(DWORD processId);
// True when this call's hot key arrived, so the right was won.
int  GainForegroundRight(void);
