// Command-line splitting, the option reader's edges, the end of a run without
// memory, and path DriveSpecs as Windows answers for them.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "app/command_line.h"
#include "app/drive_names.h"
#include "app/main_flow.h"
#include "console/output.h"
#include "app/options.h"
#include "base/imports.h"
#include "base/memory.h"
#include "base/paths.h"
#include "base/text.h"
#include "unit_support.h"

namespace {

std::vector<std::string> Split(const std::string& line, bool* nullAt31 = nullptr)
{
    int count = -1;
    char* arguments[kArgumentLimit + 1];
    for (auto& a : arguments) a = (char*)1;
    char* buffer = SplitCommandLine(line.c_str(), &count, arguments);
    std::vector<std::string> result;
    for (int i = 0; i < count; i++) result.push_back(arguments[i]);
    if (nullAt31) *nullAt31 = arguments[31] == nullptr;
    MemFree(buffer);
    return result;
}

TEST(SplitCommandLine, QuotesBlanksAndEmptyInput)
{
    struct Case { const char* line; std::vector<std::string> expected; };
    const Case cases[] = {
        {"prog  U:   -f", {"prog", "U:", "-f"}},
        {"prog \"C:\\Program Files\\a.hc\" -l", {"prog", "C:\\Program Files\\a.hc", "-l"}},
        {"a\"b c\"d", {"ab cd"}},
        {"prog \"\" x", {"prog", "", "x"}},
        {"prog U: ", {"prog", "U:"}},
        {" prog", {"", "prog"}},
        {"prog\tU:\r\n-f", {"prog", "U:", "-f"}},
        {"prog a\vb", {"prog", "a\vb"}},            // vertical tab is no blank
        {"prog \\\"x y\\\"", {"prog", "\\x y\\"}},   // backslash does not escape
        {"prog \"unterminated arg", {"prog", "unterminated arg"}},
        {"prog \"", {"prog", ""}},
        {"", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Split(c.line), c.expected) << "line: " << c.line;
}

TEST(SplitCommandLine, LookAlikesSplitAsTheWideText)
{
    // Full-width quotation mark and reverse solidus, L with stroke: best fit
    // would turn them into '"', '\\' and 'L' and change how the line splits.
    const wchar_t line[] = L"prog \xFF02U: -f\xFF02 \xFF3C\x0141x";
    struct Case { UINT codePage; std::vector<std::string> expected; };
    const Case cases[] = {
        {1252, {"prog", "?U:", "-f?", "??x"}},
        {CP_UTF8, {"prog", "\xEF\xBC\x82U:", "-f\xEF\xBC\x82", "\xEF\xBC\xBC\xC5\x81x"}},
    };
    for (const Case& c : cases) {
        char* converted = WideToAnsiReplacing(line, c.codePage);
        EXPECT_EQ(Split(converted), c.expected) << c.codePage;
        MemFree(converted);
    }
}

// 40 words stop at the 31st, which is whole, with a null after it; so do 31.
TEST(SplitCommandLine, StopsAtThirtyOneArguments)
{
    for (int words : {40, 31}) {
        std::string line;
        for (int i = 0; i < words; i++) line += "w" + std::to_string(i) + " ";
        bool nullAt31 = false;
        auto args = Split(line, &nullAt31);
        ASSERT_EQ(args.size(), 31u) << words;
        EXPECT_EQ(args[30], "w30") << words;
        EXPECT_TRUE(nullAt31) << words;
    }
}

// The option table's edges; the real program reads its options (help and
// arguments that are no option too) in the golden rows, -s in the
// self-deletion test and -a on the desktop.
TEST(ReadOption, EdgesOfTheOptionTable)
{
    // flags: f force, h handles, v visible windows only, d debug (threshold 4),
    // x close File Explorer windows
    const struct { std::vector<const char*> arguments; int result; const char* flags; int wait; }
        cases[] = {
            {{"/F"}, OptionRead, "f", -1},         {{"-force"}, OptionRead, "f", -1},
            {{"-hxv"}, OptionRead, "hv", -1},      {{"-hxxv"}, OptionRead, "h", -1},
            {{"-de"}, OptionRead, "d", -1},        {{"-dx"}, OptionRead, "", -1},
            {{"-d"}, OptionRead, "", -1},          {{"-n:2000"}, OptionRead, "", 2000},
            {{"-w:-5"}, OptionRead, "", 0},        {{"-w5"}, OptionRead, "", -1},
            {{"-w:abc"}, OptionRead, "", 0},       {{"-w:100", "-w:7"}, OptionRead, "", 7},
            {{"-zzz"}, OptionRead, "", -1},        {{""}, OptionNotAnOption, "", -1},
            {{"/Xa"}, OptionRead, "x", -1},
        };
    for (const auto& c : cases) {
        Options o;
        ClearOptions(&o);
        int result = 0;
        for (const char* a : c.arguments) result = ReadOption(a, &o);
        std::string flags = std::string(o.optForce ? "f" : "") + (o.optShowHandles ? "h" : "") +
                            (o.optHandlesV ? "v" : "") + (o.optDebug ? "d" : "") +
                            (o.optCloseExplorer ? "x" : "");
        EXPECT_EQ(c.result, result) << c.arguments.back();
        EXPECT_EQ(c.flags, flags) << c.arguments.back();
        EXPECT_EQ(c.wait, o.waitMs) << c.arguments.back();
        EXPECT_EQ(o.optDebug ? 4 : 0, LogThresholdOf(&o)) << c.arguments.back();
    }
    // Whatever StrToIntA makes of a number too long, the wait is never negative.
    Options o;
    ClearOptions(&o);
    std::string longOption = "-w:" + std::string(5000, '9');
    ReadOption(longOption.c_str(), &o);
    EXPECT_GE(o.waitMs, 0);
}

// The path helpers add or drop only a missing or present separator (Wine,
// unlike Windows, finds a DOS device named with a trailing one); a prefix
// counts only at the start.
TEST(TextUtil, HelpersAtTheirEdges)
{
    char text[8] = "ab\\";
    AppendCharIfMissing(text, '\\');
    EXPECT_STREQ("ab\\", text);
    StripTrailingChar(text, '\\');
    EXPECT_STREQ("ab", text);
    EXPECT_EQ(nullptr, StartsWithNoCase("Volume{x}", "olume"));
    char empty[2] = {0, '#'};
    AppendCharIfMissing(empty, '\\');
    EXPECT_STREQ("", empty);
    // A copy keeps the last byte for its terminator.
    char copy[4] = "###";
    EXPECT_EQ(3, CopyText(copy, "abcdef", 4));
    EXPECT_STREQ("abc", copy);
    // A system path fits with its terminator in MAX_PATH, or is refused whole.
    char system[MAX_PATH];
    UINT length = GetSystemDirectoryA(system, MAX_PATH);
    for (int fits = 0; fits <= 1; fits++) {
        std::string suffix(MAX_PATH - length - (fits ? 1 : 0), 'x');
        char path[MAX_PATH] = "untouched";
        EXPECT_EQ(fits, MakeSystemPath(suffix.c_str(), path)) << fits;
        EXPECT_EQ(fits ? std::string(system) + suffix : "untouched", path);
    }
    // A library is loaded from the system folder only: plant.dll lies beside
    // this program (tests/robust), in no system folder. (Under Wine a planted
    // copy of a system DLL's name loses to the built-in one anyway.)
    EXPECT_EQ(nullptr, LoadSystemLibrary("plant.dll"));
    EXPECT_NE(nullptr, LoadSystemLibrary("version.dll"));
}

// A heap that cannot give a block is asked again a bounded number of times;
// then the program's handler ends the run with one line and exit code 3.
TEST(MemAllocDeathTest, EndsTheRunWhenTheHeapStaysEmpty)
{
    EXPECT_EXIT(
        {
            SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
            ResetConsoleOutputSettings();
            allocFailureHandler = EndOutOfMemory;
            MemAllocRetrying(1ull << 62, 2, 1);
        },
        testing::ExitedWithCode(3), "^error: out of memory\\s*$");
}

// What the system says of a path DriveSpec, as Windows can say it and Wine
// cannot: reparse points, and mount folders with a volume behind them.
DWORD fakeAttributes;
const char* fakeVolumeName;   // null: the mount-point query fails
std::string askedMountPoint;

DWORD WINAPI FakeAttributes(LPCSTR) { return fakeAttributes; }

BOOL WINAPI FakeVolumeName(LPCSTR mountPoint, LPSTR name, DWORD length)
{
    askedMountPoint = mountPoint;
    if (!fakeVolumeName)
        return SetLastError(ERROR_NOT_A_REPARSE_POINT), FALSE;
    lstrcpynA(name, fakeVolumeName, (int)length);
    return TRUE;
}

TEST(ResolveDriveSpec, OnlyAFolderIsAMountFolder)
{
    // Q: stands for a volume name's DOS device (Wine's DefineDosDevice takes
    // only short names); P: for a disk that is no crypt volume.
    DosLink q("Q:", "\\Device\\VeraCryptVolumeR"), p("P:", "\\Device\\HarddiskVolume7");
    PathQueries saved = pathQueries;
    pathQueries = {FakeAttributes, FakeVolumeName};
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    const DWORD file = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT;
    struct Case { const char* what; DWORD attributes; const char* volumeName; int result;
                  char letter; const char* message; } cases[] = {
        {"mount folder of a crypt volume", folder, "\\\\?\\Q:\\", ResolvedLetter, 'R', ""},
        {"mount folder of a disk", folder, "\\\\?\\P:\\", ResolvedMessage, 0,
         "not a Crypt Volume\n"},
        {"mount folder, no volume", folder, nullptr, ResolvedMessage, 0, "not a Volume\n"},
        {"volume without DOS device", folder, "\\\\?\\O:\\", ResolvedMessage, 0,
         "not a Volume\n"},
        {"container that is a reparse point", file, "\\\\?\\Q:\\", ResolvedContainer, 0, ""},
        {"folder, no reparse point", FILE_ATTRIBUTE_DIRECTORY, "\\\\?\\Q:\\",
         ResolvedContainer, 0, ""},
        {"missing path", INVALID_FILE_ATTRIBUTES, "\\\\?\\Q:\\", ResolvedContainer, 0, ""},
    };
    for (const Case& c : cases) {
        fakeAttributes = c.attributes;
        fakeVolumeName = c.volumeName;
        askedMountPoint.clear();
        DriveSpecTarget target = {};
        EXPECT_EQ(c.result, ResolveDriveSpec(&target, "C:\\mnt\\vault")) << c.what;
        EXPECT_EQ(c.letter, target.letter) << c.what;
        EXPECT_STREQ(c.message, target.message) << c.what;
        bool container = c.result == ResolvedContainer;
        EXPECT_STREQ(container ? "C:\\mnt\\vault" : "", target.containerText) << c.what;
        EXPECT_EQ(container ? "" : "C:\\mnt\\vault\\", askedMountPoint) << c.what;
    }
    pathQueries = saved;
}

}  // namespace
