// Deletes the program file after the process has ended, through a hidden batch
// file written beside it.
#pragma once
#include <windows.h>

void StartSelfDeletion(void);
// Splits a path into drive ("C:"), directory (with trailing backslash), base
// name and extension (with its dot). Each output has room for MAX_PATH chars.
void SplitPath(const char* path, char* drive, char* directory, char* baseName,
               char* extension);

// Room for the longest batch text: three paths of up to 259 characters, each
// "%" doubled, and the fixed lines.
enum { kSelfDeleteBatchBytes = 2048 };

// Composes the batch text (ANSI, CR LF line ends, no terminating zero counted)
// that deletes programPath once it can, then batchPath. A "%" in a path is
// written as "%%" so the batch does not expand it. Returns the text's length,
// or 0 when it does not fit into textSize bytes.
int ComposeSelfDeleteBatch(const char* programPath, const char* batchPath,
                           char* text, int textSize);

// cmd reads a batch file in its console's (OEM) code page, not in the ANSI one
// the paths come in. Converts length bytes from fromCodePage to toCodePage
// without substitutes or best-fit look-alikes (either could name another
// file). Returns the byte count written to out, 0 when a character has no
// exact counterpart or out is too small.
int ConvertBatchText(const char* text, int length, UINT fromCodePage,
                     UINT toCodePage, char* out, int outSize);
