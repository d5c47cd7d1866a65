// Test program for self-deletion: stores its own path as the main flow does,
// starts the deletion and ends with the exit code given (default 0).
//   self_delete_probe [exit-code]
#include <windows.h>
#include <stdlib.h>
#include "diag/self_delete.h"
#include "base/memory.h"
#include "base/system.h"

int main(int argc, char** argv)
{
    processHeap = GetProcessHeap();
    GetModuleFileNameA(NULL, exePath, MAX_PATH);
    StartSelfDeletion();
    return argc > 1 ? atoi(argv[1]) : 0;
}
