// The console folder (src/console/): output with colours and the debug line,
// console set-up and control events, the key-watch thread and the waits that
// a key ends. It rests on src/base/ only.
//
// Console output: every text the program shows goes through ConsolePrintf,
// which expands line breaks to CR LF, converts from the ANSI code page to the
// code page the output expects, writes with one WriteFile and flushes a file
// (never a pipe, whose flush would wait for the reader).
// Colours only reach a real console (start-up attributes known).
#pragma once
#include <windows.h>

struct ConsoleContext {
    DWORD  isRedirected;       // 1 when standard output is not a character device
    HANDLE hOut;
    HANDLE hIn;
    WORD   startupAttributes;  // 0 when the screen-buffer query failed
};

// Published by MainFlow right after InitConsole; every folder reads this one
// record.
extern ConsoleContext* consoleContext;

enum ConsoleColor : WORD {
    ColorDefault  = 0,
    ColorSuccess  = 10,
    ColorError    = 12,
    ColorWarning  = 14,
    ColorEmphasis = 15,
};

// Limits of one formatted text.
enum { kPrintTextLength = 1023, kPrintBufferLength = 1025 };

extern volatile short lineOpen;   // 1 while the last text did not end its line

int  ConsolePrintf(const char* format, ...);
void DebugLog(int level, const char* format, ...);
// DebugLog shows levels up to this one: 0 (the start), or 4 with -db.
void SetLogThreshold(int level);
void SetConsoleColor(const ConsoleContext* context, WORD color);
short GetConsoleWidth(void);
short GetCursorColumn(void);
short GetCursorRow(void);
int  NewLineIfNeeded(void);

// Building blocks, exposed so they can be checked without a console.
// ExpandLineBreaks: text (terminated) -> out (outLength >= 1025), LF -> CR LF,
// result cut to 1024 characters; returns its length.
int  ExpandLineBreaks(const char* text, char* out, int outLength);
// Converts textLength bytes from ansiCodePage to targetCodePage; characters the
// target lacks become '?' (no replacement for UTF-8). Returns the byte count
// written to out (not terminated), 0 on failure (out untouched).
int  ConvertCodePage(const char* text, int textLength, UINT ansiCodePage,
                     UINT targetCodePage, char* out, int outLength);
// text as a console holds it once ConsolePrintf has written it there: in the
// output's code page (characters that lack a counterpart there as '?') and
// read back as UTF-16, as the wide console reads give it. Writes a terminated
// text of at most outCount units and returns its count.
int  ShownConsoleText(const char* text, WCHAR* out, int outCount);
// The attributes SetConsoleColor writes for a colour on given start-up attributes.
WORD ColorAttributes(WORD startupAttributes, WORD color);
// Forget the output settings worked out by the first ConsolePrintf (tests that
// swap the standard output handle use it).
void ResetConsoleOutputSettings(void);
