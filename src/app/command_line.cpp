#include "app/command_line.h"
#include "base/memory.h"

static int IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

char* SplitCommandLine(const char* commandLine, int* count,
                       char* arguments[kArgumentLimit + 1])
{
    int length = lstrlenA(commandLine);
    char* buffer = (char*)MemAlloc((unsigned long long)length + 1);
    char* out = buffer;
    const char* in = commandLine;
    *count = 0;
    arguments[0] = buffer;
    if (!*in) {
        *out = 0;
        return buffer;
    }
    *count = 1;
    int quoted = 0;
    while (*in) {
        if (*in == '"') {
            while (*in == '"') {
                quoted = !quoted;
                in++;
            }
            if (!*in)
                break;
        }
        if (quoted || !IsBlank(*in)) {
            *out++ = *in++;
            continue;
        }
        *out = 0;
        if (*count == kArgumentLimit) {
            arguments[kArgumentLimit] = NULL;
            break;
        }
        while (IsBlank(*in))
            in++;
        if (!*in)
            break;
        out++;
        arguments[(*count)++] = out;
    }
    *out = 0;
    return buffer;
}
