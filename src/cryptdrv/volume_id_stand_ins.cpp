// Stand-ins for volume identification until its code lands.
#include "cryptdrv/volume_id.h"

const char* const cryptProductNames[3] = {"TrueCrypt", "VeraCrypt", 0};
const char* const cryptDriverPaths[3] = {"\\\\.\\TrueCrypt", "\\\\.\\VeraCrypt", 0};
const char* const cryptVolumeDevicePrefixes[3] = {"\\Device\\TrueCryptVolume",
                                                  "\\Device\\VeraCryptVolume", 0};
CryptVolumeType GetCryptVolumeType(const char*) { return CryptNone; }
const char* GetCryptProductName(char) { return "???"; }
char GetCryptVolumeLetter(char) { return 0; }
int IsCryptVolumeDrive(char) { return 0; }
WORD GetVeraCryptDriverVersion(void) { return 0; }
void* QueryMountList(const char*, DWORD) { return 0; }
MountList* GetMountList(CryptVolumeType) { return 0; }
char FindLetterByContainer(const char*) { return 0; }
void ListMountedVolumes(void) {}

