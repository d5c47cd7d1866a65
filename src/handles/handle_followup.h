// Follow-up of the open-handle report on the console: turns the bright lines
// of holders that have let go back to the start-up colours. Main thread only;
// nothing is shown when standard output is not a console.
#pragma once
#include <windows.h>
#include "handles/handle_report.h"
#include "console/output.h"

// After each dismount attempt (with -h): lines of holders that are gone, then
// "no read" lines of files that can be opened now.
void RecheckOpenHandles(OpenHandleEntry* table);
void RecheckUnreadableFiles(void);
// After a dismount: every line still shown goes back to the start-up colours.
void UnhighlightHandleLines(OpenHandleEntry* table);
void RestoreUnreadableFileLines(void);

// The row at or above row whose text is text; -1 when none; row itself when
// the console cannot be read.
short FindConsoleLine(short row, const char* text);
// Gives the line text on row (or wrapped from it) newColor's attributes when
// its first cell carries matchColor's. Colours as for SetConsoleColor: the
// attributes compared and written keep the start-up background; 0 means the
// start-up attributes.
void RecolorConsoleLine(const ConsoleContext* context, WORD matchColor, WORD newColor,
                        short row, const char* text);
