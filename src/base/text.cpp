#include "base/text.h"
#include "base/memory.h"
#include <shlwapi.h>

int CopyText(char* destination, const char* source, int destinationLength)
{
    int i = 0;
    if (destinationLength <= 0)
        return 0;
    for (; i < destinationLength - 1 && source[i]; i++)
        destination[i] = source[i];
    destination[i] = 0;
    return i;
}

char* DupString(const char* text)
{
    int length = lstrlenA(text);
    char* copy = (char*)MemAlloc((unsigned long long)length + 1);
    MemCopy(copy, text, (SIZE_T)length);
    return copy;
}

int StripTrailingChar(char* text, char c)
{
    int length = lstrlenA(text);
    if (length > 0 && text[length - 1] == c)
        text[length - 1] = 0;
    return length;
}

int AppendCharIfMissing(char* text, char c)
{
    int length = lstrlenA(text);
    if (length > 0 && text[length - 1] != c) {
        text[length] = c;
        text[length + 1] = 0;
    }
    return length;
}

const char* StartsWithNoCase(const char* text, const char* prefix)
{
    if (!text || !prefix || !*text || !*prefix)
        return NULL;
    if (lstrlenA(prefix) > lstrlenA(text))
        return NULL;
    return StrStrIA(text, prefix) == text ? text : NULL;
}

DWORD HexToUInt(const char* text)
{
    DWORD value = 0;
    for (; *text; text++) {
        char c = *text;
        DWORD digit;
        if (c >= '0' && c <= '9')
            digit = (DWORD)(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = (DWORD)(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = (DWORD)(c - 'A' + 10);
        else
            return 0;
        value = value * 16 + digit;   // wraps: only the low 32 bits remain
    }
    return value;
}
