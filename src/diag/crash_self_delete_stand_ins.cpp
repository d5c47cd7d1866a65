// Stand-ins for crash dumps and self-deletion until their code lands.
#include "diag/crash_dump.h"
#include "diag/self_delete.h"

LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS*) { return 0; }
void StartSelfDeletion(void) {}
void SplitPath(const char*, char* d, char* p, char* b, char* e)
{
    d[0] = p[0] = b[0] = e[0] = 0;
}
