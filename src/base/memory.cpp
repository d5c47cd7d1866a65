#include "base/memory.h"

HANDLE processHeap;

static void EndFailedRun(void)
{
    ExitProcess(3);
}
AllocFailureHandler allocFailureHandler;
// Set by the first thread whose allocation failed for good.
static volatile LONG allocFailed;

void* MemAlloc(unsigned long long length)
{
    return MemAllocRetrying(length, kAllocRetryLimit, kAllocRetryMs);
}

void* MemAllocRetrying(unsigned long long length, DWORD retryLimit, DWORD retryMs)
{
    // Test programs and early callers may come before ProgramEntry's assignment.
    if (!processHeap)
        processHeap = GetProcessHeap();
    for (DWORD attempt = 0;; attempt++) {
        void* block = HeapAlloc(processHeap, HEAP_ZERO_MEMORY, (SIZE_T)length);
        if (block)
            return block;
        if (attempt >= retryLimit)
            break;
        Sleep(retryMs);
    }
    // One report: a second thread that fails meanwhile waits for the end.
    if (__atomic_exchange_n(&allocFailed, 1, __ATOMIC_SEQ_CST))
        Sleep(INFINITE);
    if (allocFailureHandler)
        allocFailureHandler();
    EndFailedRun();   // no handler, or one that returned
    return NULL;
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
