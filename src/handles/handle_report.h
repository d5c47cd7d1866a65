// The open-handle folder (src/handles/): the system's handle snapshot, the
// pool of workers that names handles under time limits (handle_scan.h), the
// processes that run from the volume or have loaded a module from it, the
// report of the processes that hold the volume, and the follow-up that turns
// their console lines back. It rests on src/base/ and src/console/.
//
// This file: the open-handle report: which processes hold files on the volume
// (open, or mapped into memory) or run from it, printed in the emphasis colour, rows recorded for the follow-up.
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
    DWORD explorerHint;        // say so when File Explorer holds a folder (not with -x)
};

struct OpenHandleEntry {
    char exeName[260];      // owner's executable; image path for a process run from the volume
    char objectPath[520];   // display form of the handle's name; empty for an image holder
    char displayLine[524];  // the line as printed (clipped to fit)
    ULONGLONG handleValue;  // 0 for an image holder, or once the handle is gone
    ULONGLONG processId;    // 0 once an image holder is gone
    ULONGLONG objectAddress; // the handle's file object in the snapshot; 0 where the
                             // snapshot gives none (Wine; newer Windows without the
                             // debug privilege)
    short consoleRow;       // row the printed line ends on; 0 when not shown or turned back
    BYTE isModule;          // a module loaded from the volume; handleValue is its base
    ULONGLONG viewBase;     // a view of the file mapped there; 0 when none, or once unmapped
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

// The scan for names of a report (handle_scan.h) over the snapshot's
// candidates, with visibleWindowsOnly only those of processes with a visible
// window; exposed for the benchmark.
struct SystemHandleList;
struct HandleScan;
HandleScan* NewReportScan(const SystemHandleList* list, DWORD visibleWindowsOnly);
// Set by the benchmark alone, for its baseline: the report then does not walk
// processes' regions for mapped files.
extern int reportSkipsViewWalk;

// True when nobody holds the file now: it opens for reading with share mode
// 0, or it has gone. Only an existing file is opened, so nothing is ever
// created on the volume.
int IsFileReleased(const char* path);

// Volume uses: a handle of this program that may lie on the volume (the
// scan's duplicates, the root-file listing's search and opens) is held only
// between EnterVolumeUse and LeaveVolumeUse, and is taken only while the
// report has not been aborted. So once EndVolumeUse has drained them, none
// is open when the next dismount request is sent.
int  EnterVolumeUse(void);   // 0 once the report is aborted: take nothing
void LeaveVolumeUse(void);
enum { kVolumeUseDrainLimitMs = 1000 };
// Aborts the report (a late report thread stops at its next step) and waits
// at most limitMs until no volume use is open. True when none is. The eject
// flow calls it after the report, before its next request.
int  EndVolumeUse(DWORD limitMs);

// Text rules of the report lines, exposed for tests.
// Shortens text in place to targetLength bytes (at most 1024) with "..." in
// its middle; a text that fits, or a targetLength below 4, leaves it
// unchanged. Returns the text's length. Head and tail end at character
// boundaries of the ANSI code page (ShortenMiddleIn: of codePage), so the
// result can be a few bytes shorter.
int ShortenMiddle(char* text, int targetLength);
int ShortenMiddleIn(char* text, int targetLength, UINT codePage);
// Replaces every occurrence of find, ignoring case, in text, a buffer of
// bufferLength bytes (the result is clipped to fit). Returns the count.
int ReplaceAllNoCase(char* text, const char* find, const char* replacement,
                     int bufferLength);
// Rewrites an object name on the volume (in a buffer of bufferLength bytes)
// to the form users know: the device itself becomes \\.\U:, a file below it
// U:\path. Returns 1 when rewritten.
int ToDisplayPath(char* objectPath, int bufferLength, const char* devicePath,
                  const char* driveRoot);
// True when path (an object, image or module name) lies on the volume: it is
// the device path or begins with it and a separator (compared ignoring case),
// or it begins with the drive root, also behind \??\ or \\?\ .
int IsPathOnVolume(const char* path, const char* devicePath, const char* driveRoot);
// Fills a holder record from a handle's object name on the volume; its
// objectPath takes the form users know, whole (shortened only past its room).
void SetHandleHolder(OpenHandleEntry* record, const char* exeName, const char* name,
                     ULONGLONG handleValue, ULONGLONG processId, const char* devicePath,
                     const char* driveRoot);
// True when a record's objectPath is path, ignoring case.
int IsPathInOpenHandleTable(const OpenHandleEntry* table, const char* path);
// The processes a report could not look into: those that refused to be
// opened, and with the debug privilege the System process, whose handles
// only a kernel driver can name. The first few by name and id.
enum { kBlindSpotNameLimit = 5 };
struct BlindSpots {
    DWORD count;
    DWORD processIds[kBlindSpotNameLimit];
    char  exeNames[kBlindSpotNameLimit][MAX_PATH];
};
// What ends a report. none: the text after "checking for open handles..."
// when nothing was found (empty otherwise). hint: the line after the report
// when processes were not inspected (empty when none was): without the debug
// privilege their count (an elevated run sees them), with it their names.
enum { kNoneTextLength = 48, kInspectionHintLength = 1536 };
void FormatReportEnd(const BlindSpots* spots, int privileged, int found, char* none,
                     char* hint);
// True when exeName (a file name or a path) is File Explorer's: explorer.exe.
int IsExplorerExe(const char* exeName);
// The line of an unreadable root file: "no read: " and its path as shown.
enum { kNoReadTextLength = 280 };
void FormatNoReadLine(const UnreadableFileEntry* record, char* text);
// Fills entry->displayLine (and shortens entry->objectPath for the console
// forms). width is the report's width: the console's, at most 200;
// redirected and debug pick the form.
void MakeDisplayLine(OpenHandleEntry* entry, const char* devicePath,
                     const char* driveRoot, int width, int redirected, int debug);
