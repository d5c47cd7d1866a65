// The open-handle folder (src/handles/): the system's handle snapshot and the
// name queries guarded by bounded workers, the report of the processes that
// hold the volume, and the follow-up that turns their console lines back. It
// rests on src/base/ and src/console/.
//
// This file: the open-handle report: which processes hold files on the volume or run
// from it, printed in the emphasis colour, rows recorded for the follow-up.
// The report runs on a thread of its own under a 5000 ms limit and fills
// tables of its own; they become the process-wide tables only once the
// report thread has ended, so a late report never writes into them.
#pragma once
#include <windows.h>

struct HandleReportRequest {
    char  volumeName[512];     // \\?\Volume{GUID}\ of the drive root
    char  devicePath[260];     // target of the drive's DOS device
    char  driveRoot[4];        // "U:\"
    DWORD visibleWindowsOnly;  // only processes with a visible window (-hv)
    DWORD debugForm;           // lines with the handle value in front (-db)
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
    kOpenHandleLimit = 100,
    kUnreadableFileLimit = 10,
    kHandleReportLimitMs = 5000,
};

// Written by the main thread only: published from a finished report by
// CheckForOpenHandles, then updated by the follow-up.
extern OpenHandleEntry openHandleTable[kOpenHandleLimit + 1];
extern UnreadableFileEntry unreadableFileTable[kUnreadableFileLimit + 1];
// Set by the main thread when the report's limit has passed; cleared by the
// report thread at its start.
extern volatile LONG reportAbort;

// Prints "checking for open handles..." and runs the report with its limit.
// True when the report found at least one holder or unreadable root file in
// time; the holders are then in openHandleTable.
int CheckForOpenHandles(const HandleReportRequest* request);
int RunHandleReportWithTimeout(const HandleReportRequest* request, DWORD limitMs);

// True when a fresh process snapshot lists the process.
int ProcessExists(ULONGLONG processId);

// Text rules of the report lines, exposed for tests.
// Shortens text in place to targetLength characters (at most 1024) with "..."
// in its middle; a text that fits, or a targetLength below 4, leaves it
// unchanged. Returns the text's length.
int ShortenMiddle(char* text, int targetLength);
// Replaces every occurrence of find, ignoring case, in text, a buffer of
// bufferLength bytes (the result is clipped to fit). Returns the count.
int ReplaceAllNoCase(char* text, const char* find, const char* replacement,
                     int bufferLength);
// Rewrites an object name on the volume (in a buffer of bufferLength bytes)
// to the form users know: the device itself becomes \\.\U:, a file below it
// U:\path. Returns 1 when rewritten.
int ToDisplayPath(char* objectPath, int bufferLength, const char* devicePath,
                  const char* driveRoot);
// The line of an unreadable root file: "no read: " and its path as shown.
enum { kNoReadTextLength = 280 };
void FormatNoReadLine(const UnreadableFileEntry* record, char* text);
// Fills entry->displayLine (and shortens entry->objectPath for the console
// forms). width is the console width; redirected and debug pick the form.
void MakeDisplayLine(OpenHandleEntry* entry, const char* devicePath,
                     const char* driveRoot, int width, int redirected, int debug);
