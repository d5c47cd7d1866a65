// Splits the program's command line into at most 31 arguments. A double quote
// is the only quoting character; a backslash has no special meaning.
#pragma once
#include <windows.h>

enum { kArgumentLimit = 31 };

// Fills *count and arguments[0..]; returns the heap buffer holding the texts
// (free it with MemFree). When 31 arguments are reached, arguments[31] is null.
char* SplitCommandLine(const char* commandLine, int* count,
                       char* arguments[kArgumentLimit + 1]);
