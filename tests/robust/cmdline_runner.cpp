// Runs the real program with generated command lines (exact bytes through
// CreateProcessA) and checks that each run ends with a documented exit code
// in time. Usage: cmdline_runner SEED COUNT PROGRAM
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include "cmdline_gen.h"

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: cmdline_runner SEED COUNT PROGRAM\n");
        return 2;
    }
    CommandLineGenerator generator(strtoull(argv[1], nullptr, 10));
    int count = atoi(argv[2]);
    std::string program = std::string("\"") + argv[3] + "\"";

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    int failures = 0, histogram[6] = {0};
    for (int i = 0; i < count; i++) {
        // CreateProcessA takes at most 32,767 characters.
        std::string line = generator.CommandLine(program, 30000);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
        PROCESS_INFORMATION process = {};
        std::string mutableLine = line;
        if (!CreateProcessA(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, 0,
                            nullptr, nullptr, &startup, &process)) {
            printf("run %d: CreateProcess failed %lu\n", i, GetLastError());
            failures++;
            continue;
        }
        DWORD code = 0xFFFFFFFF;
        if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 99);
            printf("run %d: hung; command line length %zu\n", i, line.size());
            failures++;
        } else {
            GetExitCodeProcess(process.hProcess, &code);
            if (code == 0 || code == 1 || code == 2 || code == 3 || code == 5) {
                histogram[code]++;
            } else {
                printf("run %d: exit code 0x%lX; command line: %.300s\n", i, code,
                       line.c_str());
                failures++;
            }
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    printf("%d runs: exit 0:%d 1:%d 2:%d 3:%d 5:%d, %d failures\n", count,
           histogram[0], histogram[1], histogram[2], histogram[3], histogram[5],
           failures);
    return failures ? 1 : 0;
}
