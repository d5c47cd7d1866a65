// Command-line splitting, the option reader, path DriveSpecs and the small
// text utilities.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "app/command_line.h"
#include "app/drive_names.h"
#include "app/main_flow.h"
#include "console/output.h"
#include "app/options.h"
#include "base/memory.h"
#include "base/paths.h"
#include "base/text.h"

namespace {

std::vector<std::string> Split(const std::string& line, int* countOut = nullptr,
                               bool* nullAt31 = nullptr)
{
    int count = -1;
    char* arguments[kArgumentLimit + 1];
    for (auto& a : arguments) a = (char*)1;
    char* buffer = SplitCommandLine(line.c_str(), &count, arguments);
    std::vector<std::string> result;
    for (int i = 0; i < count; i++) result.push_back(arguments[i]);
    if (countOut) *countOut = count;
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
    };
    for (const Case& c : cases)
        EXPECT_EQ(Split(c.line), c.expected) << "line: " << c.line;

    int count = -1;
    EXPECT_TRUE(Split("", &count).empty());
    EXPECT_EQ(count, 0);
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

TEST(SplitCommandLine, StopsAtThirtyOneArguments)
{
    std::string line;
    for (int i = 0; i < 40; i++) line += "w" + std::to_string(i) + " ";
    int count = 0;
    bool nullAt31 = false;
    auto args = Split(line, &count, &nullAt31);
    EXPECT_EQ(count, 31);
    EXPECT_EQ(args[30], "w30");
    EXPECT_TRUE(nullAt31);

    // Exactly 31 words: no 32nd slot is touched, the last word is whole.
    line.clear();
    for (int i = 0; i < 31; i++) line += "w" + std::to_string(i) + " ";
    args = Split(line, &count);
    EXPECT_EQ(count, 31);
    EXPECT_EQ(args[30], "w30");
}

TEST(SplitCommandLine, HugeCommandLineStaysInsideItsBuffer)
{
    // One 100,000-character word and many quoted blanks: the result is the
    // input minus quotes, never longer than the buffer that was allocated.
    std::string word(100000, 'x');
    auto args = Split("prog " + word);
    ASSERT_EQ(args.size(), 2u);
    EXPECT_EQ(args[1].size(), 100000u);
    std::string quoted = "prog \"" + std::string(5000, ' ') + "\"";
    args = Split(quoted);
    ASSERT_EQ(args.size(), 2u);
    EXPECT_EQ(args[1].size(), 5000u);
}

struct OptionState {
    DWORD force, loop, handles, activate, noAbout, selfDelete, debug, handlesV;
    int wait, threshold;
};

OptionState ReadAll(std::vector<const char*> arguments, int* lastResult = nullptr)
{
    Options o;
    ClearOptions(&o);
    int result = 0;
    for (const char* a : arguments) result = ReadOption(a, &o);
    if (lastResult) *lastResult = result;
    return OptionState{o.optForce, o.optLoop, o.optShowHandles, o.optActivateWindows,
                       o.optNoAbout, o.optSelfDelete, o.optDebug, o.optHandlesV,
                       o.waitMs, LogThresholdOf(&o)};
}

TEST(ReadOption, EveryRowOfTheOptionTable)
{
    EXPECT_EQ(ReadAll({"/F"}).force, 1u);
    EXPECT_EQ(ReadAll({"-force"}).force, 1u);
    EXPECT_EQ(ReadAll({"-l"}).loop, 1u);
    EXPECT_EQ(ReadAll({"-a"}).activate, 1u);
    EXPECT_EQ(ReadAll({"-s"}).selfDelete, 1u);
    EXPECT_EQ(ReadAll({"-na", "-nA"}).noAbout, 1u);

    OptionState db = ReadAll({"-db"});
    EXPECT_EQ(db.debug, 1u);
    EXPECT_EQ(db.threshold, 4);
    EXPECT_EQ(ReadAll({"-de"}).debug, 1u);
    EXPECT_EQ(ReadAll({"-dx"}).debug, 0u);
    EXPECT_EQ(ReadAll({"-d"}).debug, 0u);

    OptionState h = ReadAll({"-h"});
    EXPECT_EQ(h.handles, 1u);
    EXPECT_EQ(h.handlesV, 0u);
    EXPECT_EQ(ReadAll({"-hv"}).handlesV, 1u);
    EXPECT_EQ(ReadAll({"-hxv"}).handlesV, 1u);
    EXPECT_EQ(ReadAll({"-hxxv"}).handlesV, 0u);
    EXPECT_EQ(ReadAll({"-hxxv"}).handles, 1u);

    EXPECT_EQ(ReadAll({"-w:1500"}).wait, 1500);
    EXPECT_EQ(ReadAll({"-n:2000"}).wait, 2000);
    EXPECT_EQ(ReadAll({"-w:-5"}).wait, 0);
    EXPECT_EQ(ReadAll({"-w5"}).wait, -1);
    EXPECT_EQ(ReadAll({"-w:100", "-w:7"}).wait, 7);   // later one wins
    EXPECT_EQ(ReadAll({"-w:abc"}).wait, 0);

    int result = -1;
    ReadAll({"-?"}, &result);
    EXPECT_EQ(result, OptionHelp);
    ReadAll({"/?"}, &result);
    EXPECT_EQ(result, OptionHelp);
    ReadAll({"x"}, &result);
    EXPECT_EQ(result, OptionNotAnOption);
    ReadAll({""}, &result);
    EXPECT_EQ(result, OptionNotAnOption);
    ReadAll({"-zzz"}, &result);
    EXPECT_EQ(result, OptionRead);
}

TEST(ReadOption, LongAndHostileArguments)
{
    std::string longOption = "-w:" + std::string(5000, '9');
    OptionState s = ReadAll({longOption.c_str()});
    EXPECT_GE(s.wait, 0);   // whatever StrToIntA makes of it, never negative
    std::string formats = "-h%s%n%s%n" + std::string(400, 'v');
    EXPECT_EQ(ReadAll({formats.c_str()}).handles, 1u);
}

TEST(TextUtil, PathAndTextHelpers)
{
    char text[8] = "ab\\";
    EXPECT_EQ(StripTrailingChar(text, '\\'), 3);
    EXPECT_STREQ(text, "ab");
    EXPECT_EQ(StripTrailingChar(text, '\\'), 2);
    EXPECT_STREQ(text, "ab");
    EXPECT_EQ(AppendCharIfMissing(text, '\\'), 2);
    EXPECT_STREQ(text, "ab\\");
    AppendCharIfMissing(text, '\\');
    EXPECT_STREQ(text, "ab\\");

    const char* t = "Volume{x}";
    EXPECT_EQ(StartsWithNoCase(t, "VOLUME"), t);
    EXPECT_EQ(StartsWithNoCase(t, "olume"), nullptr);
    EXPECT_EQ(StartsWithNoCase(t, ""), nullptr);
    EXPECT_EQ(StartsWithNoCase("ab", "abc"), nullptr);

    EXPECT_FALSE(IsValidHandle(nullptr));
    EXPECT_FALSE(IsValidHandle(INVALID_HANDLE_VALUE));

    char small[4];
    EXPECT_EQ(CopyText(small, "abcdef", sizeof small), 3);
    EXPECT_STREQ(small, "abc");


    char* dup = DupString("hello");
    EXPECT_STREQ(dup, "hello");
    MemFree(dup);
    unsigned char* zeroed = (unsigned char*)MemAlloc(4096);
    for (int i = 0; i < 4096; i++) ASSERT_EQ(zeroed[i], 0);
    MemFree(zeroed);
    EXPECT_TRUE(MemFree(nullptr));
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
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Q:", "\\Device\\VeraCryptVolumeR"));
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "P:", "\\Device\\HarddiskVolume7"));
    PathQueries saved = pathQueries;
    pathQueries = {FakeAttributes, FakeVolumeName};
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    const DWORD file = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT;
    struct Case {
        const char* what;
        DWORD attributes;
        const char* volumeName;
        int result;
        char letter;
        const char* message;
    } cases[] = {
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
    DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                     "Q:", "\\Device\\VeraCryptVolumeR");
    DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                     "P:", "\\Device\\HarddiskVolume7");
}

}  // namespace
