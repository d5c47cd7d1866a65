// Where the crash filter puts its dump.
#include <gtest/gtest.h>
#include <string>
#include "base/system.h"
#include "diag/crash_dump.h"

namespace {

TEST(ComposeDumpPaths, BesideTheProgramElseTheTemporaryDirectory)
{
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    const std::string tempDump = std::string(temp) + "Plomvane.dmp";
    const std::string longName = "C:\\" + std::string(254, 'q');   // 257 chars, no extension

    // The program's module path as the system gives it, in UTF-16.
    struct Case { std::wstring program; std::string first; };
    const Case cases[] = {
        {L"C:\\Tools\\Quenbrax.exe", "C:\\Tools\\Quenbrax.dmp"},
        {L"C:\\Tools\\Quenbrax", "C:\\Tools\\Quenbrax.dmp"},
        {L"\\\\server\\share\\Quenbrax.exe", "\\\\server\\share\\Quenbrax.dmp"},
        {L"C:\\J\u00FCrgen\\Quenbrax.exe", "C:\\J\xFCrgen\\Quenbrax.dmp"},
        // No exact counterpart in code page 1252: the look-alike C:\Users\Lukasz
        // would be another user's folder, so the path counts as unknown.
        {L"C:\\Users\\\u0141ukasz\\Quenbrax.exe", tempDump},
        // Program path not known yet: not a bare ".dmp" in the current folder.
        {L"", tempDump},
        // ".dmp" does not fit into MAX_PATH.
        {std::wstring(longName.begin(), longName.end()), tempDump},
    };
    for (const Case& c : cases) {
        char program[MAX_PATH], first[MAX_PATH], second[MAX_PATH];
        ProgramPathInCodePage(c.program.c_str(), (DWORD)c.program.size(), 1252, program);
        ComposeDumpPaths(program, first, second);
        SCOPED_TRACE(c.first);
        EXPECT_EQ(std::string(first), c.first);
        EXPECT_EQ(std::string(second), tempDump);
    }
}

}  // namespace
