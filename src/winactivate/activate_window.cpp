// Brings the first visible top-level window of a process to the front.
#include "winactivate/window_activation.h"

// The first visible top-level window of the process, walking the Z order from
// the top; null when it has none. Hidden windows are passed over without
// asking which process owns them.
static HWND FindFirstVisibleWindow(DWORD processId)
{
    HWND window = GetWindow(GetDesktopWindow(), GW_CHILD);
    while (window) {
        if (IsWindowVisible(window)) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == processId)
                return window;
        }
        window = GetWindow(window, GW_HWNDNEXT);
    }
    return 0;
}

void ActivateProcessWindow(DWORD processId, const VolumeFolders* explorerFolders)
{
    HWND target = 0;
    if (!explorerFolders)
        target = FindFirstVisibleWindow(processId);
    else
        UseExplorerWindows(explorerFolders, processId, 0, &target);
    // Without a window to show, no hidden window and no injected input either.
    if (!target)
        return;
    // Whether the right was won or not, the window is still offered: the
    // platform may refuse quietly (then it only flashes in the task bar).
    GainForegroundRight();
    if (IsIconic(target))
        ShowWindow(target, SW_RESTORE);
    SetForegroundWindow(target);
}
