// Heap memory for the whole program: zero-filled blocks from the process heap.
// MemAlloc never returns null: a failed allocation is retried every second.
#pragma once
#include <windows.h>

extern HANDLE processHeap;   // set by ProgramEntry before the first allocation

void* MemAlloc(unsigned long long size);
BOOL  MemFree(void* block);   // null is allowed
