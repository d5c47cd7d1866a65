// dos_link remove NAME: removes a DOS device name (U:) as another program on
// the system might, leaving whatever device it led to in place.
// Exit code 0 when the name is gone, 1 when it is still there, 2 on a bad
// command line.
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv)
{
    if (argc != 3 || strcmp(argv[1], "remove")) {
        fprintf(stderr, "usage: dos_link remove NAME\n");
        return 2;
    }
    // Wine reports a failure for a removal that worked: the query decides.
    DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION, argv[2], NULL);
    char target[MAX_PATH];
    if (!QueryDosDeviceA(argv[2], target, MAX_PATH))
        return 0;
    fprintf(stderr, "dos_link: %s still leads to %s\n", argv[2], target);
    return 1;
}
