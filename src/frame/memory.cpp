#include "frame/memory.h"

HANDLE processHeap;

void* MemAlloc(unsigned long long size)
{
    // Test programs and early callers may come before ProgramEntry's assignment.
    if (!processHeap)
        processHeap = GetProcessHeap();
    for (;;) {
        void* block = HeapAlloc(processHeap, HEAP_ZERO_MEMORY, (SIZE_T)size);
        if (block)
            return block;
        Sleep(1000);
    }
}

BOOL MemFree(void* block)
{
    if (!block)
        return TRUE;
    return HeapFree(processHeap, 0, block);
}
