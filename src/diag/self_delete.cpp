// Self-deletion: a running program cannot delete its own image file, so a
// batch file beside it does that once the process has gone, then deletes
// itself. It runs hidden, at idle priority, and is not waited for.
#include "diag/self_delete.h"
#include "base/memory.h"
#include "base/paths.h"
#include "base/system.h"
#include "base/text.h"
#include <shlwapi.h>

static const char kBatchLines[] =
    "@echo off\r\n:Repeat\r\ndel \"\x01\" >NUL 1>NUL 2>NUL\r\n"
    "if exist \"\x01\" goto Repeat\r\ndel \"\x02\" >NUL 1>NUL 2>NUL\r\n";

void SplitPath(const char* path, char* drive, char* directory, char* baseName,
               char* extension)
{
    drive[0] = directory[0] = baseName[0] = extension[0] = 0;
    if (!path || path[0] == 0)
        return;
    const char* fileName = PathFindFileNameA(path);
    const char* dot = PathFindExtensionA(fileName);   // at the end when none
    CopyText(extension, dot, MAX_PATH);
    int baseLength = (int)(dot - fileName);
    CopyText(baseName, fileName, baseLength + 1 < MAX_PATH ? baseLength + 1 : MAX_PATH);

    int directoryLength = (int)(fileName - path);
    const char* directoryStart = path;
    if (directoryLength >= 2 && path[1] == ':') {
        CopyText(drive, path, 3);
        directoryStart += 2;
        directoryLength -= 2;
    }
    CopyText(directory, directoryStart,
             directoryLength + 1 < MAX_PATH ? directoryLength + 1 : MAX_PATH);
}

// Appends text to out at *used, "%" doubled when escapePercent is set.
// Returns 0 when it does not fit (one byte stays free for a terminator).
static int AppendBatchText(char* out, int outLength, int* used, const char* text,
                           int escapePercent)
{
    int n = *used;
    for (; *text; text++) {
        int need = (escapePercent && *text == '%') ? 2 : 1;
        if (n + need >= outLength)
            return 0;
        out[n++] = *text;
        if (need == 2)
            out[n++] = '%';
    }
    *used = n;
    return 1;
}

int ComposeSelfDeleteBatch(const char* programPath, const char* batchPath,
                           char* text, int textLength)
{
    // Composed aside, so that a text that does not fit leaves text untouched.
    char composed[kSelfDeleteBatchLength];
    int limit = textLength < kSelfDeleteBatchLength ? textLength : kSelfDeleteBatchLength;
    int used = 0;
    char piece[2] = {0, 0};
    for (const char* p = kBatchLines; *p; p++) {
        int fits;
        if (*p == '\x01')
            fits = AppendBatchText(composed, limit, &used, programPath, 1);
        else if (*p == '\x02')
            fits = AppendBatchText(composed, limit, &used, batchPath, 1);
        else {
            piece[0] = *p;
            fits = AppendBatchText(composed, limit, &used, piece, 0);
        }
        if (!fits)
            return 0;
    }
    composed[used] = 0;
    MemCopy(text, composed, (SIZE_T)used + 1);
    return used;
}

int ConvertBatchText(const char* text, int textLength, UINT fromCodePage,
                     UINT toCodePage, char* out, int outLength)
{
    if (textLength <= 0 || textLength > kSelfDeleteBatchLength)
        return 0;
    if (fromCodePage == toCodePage) {
        if (textLength > outLength)
            return 0;
        MemCopy(out, text, (SIZE_T)textLength);
        return textLength;
    }
    WCHAR wide[kSelfDeleteBatchLength + 1];
    int wideCount = MultiByteToWideChar(fromCodePage, MB_ERR_INVALID_CHARS, text,
                                        textLength, wide, kSelfDeleteBatchLength);
    if (wideCount <= 0)
        return 0;
    wide[wideCount] = 0;
    return WideToAnsiExact(wide, toCodePage, out, outLength) ? lstrlenA(out) : 0;
}

// Writes the whole batch file; a file that could not be written whole is
// removed again.
static int WriteBatchFile(const char* batchPath, const char* text, int length)
{
    HANDLE file = CreateFileA(batchPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0,
                              NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text, (DWORD)length, &written, NULL);
    CloseHandle(file);
    if (!ok || written != (DWORD)length) {
        DeleteFileA(batchPath);
        return 0;
    }
    return 1;
}

// Composes the batch text for batchPath, converts it to the OEM code page and
// writes it. Returns 1 when the whole file was written.
static int WriteDeletionBatch(const char* batchPath)
{
    char ansiText[kSelfDeleteBatchLength];
    int length = ComposeSelfDeleteBatch(exePath, batchPath, ansiText, sizeof ansiText);
    // The batch runs in a console of its own, which reads it in the OEM code
    // page. A path that code page cannot spell would make del miss the file.
    char text[2 * kSelfDeleteBatchLength];
    length = ConvertBatchText(ansiText, length, GetACP(), GetOEMCP(), text, sizeof text);
    return length != 0 && WriteBatchFile(batchPath, text, length);
}

// cmd.exe from the system directory by full path: no search, no %ComSpec%.
// /d skips AutoRun commands, /v:off keeps "!" literal, /s /c ""x"" runs x
// with its quotes whatever characters it holds. cmd expands %NAME% on its
// command line and has no escape for it there, so the folder stays off the
// command line: the batch is named relative to its folder, which becomes the
// current directory. cmd cannot use a UNC folder as current directory; such a
// batch (onDrive 0) is named by its full path. Returns 1 when started.
static int StartBatch(const char* batchDirectory, const char* batchPath, int onDrive)
{
    char cmdPath[MAX_PATH];
    if (!MakeSystemPath("\\cmd.exe", cmdPath))
        return 0;
    char commandLine[3 * MAX_PATH];
    if (onDrive)
        wsprintfA(commandLine, "\"%.259s\" /d /v:off /s /c \"\".\\%.259s\"\"",
                  cmdPath, batchPath + lstrlenA(batchDirectory));
    else
        wsprintfA(commandLine, "\"%.259s\" /d /v:off /s /c \"\"%.259s\"\"",
                  cmdPath, batchPath);

    STARTUPINFOA startup;
    MemFill(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process;
    MemFill(&process, 0, sizeof process);
    // A console of its own (without a window): closing ours does not end the
    // batch, and what cmd says when its batch file is gone is not shown.
    if (!startBatchProcess(cmdPath, commandLine, NULL, NULL, FALSE,
                        IDLE_PRIORITY_CLASS | CREATE_NO_WINDOW, NULL,
                        batchDirectory, &startup, &process))
        return 0;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 1;
}

CreateProcessAFn startBatchProcess = CreateProcessA;

void StartSelfDeletion(void)
{
    if (exePath[0] == 0)
        return;
    char drive[MAX_PATH], directory[MAX_PATH], baseName[MAX_PATH],
         extension[MAX_PATH];
    SplitPath(exePath, drive, directory, baseName, extension);

    char batchDirectory[MAX_PATH];
    wsprintfA(batchDirectory, "%.2s%.257s", drive, directory);
    // cmd expands %NAME% on its command line, where nothing escapes it: the
    // batch's name has "_" for each "%" of the program's name, and a UNC
    // folder (named on that line, see StartBatch) must not hold one.
    for (char* c = baseName; *c; c++)
        if (*c == '%')
            *c = '_';
    if (drive[0] == 0 && StrChrA(batchDirectory, '%'))
        return;
    char batchPath[2 * MAX_PATH];
    wsprintfA(batchPath, "%.259sdel_%.259s%s", batchDirectory, baseName, ".bat");
    if (lstrlenA(batchPath) >= MAX_PATH)
        return;

    // Clears read-only, hidden and system, any of which would stop del.
    SetFileAttributesA(exePath, FILE_ATTRIBUTE_NORMAL);
    if (!WriteDeletionBatch(batchPath))
        return;
    if (!StartBatch(batchDirectory, batchPath, drive[0] != 0))
        DeleteFileA(batchPath);
}
