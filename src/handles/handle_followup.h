// Follow-up of the open-handle report on the console: turns the bright lines
// of holders that have let go back to the start-up colours.
#pragma once
#include <windows.h>
#include "handles/handle_report.h"

void RecheckOpenHandles(OpenHandleEntry* table);
void RecheckUnreadableFiles(void);
void UnhighlightHandleLines(OpenHandleEntry* table);
void RestoreUnreadableFileLines(void);
