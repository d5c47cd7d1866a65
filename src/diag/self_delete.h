// Deletes the program file (exePath) after the process has ended, through a
// hidden batch file written beside it.
#pragma once
#include <windows.h>

void StartSelfDeletion(void);
// The call that starts the batch: CreateProcessA, or a test's stand-in that
// sees what Windows is asked (no window, idle priority), which Wine does not show.
typedef BOOL (WINAPI* CreateProcessAFn)(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES,
                                        LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                                        LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION);
extern CreateProcessAFn startBatchProcess;
// Splits a path into drive ("C:"), directory (with trailing backslash), base
// name and extension (with its dot). Each output is a buffer of MAX_PATH bytes.
void SplitPath(const char* path, char* drive, char* directory, char* baseName,
               char* extension);

// The length of the longest batch text: three paths of up to 259 characters, each
// "%" doubled, and the fixed lines.
enum { kSelfDeleteBatchLength = 2048 };

// Composes the batch text (ANSI, CR LF line ends, no terminating zero counted)
// that deletes programPath once it can, then batchPath. A "%" in a path is
// written as "%%" so the batch does not expand it. Returns the text's length,
// or 0 when it does not fit into textLength bytes (text untouched then).
int ComposeSelfDeleteBatch(const char* programPath, const char* batchPath,
                           char* text, int textLength);

// cmd reads a batch file in its console's (OEM) code page, not in the ANSI one
// the paths come in. Converts textLength bytes from fromCodePage to toCodePage
// without substitutes or best-fit look-alikes (either could name another
// file), as WideToAnsiExact does; a converted text is terminated, so out needs
// a byte for that too. Returns the byte count written to out (without the
// terminator), 0 when a character has no exact counterpart or out is too
// small (out untouched then).
int ConvertBatchText(const char* text, int textLength, UINT fromCodePage,
                     UINT toCodePage, char* out, int outLength);
