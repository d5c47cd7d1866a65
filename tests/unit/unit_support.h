// Test helpers for the lifetime of an object: the program's standard output in
// a temporary file, so that what ConsolePrintf wrote can be read back; a DOS
// device name that leads to a device (a volume's, or any other).
#pragma once
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include "console/output.h"

class RedirectedOutput {
public:
    RedirectedOutput()
    {
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        path_ = std::string(dir) + "qb_output_test.txt";
        file_ = CreateFileA(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
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
    std::string Contents() const
    {
        std::string text(1 << 16, 0);
        HANDLE h = CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD n = 0;
        ReadFile(h, &text[0], (DWORD)text.size(), &n, nullptr);
        CloseHandle(h);
        return text.substr(0, n);
    }

private:
    std::string path_;
    HANDLE file_, saved_;
};

struct DosLink {
    const char *name, *target;
    DosLink(const char* linkName, const char* device) : name(linkName), target(device)
    {
        EXPECT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, name, target)) << name;
    }
    ~DosLink()
    {
        DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                         name, target);
    }
};
