/* The startup baselines: programs without any runtime that only end
   themselves. With BASELINE_IMPORTS the program also imports user32 and
   shlwapi as Quenbrax does, which separates the cost of loading those DLLs
   from the cost of the program's own work. */
#include <windows.h>
#ifdef BASELINE_IMPORTS
#include <shlwapi.h>
#endif

void __attribute__((noreturn)) BaselineEntry(void)
{
#ifdef BASELINE_IMPORTS
    char text[16];
    wsprintfA(text, "%d", StrToIntA("2"));
    ExitProcess((UINT)(text[0] - '0'));
#else
    ExitProcess(2);
#endif
}
