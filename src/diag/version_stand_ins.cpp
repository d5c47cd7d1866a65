// Stand-ins for version reading until its code lands.
#include "diag/version_info.h"

HMODULE LoadSystemLibrary(const char*) { return 0; }
DWORD HexToUInt(const char*) { return 0; }
int ReadOwnFileVersion(FileVersionRecord*) { return 0; }
int ReadFileVersion(const char*, FileVersionRecord*) { return 0; }
void ReadOsVersion(OsVersionRecord*) {}
