// Self-deletion building blocks at their edges: splitting the program path,
// the batch text's bound and its conversion to the code page cmd reads it in
// (tests/system/test_self_delete.sh runs the batches), what starting it asks
// of Windows; and where the crash filter puts its dump.
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include "base/system.h"
#include "diag/crash_dump.h"
#include "diag/self_delete.h"

namespace {

TEST(SplitPath, DriveUncNoExtensionAndEmpty)
{
    struct Case { const char* path; const char* drive; const char* directory;
                  const char* baseName; const char* extension; };
    const Case cases[] = {
        {"C:\\Quenbrax.exe", "C:", "\\", "Quenbrax", ".exe"},
        {"C:Quenbrax.exe", "C:", "", "Quenbrax", ".exe"},
        {"\\\\server\\share\\dir\\Quenbrax.exe", "", "\\\\server\\share\\dir\\",
         "Quenbrax", ".exe"},
        {"C:\\Tools\\Quenbrax", "C:", "\\Tools\\", "Quenbrax", ""},
        {"C:\\v1.2\\Quenbrax", "C:", "\\v1.2\\", "Quenbrax", ""},
        {"C:\\Tools\\Quen.brax.exe", "C:", "\\Tools\\", "Quen.brax", ".exe"},
        {"Quenbrax.exe", "", "", "Quenbrax", ".exe"},
        {"", "", "", "", ""},
    };
    for (const Case& c : cases) {
        // Left-overs from an earlier use must not survive.
        char drive[MAX_PATH] = "x:", directory[MAX_PATH] = "\\x\\", baseName[MAX_PATH] = "x",
             extension[MAX_PATH] = ".x";
        SplitPath(c.path, drive, directory, baseName, extension);
        SCOPED_TRACE(c.path);
        EXPECT_STREQ(drive, c.drive);
        EXPECT_STREQ(directory, c.directory);
        EXPECT_STREQ(baseName, c.baseName);
        EXPECT_STREQ(extension, c.extension);
    }
}

TEST(SelfDeleteBatch, LongestPathsFitAndSmallBuffersStayBounded)
{
    // Worst case: paths of 259 characters, all of them "%".
    std::string program(259, '%'), batch(259, '%');
    char text[kSelfDeleteBatchLength];
    int full = ComposeSelfDeleteBatch(program.c_str(), batch.c_str(), text, sizeof text);
    ASSERT_GT(full, 3 * 2 * 259);

    // One byte short of the text and its terminator: nothing, and no byte
    // written past the given size.
    std::string small(full + 8, '#');
    EXPECT_EQ(ComposeSelfDeleteBatch(program.c_str(), batch.c_str(), &small[0], full), 0);
    EXPECT_EQ(small.substr(full), std::string(8, '#'));
    EXPECT_EQ(ComposeSelfDeleteBatch(program.c_str(), batch.c_str(), &small[0], full + 1),
              full);
}

// What Windows is asked to start (Wine shows no window for cmd either way):
// cmd from the system folder, without a window, at idle priority, in the
// program's folder, on the batch named with "_" for "%"; the read-only
// program made deletable first, and the batch removed when the start fails.
STARTUPINFOA started;
DWORD startedFlags;
std::string startedCommandLine, startedDirectory;
BOOL WINAPI FakeStart(LPCSTR, LPSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                      BOOL, DWORD flags, LPVOID, LPCSTR directory, LPSTARTUPINFOA startup,
                      LPPROCESS_INFORMATION)
{
    started = *startup, startedFlags = flags;
    startedCommandLine = commandLine, startedDirectory = directory;
    return SetLastError(ERROR_ACCESS_DENIED), FALSE;
}

TEST(SelfDeletion, StartsAHiddenIdleCmdBesideTheProgram)
{
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    std::string program = std::string(folder) + "qb 100%.exe";
    CloseHandle(CreateFileA(program.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_READONLY, NULL));
    lstrcpynA(exePath, program.c_str(), MAX_PATH);
    startBatchProcess = FakeStart;
    StartSelfDeletion();
    startBatchProcess = CreateProcessA;
    exePath[0] = 0;
    EXPECT_EQ((DWORD)(IDLE_PRIORITY_CLASS | CREATE_NO_WINDOW), startedFlags);
    EXPECT_EQ((DWORD)STARTF_USESHOWWINDOW, started.dwFlags);
    EXPECT_EQ(SW_HIDE, started.wShowWindow);
    EXPECT_EQ(folder, startedDirectory);
    EXPECT_NE(std::string::npos,
              startedCommandLine.find("\\cmd.exe\" /d /v:off /s /c \"\".\\del_qb 100_.bat\"\""))
        << startedCommandLine;
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((folder + std::string("del_qb 100_.bat")).c_str()));
    EXPECT_EQ(0u, GetFileAttributesA(program.c_str()) & FILE_ATTRIBUTE_READONLY);
    DeleteFileA(program.c_str());
}

TEST(SelfDeleteBatch, ConversionToTheOemCodePageIsExactOrNothing)
{
    struct Case { const char* text; UINT from, to; const char* expected; };
    const Case cases[] = {
        {"C:\\J\xFCrgen\\Q.exe", 1252, 850, "C:\\J\x81rgen\\Q.exe"},   // u umlaut
        {"C:\\J\xFCrgen\\Q.exe", 1252, 1252, "C:\\J\xFCrgen\\Q.exe"},
        {"C:\\J\xFCrgen\\Q.exe", 1252, CP_UTF8, "C:\\J\xC3\xBCrgen\\Q.exe"},
        // No counterpart: the euro sign has none in 437, and 1250's l with
        // stroke would best-fit to a plain l, which names another file.
        {"C:\\\x80\\Q.exe", 1252, 437, ""},
        {"C:\\\xB3\\Q.exe", 1250, 437, ""},
    };
    for (const Case& c : cases) {
        char out[64];
        int length = ConvertBatchText(c.text, (int)strlen(c.text), c.from, c.to, out,
                                      sizeof out);
        SCOPED_TRACE(c.text);
        EXPECT_EQ(std::string(out, length), c.expected);
    }
    char tiny[4];
    EXPECT_EQ(ConvertBatchText("C:\\Tools", 8, 1252, 437, tiny, sizeof tiny), 0);
    EXPECT_EQ(ConvertBatchText("C:\\Tools", 8, 437, 437, tiny, sizeof tiny), 0);
}

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
