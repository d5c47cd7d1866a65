// Generated command lines: 10,000 through the splitter and the option reader
// (no crash, no write outside the buffers, every argument terminated inside
// the splitter's own block), and 200 through the real program.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>
#include "cmdline_gen.h"
#include "app/command_line.h"
#include "app/options.h"
#include "base/memory.h"

namespace {

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
