// Stand-ins for the open-handle report and follow-up until their code lands.
#include "handles/handle_report.h"
#include "handles/handle_followup.h"

OpenHandleEntry openHandleTable[kOpenHandleCapacity + 1];
UnreadableFileEntry unreadableFileTable[kUnreadableFileCapacity + 1];

int CheckForOpenHandles(const HandleReportRequest*) { return 0; }
void RecheckOpenHandles(OpenHandleEntry*) {}
void RecheckUnreadableFiles(void) {}
void UnhighlightHandleLines(OpenHandleEntry*) {}
void RestoreUnreadableFileLines(void) {}
