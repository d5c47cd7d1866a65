// Processes seen by the report: executable names from a tool-help process
// snapshot, the processes whose image lies on the volume, and those that have
// loaded a module (a DLL) from it. A loaded module holds its file through an
// image section, not a handle, so no handle listing shows it.
#pragma once
#include <windows.h>
#include "handles/handle_report.h"

// *snapshot is the caller's cached process snapshot (INVALID_HANDLE_VALUE at
// first); it is taken when missing or when fresh is set, replacing the old
// one. True with the executable name when the process is in it and its name
// fits in nameLength bytes.
int GetProcessExeName(HANDLE* snapshot, ULONGLONG processId, char* name, int nameLength,
                      int fresh);
// True when a fresh process snapshot lists the process.
int ProcessExists(ULONGLONG processId);
// Appends, while *count is below limit, a record for each process whose
// executable lies on the volume (its image path as exeName), and one for each
// module from the volume that a process has loaded (isModule; its base as
// handleValue). width is the report's width: the console's, at most 200.
void FindProcessesRunningFromVolume(const char* driveRoot, const char* devicePath,
                                    OpenHandleEntry* table, int limit, int* count,
                                    int width);
// True while the process has a module loaded at base.
int IsModuleLoaded(ULONGLONG processId, ULONGLONG base);
// True while the process has a view of a data file mapped at base.
int IsViewMapped(ULONGLONG processId, ULONGLONG base);
// Rewrites an image or module path (MAX_PATH bytes) that lies on the volume,
// in any form the system gives (U:\x, \??\U:\x, the device form
// \Device\...VolumeU\x), to U:\x. True when it lies on the volume.
int ToVolumeImagePath(char* path, const char* devicePath, const char* driveRoot);
