// Generated command lines: 10,000 through the splitter and the option reader
// (no crash, no write outside the buffers, every argument terminated inside
// the splitter's own block), and 200 through the real program.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>
#include "app/command_line.h"
#include "app/options.h"
#include "base/memory.h"

namespace {

// Reproducible generator of hostile command lines: long words, quotes, blanks,
// non-ASCII bytes, format directives and many arguments.
struct CommandLineGenerator {
    unsigned long long state;
    explicit CommandLineGenerator(unsigned long long seed) : state(seed * 2654435761ULL + 1) {}
    unsigned Next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return (unsigned)(state >> 11);
    }
    unsigned Below(unsigned n) { return Next() % n; }

    std::string Word()
    {
        static const char* const pieces[] = {
            "U:", "u", "-f", "/F", "-l", "-h", "-hv", "-hxxv", "-a", "-na", "-s", "-db",
            "-w:", "-n:2000", "-w:-5", "-?", "/?", "%s", "%n", "%x%x%x", "%1000s", "\"",
            "\"\"", " ", "\t", "Volume{", "\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\",
            "C:\\vols\\private.hc", "\\Device\\Harddisk1\\Partition2", "\xE9\xFC\xDF", "\x80\x81\xFF",
            "1:", "Z:\\", "..", "\\\\server\\share\\x.tc", "}",
        };
        std::string word;
        switch (Below(6)) {
        case 0:   // a long run of one character
            word.assign(Below(6000) + 1, (char)("xX%\"\\:/-v "[Below(10)]));
            break;
        case 1: { // random bytes, no NUL
            unsigned n = Below(300) + 1;
            for (unsigned i = 0; i < n; i++) word += (char)(Below(255) + 1);
            break;
        }
        default: {
            unsigned n = Below(4) + 1;
            for (unsigned i = 0; i < n; i++)
                word += pieces[Below(sizeof pieces / sizeof pieces[0])];
        }
        }
        return word;
    }

    // The whole command line, program name first. Mostly short, sometimes
    // 40+ arguments or a 100,000-character line.
    std::string CommandLine(const std::string& program, unsigned maxLength)
    {
        std::string line = program;
        unsigned words = Below(4) == 0 ? 30 + Below(20) : Below(10);
        for (unsigned i = 0; i < words && line.size() < maxLength; i++) {
            line += Below(8) == 0 ? "  " : " ";
            line += Word();
        }
        if (line.size() > maxLength)
            line.resize(maxLength);
        return line;
    }
};

const unsigned char kGuard = 0xA5;

struct GuardedArguments {
    unsigned char before[64];
    char* slots[kArgumentLimit + 1];
    unsigned char after[64];
};

bool GuardIntact(const unsigned char* guard, size_t size)
{
    for (size_t i = 0; i < size; i++)
        if (guard[i] != kGuard) return false;
    return true;
}

TEST(CommandLineFuzz, SplitterAndOptionReaderStayInBounds)
{
    CommandLineGenerator generator(20261206);
    for (int round = 0; round < 10000; round++) {
        std::string line = generator.CommandLine("Quenbrax.exe",
                                                 round % 500 == 0 ? 100000 : 8000);
        SCOPED_TRACE("round " + std::to_string(round));

        GuardedArguments args;
        memset(&args, kGuard, sizeof args);
        int count = -1;
        char* buffer = SplitCommandLine(line.c_str(), &count, args.slots);
        ASSERT_TRUE(GuardIntact(args.before, sizeof args.before));
        ASSERT_TRUE(GuardIntact(args.after, sizeof args.after));
        ASSERT_GE(count, 1);
        ASSERT_LE(count, kArgumentLimit);
        if (count == kArgumentLimit)
            ASSERT_TRUE(args.slots[31] == nullptr ||
                        args.slots[31] == (char*)0xA5A5A5A5A5A5A5A5ULL);

        // Every argument starts and ends inside the block of length + 1 bytes.
        const char* blockEnd = buffer + line.size() + 1;
        for (int i = 0; i < count; i++) {
            const char* arg = args.slots[i];
            ASSERT_GE(arg, buffer);
            ASSERT_LT(arg, blockEnd);
            const char* end = (const char*)memchr(arg, 0, blockEnd - arg);
            ASSERT_NE(end, nullptr) << "argument " << i << " not terminated";
        }

        // The option reader on every argument after the DriveSpec.
        for (int i = 2; i < count; i++) {
            Options options;
            ClearOptions(&options);
            int result = ReadOption(args.slots[i], &options);
            ASSERT_TRUE(result == OptionRead || result == OptionHelp ||
                        result == OptionNotAnOption);
            ASSERT_GE(options.waitMs, -1);
        }
        MemFree(buffer);
    }
    ASSERT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
}

// Exact bytes through CreateProcessA (no crypt driver in this prefix, so
// nothing is ejected): each run ends in time with a documented exit code.
TEST(CommandLineFuzz, TheProgramEndsWithADocumentedCode)
{
    const char* build = getenv("QB_BUILD");
    ASSERT_TRUE(build);
    std::string program = std::string("\"Z:") + build + "/bin/Quenbrax.exe\"";
    for (char& c : program)
        c = c == '/' ? '\\' : c;
    CommandLineGenerator generator(20261206);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_EXISTING, 0, nullptr);
    for (int run = 0; run < 200; run++) {
        // CreateProcessA takes at most 32,767 characters.
        std::string line = generator.CommandLine(program, 30000), copy = line;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(CreateProcessA(nullptr, &copy[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                   &startup, &process));
        DWORD code = 99;
        if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0)
            TerminateProcess(process.hProcess, 99);
        GetExitCodeProcess(process.hProcess, &code);
        EXPECT_TRUE(code <= 3 || code == 5) << "run " << run << ": exit " << code << ": "
                                            << line.substr(0, 300);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

}  // namespace
