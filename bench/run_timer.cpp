// Times whole program runs from inside Wine: starts the command line N times
// (standard streams to NUL), waits for each, prints the median and the quartiles
// in milliseconds. Usage: run_timer N COMMANDLINE
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <algorithm>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: run_timer N COMMANDLINE...\n");
        return 2;
    }
    int runs = atoi(argv[1]);
    std::string command;
    for (int i = 2; i < argc; i++) {
        if (i > 2) command += ' ';
        command += argv[i];
    }
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> times;
    DWORD lastCode = 0;
    for (int i = 0; i < runs; i++) {
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
        PROCESS_INFORMATION process = {};
        std::string line = command;
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                            nullptr, &startup, &process)) {
            fprintf(stderr, "cannot start %s: %lu\n", command.c_str(), GetLastError());
            return 1;
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        QueryPerformanceCounter(&end);
        GetExitCodeProcess(process.hProcess, &lastCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        times.push_back((end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart);
    }
    std::sort(times.begin(), times.end());
    printf("median %.1f ms  q1 %.1f  q3 %.1f  runs %d  exit %lu\n", times[times.size() / 2],
           times[times.size() / 4], times[times.size() * 3 / 4], runs, lastCode);
    return 0;
}
