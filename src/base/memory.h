// The ground of the program (src/base/): memory, text and paths, the one table
// of run-time imports, the native declarations and the facts of the system it
// runs on. Nothing here includes another folder of src/, and nothing here
// writes to the console: what the user must be told comes back as a status.
//
// This file: heap memory and byte routines. Blocks come zero-filled from the
// process heap; MemAlloc never returns null: a failed allocation is retried
// every second, ten times, and then ends the process through
// allocFailureHandler.
#pragma once
#include <windows.h>

extern HANDLE processHeap;   // set by ProgramEntry before the first allocation

// What ends the process when an allocation cannot be satisfied; it must not
// return. Without one the process ends with exit code 3 (a failed run). Set
// once by ProgramEntry, before any other thread exists; only the first thread
// whose allocation fails calls it, any other waits for the end.
typedef void (*AllocFailureHandler)(void);
extern AllocFailureHandler allocFailureHandler;

enum { kAllocRetryLimit = 10, kAllocRetryMs = 1000 };
void* MemAlloc(unsigned long long length);   // MemAllocRetrying with the limits above
// Tries once and then up to retryLimit times, retryMs apart; never returns null.
void* MemAllocRetrying(unsigned long long length, DWORD retryLimit, DWORD retryMs);
BOOL  MemFree(void* block);   // null is allowed
// Byte fill and copy that the compiler does not turn into runtime calls.
void* MemFill(void* block, int value, SIZE_T length);
void* MemCopy(void* destination, const void* source, SIZE_T length);
// Neither null nor INVALID_HANDLE_VALUE.
int   IsValidHandle(HANDLE handle);
