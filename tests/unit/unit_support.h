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
        std::string path = std::string(dir) + "qb_output_test.txt";
        file_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_FLAG_DELETE_ON_CLOSE, nullptr);
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
    }
    // Everything written so far; read from the start, which leaves the file
    // position at the end, where writing goes on.
    std::string Contents() const
    {
        std::string text(GetFileSize(file_, nullptr), 0);
        DWORD n = 0;
        OVERLAPPED start = {};
        ReadFile(file_, &text[0], (DWORD)text.size(), &n, &start);
        return text.substr(0, n);
    }

private:
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
