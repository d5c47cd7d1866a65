#include "console/output.h"
#include "base/memory.h"
#include "base/text.h"
#include <stdarg.h>

ConsoleContext* consoleContext;
volatile short lineOpen;
// Written by the main flow (SetLogThreshold) before any other thread prints.
static int logThreshold;

// Output settings, fixed by the first text printed. settingsState: 0 not yet,
// 1 being worked out, 2 ready. The first printing thread fills them; another
// thread printing at the same moment waits for it.
static volatile LONG settingsState;
static HANDLE settingsOut;
static DWORD settingsFlush;   // 1 when standard output is a file on disk
static UINT settingsTargetCodePage;

static void EnsureOutputSettings(void)
{
    if (__atomic_load_n(&settingsState, __ATOMIC_ACQUIRE) == 2)
        return;
    if (InterlockedCompareExchange(&settingsState, 1, 0) == 0) {
        settingsOut = GetStdHandle(STD_OUTPUT_HANDLE);
        DWORD fileType = GetFileType(settingsOut);
        // A flush on a pipe waits until the reader has taken everything: a
        // caller that reads only after the program has ended would wait for
        // ever. Only a file on disk holds buffered data worth flushing.
        settingsFlush = fileType == FILE_TYPE_DISK;
        UINT consoleCp = GetConsoleOutputCP();
        if (fileType == FILE_TYPE_CHAR)
            settingsTargetCodePage = consoleCp;
        else
            settingsTargetCodePage = consoleCp == CP_UTF8 ? CP_UTF8 : GetACP();
        __atomic_store_n(&settingsState, 2, __ATOMIC_RELEASE);
        return;
    }
    while (__atomic_load_n(&settingsState, __ATOMIC_ACQUIRE) != 2)
        Sleep(0);
}

void ResetConsoleOutputSettings(void)
{
    __atomic_store_n(&settingsState, 0, __ATOMIC_RELEASE);
}

int ExpandLineBreaks(const char* text, char* out, int outLength)
{
    char work[2048];
    int w = 0;
    for (int i = 0; text[i] && i < kPrintTextLength; i++) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            work[w++] = '\r';
        work[w++] = text[i];
    }
    int length = w < outLength - 1 ? w : outLength - 1;
    if (length > kPrintTextLength + 1)
        length = kPrintTextLength + 1;
    for (int i = 0; i < length; i++)
        out[i] = work[i];
    out[length] = 0;
    return length;
}

int ConvertCodePage(const char* text, int textLength, UINT ansiCodePage,
                    UINT targetCodePage, char* out, int outLength)
{
    WCHAR wide[kPrintBufferLength];
    int wideCount = MultiByteToWideChar(ansiCodePage, 0, text, textLength, wide,
                                        kPrintBufferLength - 1);
    if (wideCount <= 0)
        return 0;
    // Converted aside (a unit takes up to three bytes), so that a failed
    // conversion leaves out untouched.
    char converted[3 * kPrintBufferLength];
    int written;
    if (targetCodePage == CP_UTF8) {
        written = WideCharToMultiByte(CP_UTF8, 0, wide, wideCount, converted,
                                      sizeof converted, NULL, NULL);
    } else {
        // Some code pages (UTF-7, 50220...) refuse a default character; retry without.
        written = WideCharToMultiByte(targetCodePage, 0, wide, wideCount, converted,
                                      sizeof converted, "?", NULL);
        if (written <= 0 && GetLastError() == ERROR_INVALID_PARAMETER)
            written = WideCharToMultiByte(targetCodePage, 0, wide, wideCount, converted,
                                          sizeof converted, NULL, NULL);
    }
    if (written <= 0 || written > outLength)
        return 0;
    MemCopy(out, converted, (SIZE_T)written);
    return written;
}

int ShownConsoleText(const char* text, WCHAR* out, int outCount)
{
    EnsureOutputSettings();
    UINT codePage = GetACP();
    int length = lstrlenA(text);
    char converted[3 * kPrintBufferLength];
    if (settingsTargetCodePage != 0 && settingsTargetCodePage != codePage) {
        int n = ConvertCodePage(text, length, codePage, settingsTargetCodePage,
                                converted, sizeof converted);
        if (n > 0) {
            text = converted;
            length = n;
            codePage = settingsTargetCodePage;
        }
    }
    int count = length > 0 ? MultiByteToWideChar(codePage, 0, text, length, out,
                                                 outCount - 1) : 0;
    out[count] = 0;
    return count;
}

static int PrintV(const char* format, va_list args)
{
    EnsureOutputSettings();

    char text[kPrintBufferLength];
    text[0] = 0;
    text[1024] = 0;
    wvsprintfA(text, format, args);

    char expanded[kPrintBufferLength];
    int length = ExpandLineBreaks(text, expanded, sizeof expanded);
    // The formatter stops at 1023 bytes and ExpandLineBreaks at 1024, either
    // perhaps inside a character: the part of it is left out.
    UINT ansiCodePage = GetACP();
    if (length >= kPrintTextLength)
        length = CharBoundary(expanded, length, ansiCodePage, 0);
    if (length == 0)
        return 0;
    __atomic_store_n(&lineOpen, (short)(expanded[length - 1] != '\n'),
                     __ATOMIC_RELAXED);

    // A UTF-8 (or double-byte) result can be up to three times longer than
    // its ANSI source: the buffer holds it whole, so no sequence is cut.
    char converted[3 * kPrintBufferLength];
    const char* toWrite = expanded;
    int writeLength = length;
    if (settingsTargetCodePage != 0 && settingsTargetCodePage != ansiCodePage) {
        int n = ConvertCodePage(expanded, length, ansiCodePage,
                                settingsTargetCodePage, converted,
                                sizeof converted);
        if (n > 0) {
            toWrite = converted;
            writeLength = n;
        }
    }

    DWORD written = 0;
    if (!WriteFile(settingsOut, toWrite, (DWORD)writeLength, &written, NULL))
        return -1;
    if (settingsFlush)
        FlushFileBuffers(settingsOut);
    return (int)written;
}

int ConsolePrintf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = PrintV(format, args);
    va_end(args);
    return result;
}

void SetLogThreshold(int level)
{
    logThreshold = level;
}

void DebugLog(int level, const char* format, ...)
{
    DWORD savedError = GetLastError();
    char text[1024];
    text[0] = 0;
    va_list args;
    va_start(args, format);
    wvsprintfA(text, format, args);
    va_end(args);
    if (level <= logThreshold) {
        NewLineIfNeeded();
        ConsolePrintf("%s\n", text);
    }
    SetLastError(savedError);
}

WORD ColorAttributes(WORD startupAttributes, WORD color)
{
    if (color == ColorDefault)
        return startupAttributes;
    if (startupAttributes & BACKGROUND_INTENSITY)
        color &= (WORD)~FOREGROUND_INTENSITY;
    return (WORD)((startupAttributes & 0xFFF0) | color);
}

void SetConsoleColor(const ConsoleContext* context, WORD color)
{
    if (!context || context->startupAttributes == 0)
        return;
    SetConsoleTextAttribute(context->hOut,
                            ColorAttributes(context->startupAttributes, color));
}

// What standard output's screen buffer tells.
enum StdOutState { StdOutNoConsole, StdOutUnread, StdOutRead };

static int ReadStdOutBuffer(CONSOLE_SCREEN_BUFFER_INFO* info)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (GetFileType(out) != FILE_TYPE_CHAR)
        return StdOutNoConsole;
    return GetConsoleScreenBufferInfo(out, info) ? StdOutRead : StdOutUnread;
}

// Without a console the output has no width limit, and the column is whether
// the last text left its line open.
short GetConsoleWidth(void)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    int state = ReadStdOutBuffer(&info);
    return state == StdOutRead ? info.dwSize.X : state == StdOutUnread ? 80 : 32767;
}

short GetCursorColumn(void)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    int state = ReadStdOutBuffer(&info);
    if (state == StdOutNoConsole)
        return __atomic_load_n(&lineOpen, __ATOMIC_RELAXED);
    return state == StdOutRead ? info.dwCursorPosition.X : 0;
}

short GetCursorRow(void)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    return ReadStdOutBuffer(&info) == StdOutRead ? info.dwCursorPosition.Y : 0;
}

int NewLineIfNeeded(void)
{
    if (GetCursorColumn() > 0) {
        ConsolePrintf("\n");
        return 1;
    }
    return 0;
}
