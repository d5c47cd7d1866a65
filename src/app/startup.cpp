#include "app/startup.h"
#include "base/imports.h"

void RemoveCurrentDirFromDllSearch(void)
{
    SetDllDirectoryAFn setDllDirectory =
        (SetDllDirectoryAFn)GetImport(ImportSetDllDirectoryA);
    if (setDllDirectory)
        setDllDirectory("");
}

void RestrictDllSearchToSystem32(void)
{
    SetDefaultDllDirectoriesFn setDefault =
        (SetDefaultDllDirectoriesFn)GetImport(ImportSetDefaultDllDirectories);
    if (setDefault)
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
