#include "base/text.h"
#include "base/memory.h"
#include <shlwapi.h>

// Bytes of the character that starts at text; a sequence cut short by the
// terminator still counts whole.
static int CharByteCount(const char* text, UINT codePage)
{
    BYTE lead = (BYTE)text[0];
    if (codePage != CP_UTF8)
        return IsDBCSLeadByteEx(codePage, lead) ? 2 : 1;
    int count = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    for (int i = 1; i < count; i++)
        if (text[i] && (text[i] & 0xC0) != 0x80)
            return i;   // a broken sequence ends before the next character
    return count;
}

int CharBoundary(const char* text, int offset, UINT codePage, int roundUp)
{
    int at = 0;
    while (at < offset && text[at]) {
        int next = at + CharByteCount(text + at, codePage);
        if (next > offset) {
            if (!roundUp)
                return at;
            while (at < next && text[at])   // never past the terminator
                at++;
            return at;
        }
        at = next;
    }
    return at;
}

int CopyText(char* destination, const char* source, int destinationLength)
{
    int i = 0;
    if (destinationLength <= 0)
        return 0;
    for (; i < destinationLength - 1 && source[i]; i++)
        destination[i] = source[i];
    if (source[i])
        i = CharBoundary(source, i, GetACP(), 0);
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

// UTF-8 represents every character and takes neither the best-fit flag nor
// a default character; only a lone surrogate has no counterpart there.
static DWORD NoBestFitFlags(UINT codePage, int exact)
{
    if (codePage == CP_UTF8)
        return exact ? WC_ERR_INVALID_CHARS : 0;
    return WC_NO_BEST_FIT_CHARS;
}

int WideToAnsiExact(const WCHAR* text, UINT codePage, char* out, int outLength)
{
    DWORD flags = NoBestFitFlags(codePage, 1);
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultOut = codePage == CP_UTF8 ? NULL : &usedDefault;
    int length = WideCharToMultiByte(codePage, flags, text, -1, NULL, 0, NULL,
                                     usedDefaultOut);
    if (length <= 0 || usedDefault || length > outLength)
        return 0;
    return WideCharToMultiByte(codePage, flags, text, -1, out, outLength, NULL,
                               usedDefaultOut) == length;
}

char* WideToAnsiReplacing(const WCHAR* text, UINT codePage)
{
    DWORD flags = NoBestFitFlags(codePage, 0);
    const char* replacement = codePage == CP_UTF8 ? NULL : "?";
    int length = WideCharToMultiByte(codePage, flags, text, -1, NULL, 0, replacement,
                                     NULL);
    if (length > 0) {
        char* converted = (char*)MemAlloc((SIZE_T)length);
        if (WideCharToMultiByte(codePage, flags, text, -1, converted, length,
                                replacement, NULL) == length)
            return converted;
        MemFree(converted);
    }
    // A code page that refuses the flags: plain ASCII, '?' for all else.
    int count = lstrlenW(text);
    char* ascii = (char*)MemAlloc((SIZE_T)count + 1);
    for (int i = 0; i < count; i++)
        ascii[i] = text[i] < 0x80 ? (char)text[i] : '?';
    return ascii;
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
