// Stand-in for the other-session link clean-up until its code lands.
#include "dosdevices/session_links.h"

int DeleteAllDosDevicesA(const char*, const char*, const char*) { return 0; }
int DeleteAllDosDevices(const WCHAR*, const WCHAR*, const WCHAR*) { return 0; }
const char* NtStatusName(LONG) { return "?"; }
