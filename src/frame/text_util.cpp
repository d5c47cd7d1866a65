#include "frame/text_util.h"
#include "frame/memory.h"
#include <shlwapi.h>

void* MemFill(void* block, int value, SIZE_T count)
{
    volatile unsigned char* p = (unsigned char*)block;
    for (SIZE_T i = 0; i < count; i++)
        p[i] = (unsigned char)value;
    return block;
}

void* MemCopy(void* destination, const void* source, SIZE_T count)
{
    volatile unsigned char* d = (unsigned char*)destination;
    const unsigned char* s = (const unsigned char*)source;
    for (SIZE_T i = 0; i < count; i++)
        d[i] = s[i];
    return destination;
}

void* MemCopyQwords(void* destination, const void* source, SIZE_T count)
{
    volatile unsigned long long* d = (unsigned long long*)destination;
    const unsigned long long* s = (const unsigned long long*)source;
    for (SIZE_T i = 0; i < count / 8; i++)
        d[i] = s[i];
    return destination;
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

int IsValidHandle(HANDLE handle)
{
    return handle != NULL && handle != INVALID_HANDLE_VALUE;
}

const char* StartsWithNoCase(const char* text, const char* prefix)
{
    if (!text || !prefix || !*text || !*prefix)
        return NULL;
    if (lstrlenA(prefix) > lstrlenA(text))
        return NULL;
    return StrStrIA(text, prefix) == text ? text : NULL;
}

int GetPathKind(const char* path)
{
    SetLastError(0);
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return 0;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 2 : 1;
}

int IsReparsePointPath(const char* path)
{
    if (!path || !*path)
        return 0;
    WCHAR wide[520];
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, 520) <= 0)
        return 0;
    wide[519] = 0;
    PathUnquoteSpacesW(wide);
    DWORD attributes = GetFileAttributesW(wide);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

int CopyText(char* destination, const char* source, int size)
{
    int i = 0;
    if (size <= 0)
        return 0;
    for (; i < size - 1 && source[i]; i++)
        destination[i] = source[i];
    destination[i] = 0;
    return i;
}
