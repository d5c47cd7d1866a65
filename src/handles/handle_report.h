// The open-handle report: which processes hold files on the volume or run
// from it, printed in the emphasis colour, rows recorded for the follow-up.
// The report runs on a thread of its own under a 5000 ms limit and fills
// tables of its own; they become the process-wide tables only once the
// report thread has ended, so a late report never writes into them.
#pragma once
#include <windows.h>

struct HandleReportRequest {
    char volumeName[512];   // \\?\Volume{GUID}\ of the drive root
    char devicePath[260];   // target of the drive's DOS device
    char driveRoot[4];      // "U:\"
};

struct OpenHandleEntry {
    char exeName[260];      // owner's executable; image path for a process run from the volume
    char objectPath[520];   // display form of the handle's name; empty for an image holder
    char displayLine[524];  // the line as printed (clipped to fit)
    ULONGLONG handleValue;  // 0 for an image holder, or once the handle is gone
    ULONGLONG processId;    // 0 once an image holder is gone
    short consoleRow;       // row the printed line ends on; 0 when not shown or turned back
};

struct UnreadableFileEntry {
    char path[260];         // as printed, possibly shortened; empty once turned back
    short consoleRow;       // 0 ends the table
    char fullPath[260];     // the file itself, which the re-check opens
};

enum {
    kOpenHandleCapacity = 100,
    kUnreadableFileCapacity = 10,
    kHandleReportLimitMs = 5000,
};

// Written by the main thread only: published from a finished report by
// CheckForOpenHandles, then updated by the follow-up.
extern OpenHandleEntry openHandleTable[kOpenHandleCapacity + 1];
extern UnreadableFileEntry unreadableFileTable[kUnreadableFileCapacity + 1];
// Set by the main thread when the report's limit has passed; cleared by the
// report thread at its start.
extern volatile LONG reportAbort;

// Prints "checking for open handles...", runs the report with its limit and,
// with -a, brings the holders' windows to the front. True when the report
// found at least one holder or unreadable root file in time.
int CheckForOpenHandles(const HandleReportRequest* request);
int RunHandleReportWithTimeout(const HandleReportRequest* request, DWORD limitMs);

// True when a fresh process snapshot lists the process.
int ProcessExists(ULONGLONG processId);

// Text rules of the report lines, exposed for tests.
// Shortens text in place to maximum characters (at most 1024) with "..." in
// its middle; a text that fits, or a maximum below 4, leaves it unchanged.
// Returns the text's length.
int ShortenMiddle(char* text, int maximum);
// Replaces every occurrence of find, ignoring case, within room bytes
// (the result is clipped to room - 1 characters). Returns the count.
int ReplaceAllNoCase(char* text, const char* find, const char* replacement, int room);
// Rewrites an object name on the volume to the form users know: the device
// itself becomes \\.\U:, a file below it U:\path. Returns 1 when rewritten.
int ToDisplayPath(char* objectPath, int room, const char* devicePath,
                  const char* driveRoot);
// Fills entry->displayLine (and shortens entry->objectPath for the console
// forms). width is the console width; redirected and debug pick the form.
void MakeDisplayLine(OpenHandleEntry* entry, const char* devicePath,
                     const char* driveRoot, int width, int redirected, int debug);
