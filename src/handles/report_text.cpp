// Text rules of the report lines: shortening, replacing, the display form of
// object names and the line itself.
#include "handles/handle_report.h"
#include "handles/handle_list.h"
#include "base/memory.h"
#include "base/text.h"
#include <shlwapi.h>

static const int kShortenLimit = 1024;
static const int kMinimumShortened = 4;   // one head character, "...", one tail character

int ShortenMiddleIn(char* text, int targetLength, UINT codePage)
{
    int length = lstrlenA(text);
    if (targetLength < kMinimumShortened)
        return length;
    int n = targetLength < kShortenLimit ? targetLength : kShortenLimit;
    if (length <= n)
        return length;
    int half = n / 2;
    // Cut at character boundaries: head and tail may each give up a byte of
    // a double-byte or UTF-8 character rather than keep half of it.
    int head = CharBoundary(text, half - 2, codePage, 0);
    int tailStart = CharBoundary(text, length - (n - half - 1), codePage, 1);
    int tail = length - tailStart;
    text[head] = '.';
    text[head + 1] = '.';
    text[head + 2] = '.';
    // The tail moves left, so a forward copy is safe.
    MemCopy(text + head + 3, text + tailStart, (SIZE_T)tail);
    text[head + 3 + tail] = 0;
    return head + 3 + tail;
}

int ShortenMiddle(char* text, int targetLength)
{
    return ShortenMiddleIn(text, targetLength, GetACP());
}

// Appends count characters of piece to out (outLength bytes, used so far *used).
static void AppendBounded(char* out, int outLength, int* used, const char* piece,
                          int count)
{
    for (int i = 0; i < count && *used < outLength - 1; i++)
        out[(*used)++] = piece[i];
    out[*used] = 0;
}

int ReplaceAllNoCase(char* text, const char* find, const char* replacement,
                     int bufferLength)
{
    int findLength = lstrlenA(find);
    if (findLength == 0 || bufferLength <= 0)
        return 0;
    int length = lstrlenA(text);
    int replacementLength = lstrlenA(replacement);
    char* upperText = DupString(text);
    char* upperFind = DupString(find);
    CharUpperA(upperText);
    CharUpperA(upperFind);
    char* result = (char*)MemAlloc((unsigned long long)bufferLength);
    int used = 0;
    int count = 0;
    const char* cursor = upperText;
    for (;;) {
        const char* hit = StrStrA(cursor, upperFind);
        int pieceStart = (int)(cursor - upperText);
        int pieceEnd = hit ? (int)(hit - upperText) : length;
        AppendBounded(result, bufferLength, &used, text + pieceStart, pieceEnd - pieceStart);
        if (!hit)
            break;
        AppendBounded(result, bufferLength, &used, replacement, replacementLength);
        count++;
        cursor = hit + findLength;
    }
    CopyText(text, result, bufferLength);
    MemFree(result);
    MemFree(upperFind);
    MemFree(upperText);
    return count;
}

int ToDisplayPath(char* objectPath, int bufferLength, const char* devicePath,
                  const char* driveRoot)
{
    char display[520];
    int deviceLength = lstrlenA(devicePath);
    if (deviceLength > 0 && StrCmpNA(objectPath, devicePath, deviceLength) == 0) {
        char next = objectPath[deviceLength];
        if (next == 0) {
            wsprintfA(display, "\\\\.\\%c:", driveRoot[0]);
        } else if (next == '\\') {
            wsprintfA(display, "%.3s%.510s", driveRoot, objectPath + deviceLength + 1);
        } else {
            return 0;   // another device whose name merely begins the same
        }
        CopyText(objectPath, display, bufferLength);
        return 1;
    }
    // The DOS-device form of an NT name (\??\U:\docs\a.txt) names the same file
    // as U:\docs\a.txt.
    if (driveRoot[0] && StrCmpNA(objectPath, "\\??\\", 4) == 0 &&
        StrCmpNIA(objectPath + 4, driveRoot, lstrlenA(driveRoot)) == 0) {
        CopyText(display, objectPath + 4, sizeof display);
        CopyText(objectPath, display, bufferLength);
        return 1;
    }
    return 0;
}

int IsPathOnVolume(const char* path, const char* devicePath, const char* driveRoot)
{
    int deviceLength = lstrlenA(devicePath);
    if (deviceLength > 0 && StrCmpNIA(path, devicePath, deviceLength) == 0 &&
        (path[deviceLength] == 0 || path[deviceLength] == '\\'))
        return 1;
    // \??\U:\x (an NT name) and \\?\U:\x (a long Win32 path) name U:\x.
    if (path[0] == '\\' && (path[1] == '?' || path[1] == '\\') && path[2] == '?' &&
        path[3] == '\\')
        path += 4;
    int rootLength = lstrlenA(driveRoot);
    return rootLength > 0 && StrCmpNIA(path, driveRoot, rootLength) == 0;
}

void SetHandleHolder(OpenHandleEntry* record, const char* exeName, const char* name,
                     ULONGLONG handleValue, ULONGLONG processId, const char* devicePath,
                     const char* driveRoot)
{
    CopyText(record->exeName, exeName, sizeof record->exeName);
    // A long name keeps its start (the volume) and its end (the file).
    char path[kNameTextLength];
    CopyText(path, name, sizeof path);
    ShortenMiddle(path, (int)sizeof record->objectPath - 1);
    CopyText(record->objectPath, path, sizeof record->objectPath);
    ToDisplayPath(record->objectPath, sizeof record->objectPath, devicePath, driveRoot);
    record->handleValue = handleValue;
    record->processId = processId;
}

int IsPathInOpenHandleTable(const OpenHandleEntry* table, const char* path)
{
    for (int i = 0; i < kOpenHandleLimit && table[i].exeName[0]; i++)
        if (table[i].objectPath[0] && lstrcmpiA(table[i].objectPath, path) == 0)
            return 1;
    return 0;
}

void FormatReportEnd(const BlindSpots* spots, int privileged, int found, char* none,
                     char* hint)
{
    DWORD count = spots->count;
    int used = 0;
    hint[0] = 0;
    if (count && !privileged) {
        wsprintfA(hint, "(%u process%s could not be inspected; an elevated run sees %s)",
                  count, count == 1 ? "" : "es", count == 1 ? "it" : "them");
    } else if (count) {
        used = wsprintfA(hint, "(not inspected:");
        DWORD shown = count < kBlindSpotNameLimit ? count : (DWORD)kBlindSpotNameLimit;
        for (DWORD i = 0; i < shown; i++)
            used += wsprintfA(hint + used, "%s %.259s (%u)", i ? "," : "",
                              spots->exeNames[i], spots->processIds[i]);
        if (count > shown)
            used += wsprintfA(hint + used, " and %u more", count - shown);
        wsprintfA(hint + used, "; they may hold the volume)");
    }
    // Nothing found is not nobody when some processes stayed closed.
    CopyText(none, found ? "" : hint[0] ? " no inspected process holds the volume"
                                        : " none found",
             kNoneTextLength);
}

int IsExplorerExe(const char* exeName)
{
    return lstrcmpiA(PathFindFileNameA(exeName), "explorer.exe") == 0;
}

void MakeDisplayLine(OpenHandleEntry* entry, const char* devicePath,
                     const char* driveRoot, int width, int redirected, int debug)
{
    DWORD processId = (DWORD)entry->processId;
    int isServiceHost = StrStrA(entry->exeName, "svchost.exe") != NULL;
    // A service host's line also carries " [id]" on the console: the path
    // gives way for it too, so that the line still fits the console's width
    // (a wrapped line could not be found again to be turned back).
    char idText[16];
    int idLength = isServiceHost ? wsprintfA(idText, " [%u]", processId) : 0;
    // wsprintfA writes at most 1024 characters and a terminator.
    char line[1025];
    if (redirected) {
        wsprintfA(line, "[%u] %.259s", processId, entry->exeName);
    } else if (isServiceHost) {
        // An image holder's path, shortened for a line of its own.
        if (!entry->objectPath[0])
            ShortenMiddle(entry->exeName, width - 4 - idLength);
        wsprintfA(line, "%.259s [%u]", entry->exeName, processId);
    } else {
        CopyText(line, entry->exeName, sizeof line);
    }

    if (entry->objectPath[0]) {
        ToDisplayPath(entry->objectPath, sizeof entry->objectPath, devicePath, driveRoot);
        int exeLength = lstrlenA(entry->exeName);
        if (debug) {
            ShortenMiddle(entry->objectPath, width - exeLength - 12);
            wsprintfA(line, "0x%X %.259s : %.519s", (DWORD)entry->handleValue,
                      entry->exeName, entry->objectPath);
        } else if (redirected) {
            wsprintfA(line, "[%u] %.259s : %.519s", processId, entry->exeName,
                      entry->objectPath);
        } else {
            ShortenMiddle(entry->objectPath, width - exeLength - 4 - idLength);
            if (isServiceHost)
                wsprintfA(line, "%.259s [%u] : %.519s", entry->exeName, processId,
                          entry->objectPath);
            else
                wsprintfA(line, "%.259s : %.519s", entry->exeName, entry->objectPath);
        }
    }
    // A long name in the unshortened redirected form is clipped, never overrun.
    CopyText(entry->displayLine, line, sizeof entry->displayLine);
}

void FormatNoReadLine(const UnreadableFileEntry* record, char* text)
{
    wsprintfA(text, "no read: %.259s", record->path);
}
