// Test helper: sends the program's standard output to a temporary file for the
// lifetime of the object, so that what ConsolePrintf wrote can be read back.
#pragma once
#include <windows.h>
#include <string>
#include "console/output.h"

class RedirectedOutput {
public:
    explicit RedirectedOutput(const char* fileName = "qb_output_test.txt")
    {
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        path_ = std::string(dir) + fileName;
        file_ = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
        SetStdHandle(STD_OUTPUT_HANDLE, file_);
        ResetConsoleOutputSettings();
        lineOpen = 0;
    }
    ~RedirectedOutput()
    {
        SetStdHandle(STD_OUTPUT_HANDLE, saved_);
        ResetConsoleOutputSettings();
        CloseHandle(file_);
        DeleteFileA(path_.c_str());
    }
    RedirectedOutput(const RedirectedOutput&) = delete;
    RedirectedOutput& operator=(const RedirectedOutput&) = delete;

    std::string Contents() const
    {
        std::string text;
        HANDLE h = CreateFileA(path_.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        char buffer[8192];
        DWORD n = 0;
        while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n)
            text.append(buffer, n);
        CloseHandle(h);
        return text;
    }

private:
    std::string path_;
    HANDLE file_;
    HANDLE saved_;
};
