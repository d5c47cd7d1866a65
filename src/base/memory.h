// The ground of the program (src/base/): memory, text and paths, the one table
// of run-time imports, the native declarations and the facts of the system it
// runs on. Nothing here includes another folder of src/, and nothing here
// writes to the console: what the user must be told comes back as a status.
//
// This file: heap memory and byte routines. Blocks come zero-filled from the
// process heap; MemAlloc never returns null: a failed allocation is retried
// every second.
#pragma once
#include <windows.h>

extern HANDLE processHeap;   // set by ProgramEntry before the first allocation

void* MemAlloc(unsigned long long length);
BOOL  MemFree(void* block);   // null is allowed
// Byte fill and copy that the compiler does not turn into runtime calls.
void* MemFill(void* block, int value, SIZE_T length);
void* MemCopy(void* destination, const void* source, SIZE_T length);
// Neither null nor INVALID_HANDLE_VALUE.
int   IsValidHandle(HANDLE handle);
