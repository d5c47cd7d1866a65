#include "base/memory.h"

HANDLE processHeap;

void* MemAlloc(unsigned long long length)
{
    // Test programs and early callers may come before ProgramEntry's assignment.
    if (!processHeap)
        processHeap = GetProcessHeap();
    for (;;) {
        void* block = HeapAlloc(processHeap, HEAP_ZERO_MEMORY, (SIZE_T)length);
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

void* MemFill(void* block, int value, SIZE_T length)
{
    volatile unsigned char* p = (unsigned char*)block;
    for (SIZE_T i = 0; i < length; i++)
        p[i] = (unsigned char)value;
    return block;
}

void* MemCopy(void* destination, const void* source, SIZE_T length)
{
    volatile unsigned char* d = (unsigned char*)destination;
    const unsigned char* s = (const unsigned char*)source;
    for (SIZE_T i = 0; i < length; i++)
        d[i] = s[i];
    return destination;
}

int IsValidHandle(HANDLE handle)
{
    return handle != NULL && handle != INVALID_HANDLE_VALUE;
}
