// Small byte, text and path helpers used instead of a runtime library.
// Texts are 8-bit ANSI and NUL-terminated.
#pragma once
#include <windows.h>

void* MemFill(void* block, int value, SIZE_T count);
void* MemCopy(void* destination, const void* source, SIZE_T count);
// Copies count / 8 whole 8-byte words; a remainder is not copied.
void* MemCopyQwords(void* destination, const void* source, SIZE_T count);
char* DupString(const char* text);
int   StripTrailingChar(char* text, char c);         // returns length before
int   AppendCharIfMissing(char* text, char c);       // text needs room for one more
int   IsValidHandle(HANDLE handle);
const char* StartsWithNoCase(const char* text, const char* prefix);
int   GetPathKind(const char* path);                 // 0 missing, 1 file, 2 directory
int   IsReparsePointPath(const char* path);
// Bounded copy: at most size - 1 characters, always terminated (size > 0).
// Returns the length copied.
int   CopyText(char* destination, const char* source, int size);
