// run_then_read LIMIT_MS PROGRAM [ARGS...]: runs PROGRAM with its standard
// output on a pipe, waits for it to end before reading anything (as many .NET
// and PowerShell callers do), then copies what it wrote to standard output and
// ends with its exit code. Exit code 124 when it still runs after LIMIT_MS
// (it is ended then), 2 on a bad command line or a failed start.
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: run_then_read LIMIT_MS PROGRAM [ARGS...]\n");
        return 2;
    }
    // From the UTF-16 command line, so that no letter becomes '?' on the way.
    int wideCount = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    std::wstring commandLine;
    for (int i = 2; i < wideCount; i++)
        commandLine += (i > 2 ? L" \"" : L"\"") + std::wstring(wide[i]) + L"\"";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE readEnd, writeEnd;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return 2;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {sizeof startup};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = startup.hStdError = writeEnd;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(NULL, &commandLine[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup,
                        &process))
        return 2;
    CloseHandle(writeEnd);
    if (WaitForSingleObject(process.hProcess, (DWORD)atoi(argv[1])) != WAIT_OBJECT_0) {
        fprintf(stderr, "run_then_read: still running after %s ms\n", argv[1]);
        TerminateProcess(process.hProcess, 124);
        return 124;
    }
    char buffer[4096];
    DWORD read;
    while (ReadFile(readEnd, buffer, sizeof buffer, &read, NULL) && read > 0)
        fwrite(buffer, 1, read, stdout);
    DWORD exitCode = 2;
    GetExitCodeProcess(process.hProcess, &exitCode);
    return (int)exitCode;
}
