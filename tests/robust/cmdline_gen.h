// Reproducible generator of hostile command lines: long words, quotes, blanks,
// non-ASCII bytes, format directives and many arguments.
#pragma once
#include <string>

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
