// The open-handle report: which processes hold files on the volume or run
// from it, printed in the emphasis colour, rows recorded for the follow-up.
#pragma once
#include <windows.h>

struct HandleReportRequest {
    char volumeName[512];   // \\?\Volume{GUID}\ of the drive root
    char devicePath[260];   // target of the drive's DOS device
    char driveRoot[4];      // "U:\"
};

struct OpenHandleEntry {
    char exeName[260];
    char objectPath[520];
    char displayLine[524];
    ULONGLONG handleValue;
    ULONGLONG processId;
    short consoleRow;
};

struct UnreadableFileEntry {
    char path[260];
    short consoleRow;
};

enum { kOpenHandleCapacity = 100, kUnreadableFileCapacity = 10 };

// Filled once per run by the report; read and updated by the follow-up.
extern OpenHandleEntry openHandleTable[kOpenHandleCapacity + 1];
extern UnreadableFileEntry unreadableFileTable[kUnreadableFileCapacity + 1];

int CheckForOpenHandles(const HandleReportRequest* request);
