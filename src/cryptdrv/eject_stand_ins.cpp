// Stand-ins for the dismount and the eject loop until their code lands.
#include "cryptdrv/eject.h"

int DismountVolume(char, int, int*, int*) { return 0; }
int TryDismountOnce(char, int*) { return 0; }
const char* DriverResultName(int) { return "?"; }
int EjectVolume(char, DWORD, DWORD) { return EjectNotDismounted; }
