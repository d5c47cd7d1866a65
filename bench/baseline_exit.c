/* The startup baseline: a program without any runtime that only ends itself. */
#include <windows.h>

void __attribute__((noreturn)) BaselineEntry(void)
{
    ExitProcess(2);
}
