// handle_hog: a process that holds very many handles on one file, for the
// open-handle report's time limits and its benchmark.
//
//   handle_hog [--file PATH] [--count N] [--access read|plain|all]
//              [--lock PATH]... [--load-dll NAME]... [--map PATH]...
//              [--until PATH | --until-eof] [--seconds N]
//
// Opens PATH (created when missing, shared with everyone) once and duplicates
// that handle until N handles (default 100) are open, with the access asked
// for: read is GENERIC_READ (granted 0x120089, whose names the report asks on
// a worker with a time limit), plain is FILE_READ_DATA | SYNCHRONIZE
// (0x100001, named directly), all is GENERIC_ALL (0x1F01FF, never named).
// Each --lock file (up to 32) is opened for reading with share mode 0. Each
// --load-dll library is loaded and each --map file (created with 64 KiB when
// missing) mapped into memory, its handles closed, so that the process has
// the memory regions of a normal program for the report's region walk.
// Then it prints "pid N handles M" and holds until the --until file exists or
// the seconds (default 600) have passed; with --until-eof instead until its
// standard input ends, without waking up in between (a crowd of polling
// processes would load the wineserver that the measured report needs).
// Exit code 3 when a file cannot be opened.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv)
{
    const char* path = nullptr;
    const char* until = nullptr;
    const char* locks[32];
    int lockCount = 0;
    const char* loads[32];
    int loadCount = 0;
    const char* maps[32];
    int mapCount = 0;
    bool untilEof = false;
    unsigned count = 100, seconds = 600;
    DWORD access = GENERIC_READ;
    for (int i = 1; i < argc; i += 2) {
        if (!strcmp(argv[i], "--until-eof")) {
            untilEof = true;
            i--;
            continue;
        }
        if (i + 1 >= argc)
            break;
        const char* value = argv[i + 1];
        if (!strcmp(argv[i], "--file"))
            path = value;
        else if (!strcmp(argv[i], "--count"))
            count = (unsigned)strtoul(value, nullptr, 10);
        else if (!strcmp(argv[i], "--lock") && lockCount < 32)
            locks[lockCount++] = value;
        else if (!strcmp(argv[i], "--load-dll") && loadCount < 32)
            loads[loadCount++] = value;
        else if (!strcmp(argv[i], "--map") && mapCount < 32)
            maps[mapCount++] = value;
        else if (!strcmp(argv[i], "--until"))
            until = value;
        else if (!strcmp(argv[i], "--seconds"))
            seconds = (unsigned)strtoul(value, nullptr, 10);
        else if (!strcmp(argv[i], "--access"))
            access = !strcmp(value, "all") ? GENERIC_ALL
                   : !strcmp(value, "plain") ? (FILE_READ_DATA | SYNCHRONIZE)
                                             : GENERIC_READ;
    }
    if ((!path && lockCount == 0) || count == 0) {
        fprintf(stderr, "usage: handle_hog [--file PATH] [--count N] [--access read|plain|all]"
                        " [--lock PATH]... [--load-dll NAME]... [--map PATH]... [--until PATH]"
                        " [--seconds N]\n");
        return 2;
    }
    for (int i = 0; i < lockCount; i++) {
        if (CreateFileA(locks[i], GENERIC_READ, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                        nullptr) == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "handle_hog: cannot lock %s: error %lu\n", locks[i], GetLastError());
            return 3;
        }
    }
    for (int i = 0; i < loadCount; i++) {
        if (!LoadLibraryA(loads[i])) {
            fprintf(stderr, "handle_hog: cannot load %s: error %lu\n", loads[i], GetLastError());
            return 3;
        }
    }
    for (int i = 0; i < mapCount; i++) {
        HANDLE file = CreateFileA(maps[i], GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        HANDLE section = file == INVALID_HANDLE_VALUE ? nullptr
                         : CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 65536, nullptr);
        void* view = section ? MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0) : nullptr;
        if (section)
            CloseHandle(section);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        if (!view) {
            fprintf(stderr, "handle_hog: cannot map %s: error %lu\n", maps[i], GetLastError());
            return 3;
        }
    }
    unsigned held = 0;
    if (path) {
        HANDLE file = CreateFileA(path, access,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "handle_hog: cannot open %s: error %lu\n", path, GetLastError());
            return 3;
        }
        HANDLE self = GetCurrentProcess();
        for (held = 1; held < count; held++) {
            HANDLE copy;
            if (!DuplicateHandle(self, file, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
                break;
        }
    }
    printf("pid %lu handles %u\n", GetCurrentProcessId(), held);
    fflush(stdout);
    if (untilEof) {
        char buffer[256];
        DWORD got = 0;
        HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        }
        return 0;
    }
    for (unsigned tenths = 0; tenths < seconds * 10; tenths++) {
        if (until && GetFileAttributesA(until) != INVALID_FILE_ATTRIBUTES)
            break;
        Sleep(100);
    }
    return 0;
}
