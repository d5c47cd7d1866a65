// Output at its edges: user text, long texts, line breaks, code pages,
// colours on other backgrounds, and the debug line.
#include <gtest/gtest.h>
#include <string>
#include "console/output.h"
#include "unit_support.h"

namespace {

// (The golden transcripts show the open line, fresh lines and CR LF.)
TEST(ConsolePrintf, UserTextIsNoFormatAndLongTextsAreCut)
{
    RedirectedOutput out;
    ConsolePrintf("%s", "%s%n%x");
    EXPECT_EQ(ConsolePrintf("%s", std::string(1500, 'x').c_str()), 1023);
    // 600 line feeds expand to 1200 bytes; at most 1024 are written.
    EXPECT_EQ(ConsolePrintf("%s", std::string(600, '\n').c_str()), 1024);
    std::string all = out.Contents();
    EXPECT_EQ("%s%n%x", all.substr(0, 6));
    EXPECT_EQ(all.size(), 6u + 1023u + 1024u);
}

TEST(ExpandLineBreaks, EdgeCases)
{
    char out[kPrintBufferLength];
    EXPECT_EQ(ExpandLineBreaks("\r\n\n", out, sizeof out), 4);
    EXPECT_STREQ(out, "\r\n\r\n");
    std::string full(1023, 'a');
    full[1022] = '\n';
    EXPECT_EQ(ExpandLineBreaks(full.c_str(), out, sizeof out), 1024);
    EXPECT_EQ(out[1022], '\r');
    EXPECT_EQ(out[1023], '\n');
}

TEST(ConvertCodePage, AnsiToOemUtf8AndUnmappable)
{
    char out[4 * kPrintBufferLength];
    // e-acute (0xE9 in 1252) is 0x82 in 850; the euro sign (0x80) has none there.
    const struct { const char* text; UINT to; std::string expected; } cases[] = {
        {"\xE9", 850, "\x82"}, {"\x80", 850, "?"}, {"\xE9", CP_UTF8, "\xC3\xA9"}};
    for (const auto& c : cases) {
        int length = ConvertCodePage(c.text, 1, 1252, c.to, out, sizeof out);
        EXPECT_EQ(c.expected, std::string(out, length)) << c.to;
    }
    // 1024 two-byte characters are converted whole: no sequence is cut.
    std::string many(1024, '\xE9');
    EXPECT_EQ(ConvertCodePage(many.c_str(), 1024, 1252, CP_UTF8, out, sizeof out), 2048);
}

TEST(SetConsoleColor, AttributeArithmetic)
{
    struct Case { WORD startup, color, expected; };
    const Case cases[] = {
        {0x07, 14, 0x0E}, {0x1F, 14, 0x1E}, {0xF0, 14, 0xF6}, {0xF0, 10, 0xF2},
        {0xF0, 15, 0xF7}, {0x07, 0, 0x07}, {0x1F, 0, 0x1F}, {0x4007, 12, 0x400C},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ColorAttributes(c.startup, c.color), c.expected)
            << std::hex << c.startup << " " << c.color;
    // With unknown start-up attributes nothing is written (no console calls).
    ConsoleContext context = {1, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, 0};
    SetConsoleColor(&context, 14);
    SetConsoleColor(nullptr, 14);
}

// A debug line keeps the caller's last error, shown or not. (The golden
// transcripts show the levels and the open line a debug line breaks.)
TEST(DebugLog, KeepsTheLastError)
{
    RedirectedOutput out;
    for (int threshold : {0, 4}) {
        SetLogThreshold(threshold);
        SetLastError(1234);
        DebugLog(4, "detail %u", 4u);
        EXPECT_EQ(GetLastError(), 1234u) << threshold;
    }
    SetLogThreshold(0);
}

}  // namespace
