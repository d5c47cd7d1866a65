// Keeps a file open without delete sharing for a while, so that a batch that
// tries to delete it has to wait.
//   file_holder PATH MILLISECONDS
// Prints "holding" once the file is open; exit code 1 when it cannot be opened.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        printf("cannot open %s: %lu\n", argv[1], GetLastError());
        return 1;
    }
    printf("holding\n");
    fflush(stdout);
    Sleep((DWORD)atoi(argv[2]));
    CloseHandle(file);
    return 0;
}
