// Catches what ConsolePrintf writes during a scope in a temporary file.
#pragma once
#include <string>
#include <windows.h>
#include "console/output.h"

class OutputCapture {
public:
    explicit OutputCapture(const char* name)
    {
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        path_ = std::string(dir) + name;
        file_ = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
        SetStdHandle(STD_OUTPUT_HANDLE, file_);
        ResetConsoleOutputSettings();
    }
    ~OutputCapture()
    {
        SetStdHandle(STD_OUTPUT_HANDLE, saved_);
        ResetConsoleOutputSettings();
        CloseHandle(file_);
        DeleteFileA(path_.c_str());
    }
    std::string Text() const
    {
        std::string text;
        HANDLE h = CreateFileA(path_.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        char buffer[4096];
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
