// The window-activation folder (src/winactivate/): brings a process's first
// visible top-level window to the front. A hidden hot-key window (class HkWin)
// first wins the foreground right by receiving injected input. The File
// Explorer windows that show a volume are found and closed through the
// shell's list (explorer_windows.h). It rests on src/base/ and src/console/.
#pragma once
#include <windows.h>
#include "winactivate/explorer_windows.h"

// Cleared by each GainForegroundRight; set by its hot-key window when the
// injected hot key arrived.
extern volatile LONG hotKeyReceived;

// With explorerFolders (for File Explorer): its window that shows one of
// those folders, found through the shell's list, never its desktop or
// taskbar; nothing when the list names none.
void ActivateProcessWindow(DWORD processId, const VolumeFolders* explorerFolders = NULL);
// True when this call's hot key arrived, so the right was won.
int  GainForegroundRight(void);
