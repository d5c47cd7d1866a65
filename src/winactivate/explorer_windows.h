// File Explorer windows that show a folder of the volume. Explorer keeps a
// directory open for every folder window (and tab) it shows, to watch it for
// changes, so such a window alone makes a dismount fail with "files open".
// The windows are found through the shell's list of open folder windows
// (ShellWindows), by each item's current folder, never by window titles: a
// title holds only the folder's name, or any text that merely looks like a
// path. Each item of the list is one browser (on Windows 11 one per tab), so
// closing an item closes only what shows the volume.
//
// COM is loaded (ole32, from the system folder) only by UseExplorerWindows,
// and used on a worker thread that initialises and releases it, under a time
// limit: a shell that does not answer is left behind, never waited for. Any
// failure (no shell running, COM refused) finds nothing and leaves a debug line.
#pragma once
#include <windows.h>

// The folders through which the volume is reached: its drive root and the
// folders where it is mounted, each ending in a backslash.
enum { kVolumeFolderLimit = 8 };
struct VolumeFolders {
    WCHAR paths[kVolumeFolderLimit][MAX_PATH];
    int   count;
};

// A MemAlloc record of driveRoot ("U:\") and the mount folders of volumeName
// (\\?\Volume{GUID}\, may be empty) that fit.
VolumeFolders* NewVolumeFolders(const char* driveRoot, const char* volumeName);

// One item of the shell's list, as the rules below see it.
struct ShellFolderWindow {
    WCHAR path[MAX_PATH];   // its current folder
    HWND  window;           // its top-level window
    DWORD processId;        // the process that owns that window
};
// The list of folder windows: the shell's in the product, a fake in tests.
struct ShellWindowSource {
    void* context;
    int (*count)(void* context);
    // Fills item; 0 when the item's folder cannot be read (not a file-system
    // folder, or the item went away): such an item is left alone.
    int (*read)(void* context, int index, ShellFolderWindow* item);
    // Asks the item read last to close; 0 when it refused.
    int (*quit)(void* context);
};

enum { kClosedWindowLimit = 16 };
// An item is on the volume when its folder is one of the volume's folders or
// lies below one: whole path components, compared case-insensitively
// (C:\Mnt\Vol\x for the folder C:\mnt\vol\, never C:\mnt\vol2).
// With closeAll: asks every item on the volume to close, from the last to the
// first (an item that goes away at once does not move those still to be
// visited); returns how many agreed, the first kClosedWindowLimit of their
// windows in windows. Otherwise: puts the window of the first item on the
// volume whose window processId owns (any with 0) into windows[0] and
// returns 1, or returns 0 and leaves windows untouched.
int WalkVolumeWindows(const ShellWindowSource* source, const VolumeFolders* folders,
                      DWORD processId, int closeAll, HWND* windows);
// "closed N File Explorer window(s) on U:", or nothing (0 returned) for none.
enum { kClosedLineLength = 64 };
int FormatClosedLine(char* text, int closedCount, const char* dosDeviceName);
// The same walk over the shell's own list (0 on any failure).
int UseExplorerWindows(const VolumeFolders* folders, DWORD processId, int closeAll,
                       HWND* windows);
