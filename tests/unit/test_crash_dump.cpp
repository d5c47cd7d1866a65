// Where the crash filter puts its dump.
#include <gtest/gtest.h>
#include <string>
#include "diag/crash_dump.h"

namespace {

TEST(ComposeDumpPaths, BesideTheProgramElseTheTemporaryDirectory)
{
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    const std::string tempDump = std::string(temp) + "Plomvane.dmp";
    const std::string longName = "C:\\" + std::string(254, 'q');   // 257 chars, no extension

    struct Case { std::string program, first; };
    const Case cases[] = {
        {"C:\\Tools\\Quenbrax.exe", "C:\\Tools\\Quenbrax.dmp"},
        {"C:\\Tools\\Quenbrax", "C:\\Tools\\Quenbrax.dmp"},
        {"\\\\server\\share\\Quenbrax.exe", "\\\\server\\share\\Quenbrax.dmp"},
        // Program path not known yet: not a bare ".dmp" in the current folder.
        {"", tempDump},
        // ".dmp" does not fit into MAX_PATH.
        {longName, tempDump},
    };
    for (const Case& c : cases) {
        char first[MAX_PATH], second[MAX_PATH];
        ComposeDumpPaths(c.program.c_str(), first, second);
        SCOPED_TRACE(c.program);
        EXPECT_EQ(std::string(first), c.first);
        EXPECT_EQ(std::string(second), tempDump);
    }
}

}  // namespace
