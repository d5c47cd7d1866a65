// Follow-up of the report on the console: finds a report line again by
// reading the screen buffer back (a line that scrolled up is found above its
// recorded row) and gives it the start-up attributes again. Runs on the main
// thread only, on the process-wide tables, which a report thread never writes.
#include "handles/handle_followup.h"
#include "handles/handle_list.h"
#include "handles/process_info.h"
#include "base/memory.h"
#include "console/output.h"
#include <shlwapi.h>

static const int kReadExtra = 10;          // a longer line on the row must not match
static const int kRecolorWidthLimit = 200;
static const int kRecolorRowLimit = 64;
// Which half of a double-width character a cell holds: no part of a colour.
static const WORD kCellHalfFlags = COMMON_LVB_LEADING_BYTE | COMMON_LVB_TRAILING_BYTE;

// The text as the console holds it, in UTF-16: the narrow reads would give
// the output code page (850, 866...), which is not the text's ANSI one. A
// MemAlloc text; *count its units.
static WCHAR* ShownText(const char* text, int* count)
{
    int room = lstrlenA(text) + 1;   // a character of one byte or more is one unit
    WCHAR* shown = (WCHAR*)MemAlloc((unsigned long long)room * sizeof(WCHAR));
    *count = ShownConsoleText(text, shown, room);
    return shown;
}

static int SameText(const WCHAR* a, const WCHAR* b)
{
    while (*a && *a == *b)
        a++, b++;
    return *a == *b;
}

short FindConsoleLine(short row, const char* text)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!IsValidHandle(out) || !GetConsoleScreenBufferInfo(out, &info))
        return row;
    int wantedCount;
    WCHAR* wanted = ShownText(text, &wantedCount);
    // Cells, not characters: no character of the text takes more cells than
    // it has bytes (a double-width one has two), so the read passes its end.
    int readLength = lstrlenA(text) + kReadExtra;
    if (readLength > info.dwSize.X)
        readLength = info.dwSize.X;
    WCHAR* cells = (WCHAR*)MemAlloc(((unsigned long long)readLength + 1) * sizeof(WCHAR));
    short foundRow = -1;
    for (int r = row; r >= 0 && foundRow < 0; r--) {
        COORD origin = { 0, (SHORT)r };
        DWORD read = 0;
        if (!ReadConsoleOutputCharacterW(out, cells, (DWORD)readLength, origin, &read))
            continue;
        if ((int)read > readLength)
            read = (DWORD)readLength;
        cells[read] = 0;
        while (read > 0 && (cells[read - 1] == L' ' || cells[read - 1] == 0))
            cells[--read] = 0;
        if (SameText(cells, wanted))
            foundRow = (short)r;
    }
    MemFree(cells);
    MemFree(wanted);
    return foundRow;
}

// The text that starts at cell start, its characters in *compared: the
// second cell of a double-width character is skipped. Returns the cells it
// covers, 0 when it runs past the last cell.
static int ReadCellText(const CHAR_INFO* cells, int cellCount, int start, int wantedCount,
                        WCHAR* compared)
{
    int cell = start;
    int n = 0;
    for (; n < wantedCount && cell < cellCount; cell++)
        if (!(cells[cell].Attributes & COMMON_LVB_TRAILING_BYTE))
            compared[n++] = cells[cell].Char.UnicodeChar;
    while (cell < cellCount && (cells[cell].Attributes & COMMON_LVB_TRAILING_BYTE))
        cell++;
    compared[n] = 0;
    StrTrimW(compared, L" ");
    return n < wantedCount ? 0 : cell - start;
}

void RecolorConsoleLine(const ConsoleContext* context, WORD matchColor, WORD newColor,
                        short row, const char* text)
{
    // Nothing was coloured without known start-up attributes.
    if (!context || context->startupAttributes == 0 || row < 0)
        return;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(context->hOut, &info) || row >= info.dwSize.Y)
        return;
    // Compare with what SetConsoleColor really wrote for the colour: it keeps
    // the start-up background.
    WORD matchAttributes = ColorAttributes(context->startupAttributes, matchColor);
    WORD newAttributes = ColorAttributes(context->startupAttributes, newColor);
    int width = info.dwSize.X < kRecolorWidthLimit ? info.dwSize.X : kRecolorWidthLimit;
    int rows = row + 1;
    if (rows > info.dwSize.Y)
        rows = info.dwSize.Y;
    if (rows > kRecolorRowLimit)
        rows = kRecolorRowLimit;
    if (width <= 0 || rows <= 0)
        return;
    int firstRow = row - rows + 1;
    int wantedCount;
    WCHAR* wanted = ShownText(text, &wantedCount);
    int cellCount = width * rows;
    CHAR_INFO* cells = (CHAR_INFO*)MemAlloc((unsigned long long)cellCount * sizeof(CHAR_INFO));
    WCHAR* compared = (WCHAR*)MemAlloc(((unsigned long long)wantedCount + 1) * sizeof(WCHAR));
    COORD gridCounts = { (SHORT)width, (SHORT)rows };
    COORD origin = { 0, 0 };
    SMALL_RECT area = { 0, (SHORT)firstRow, (SHORT)(width - 1), row };
    if (ReadConsoleOutputW(context->hOut, cells, gridCounts, origin, &area)) {
        for (int r = rows - 1; r >= 0; r--) {
            // A wrapped line goes on into the rows below.
            int covered = ReadCellText(cells, cellCount, r * width, wantedCount, compared);
            if (covered == 0 || !SameText(compared, wanted) ||
                (cells[r * width].Attributes & ~kCellHalfFlags) != matchAttributes)
                continue;
            WORD* attributes = (WORD*)MemAlloc((unsigned long long)covered * sizeof(WORD));
            for (int i = 0; i < covered; i++)
                attributes[i] = newAttributes;
            COORD at = { 0, (SHORT)(firstRow + r) };
            DWORD written = 0;
            WriteConsoleOutputAttribute(context->hOut, attributes, (DWORD)covered, at,
                                        &written);
            MemFree(attributes);
            break;
        }
    }
    MemFree(compared);
    MemFree(cells);
    MemFree(wanted);
}

// Gives a shown line the start-up colours again, wherever it has moved to.
static void TurnBackLine(short consoleRow, const char* text)
{
    short row = FindConsoleLine(consoleRow, text);
    if (row >= 0)
        RecolorConsoleLine(consoleContext, ColorEmphasis, ColorDefault, row, text);
}

// Turns a holder's line back and marks it dealt with.
static void TurnBack(short* consoleRow, const char* text)
{
    if (*consoleRow != 0)
        TurnBackLine(*consoleRow, text);
    *consoleRow = 0;
}

// Turns an unreadable file's line back and marks it dealt with. The line is
// found again like a holder line rather than rewritten at its recorded row,
// which may hold another line once the buffer has scrolled.
static void TurnBackNoReadLine(UnreadableFileEntry* record)
{
    char text[kNoReadTextLength];
    FormatNoReadLine(record, text);
    TurnBackLine(record->consoleRow, text);
    record->path[0] = 0;
}

static int IsStillHeld(const SystemHandleList* list, const OpenHandleEntry* record)
{
    ULONGLONG id = record->processId;
    if (record->isModule)
        return IsModuleLoaded(id, record->handleValue);
    return (record->handleValue &&
            IsHandleInList(list, record->handleValue, id, record->objectAddress)) ||
           (record->viewBase && IsViewMapped(id, record->viewBase));
}

void RecheckOpenHandles(OpenHandleEntry* table)
{
    if (!consoleContext || consoleContext->isRedirected)
        return;
    SystemHandleList* list = (SystemHandleList*)MemAlloc(sizeof(SystemHandleList));
    LoadSystemHandleList(list);
    if (list->count != 0) {
        for (int i = 0; i < kOpenHandleLimit && table[i].exeName[0]; i++) {
            OpenHandleEntry* record = &table[i];
            if (record->objectPath[0]) {
                // A module holds its file until it is unloaded or its process
                // ends, a view until it is unmapped, and a file both open and
                // mapped until both have gone.
                if ((record->handleValue == 0 && record->viewBase == 0) ||
                    IsStillHeld(list, record))
                    continue;
                record->handleValue = 0;
                record->viewBase = 0;
            } else {
                // Process id 0 marks an image holder already dealt with.
                if (record->processId == 0 || ProcessExists(record->processId))
                    continue;
                record->processId = 0;
            }
            TurnBack(&record->consoleRow, record->displayLine);
        }
    }
    FreeSystemHandleList(list);
    MemFree(list);
}

void RecheckUnreadableFiles(void)
{
    for (int i = 0; i < kUnreadableFileLimit && unreadableFileTable[i].consoleRow; i++) {
        UnreadableFileEntry* record = &unreadableFileTable[i];
        if (!record->path[0])
            continue;
        // The file itself, also when its line shows a shortened path. A file
        // that has gone (a lock file its holder deleted) is released too.
        if (IsFileReleased(record->fullPath))
            TurnBackNoReadLine(record);
    }
}

void UnhighlightHandleLines(OpenHandleEntry* table)
{
    for (int i = 0; i < kOpenHandleLimit && table[i].exeName[0]; i++)
        TurnBack(&table[i].consoleRow, table[i].displayLine);
}

void RestoreUnreadableFileLines(void)
{
    for (int i = 0; i < kUnreadableFileLimit && unreadableFileTable[i].consoleRow; i++) {
        UnreadableFileEntry* record = &unreadableFileTable[i];
        if (record->path[0])
            TurnBackNoReadLine(record);
    }
}
