// Processes seen by the report: executable names from a tool-help process
// snapshot, and the processes whose image lies on the volume.
#pragma once
#include <windows.h>
#include "handles/handle_report.h"

// *snapshot is the caller's cached process snapshot (INVALID_HANDLE_VALUE at
// first); it is taken when missing or when fresh is set, replacing the old
// one. True with the executable name when the process is in it and its name
// fits in nameLength bytes.
int GetProcessExeName(HANDLE* snapshot, ULONGLONG processId, char* name, int nameLength,
                      int fresh);
// Appends a record for each process whose executable lies on the volume,
// while *count is below limit. width is the console width.
void FindProcessesRunningFromVolume(const char* driveRoot, const char* devicePath,
                                    OpenHandleEntry* table, int limit, int* count,
                                    int width);
