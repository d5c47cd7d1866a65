// Keeps a file open without delete sharing for a while, so that a batch that
// tries to delete it has to wait.
//   file_holder PATH MILLISECONDS [STOPFILE]
// Prints "holding" once the file is open; lets go when the time has passed or
// STOPFILE exists. Exit code 1 when the file cannot be opened.
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
    DWORD start = GetTickCount();
    DWORD limit = (DWORD)atoi(argv[2]);
    while (GetTickCount() - start < limit) {
        if (argc > 3 && GetFileAttributesA(argv[3]) != INVALID_FILE_ATTRIBUTES)
            break;
        Sleep(50);
    }
    CloseHandle(file);
    return 0;
}
