// 10,000 generated command lines through the splitter and the option reader:
// no crash, no write outside the buffers, every argument terminated inside the
// splitter's own block.
#include <gtest/gtest.h>
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

}  // namespace
