// Object names of handles: the rights and the privilege with which other
// processes are opened for them, the native query with its reply sizes, and
// the conversion of a name to the ANSI code page.
#include "handles/handle_list.h"
#include "base/imports.h"
#include "base/memory.h"
#include "base/system.h"
#include "base/text.h"

DWORD ProcessQueryRights(void)
{
    return osVersion.major >= 6 ? PROCESS_QUERY_LIMITED_INFORMATION
                                : PROCESS_QUERY_INFORMATION;
}

int EnableDebugPrivilege(void)
{
    RtlAdjustPrivilegeFn adjust = (RtlAdjustPrivilegeFn)GetImport(ImportRtlAdjustPrivilege);
    BOOLEAN wasEnabled = FALSE;
    return adjust && adjust(kSeDebugPrivilege, TRUE, FALSE, &wasEnabled) == STATUS_SUCCESS;
}

static int ConvertedLength(UINT codePage, const WCHAR* text, int textCount)
{
    return WideCharToMultiByte(codePage, 0, text, textCount, NULL, 0, NULL, NULL);
}

int NameToAnsi(const WCHAR* text, int textCount, char* out, int outLength, UINT codePage)
{
    int limit = outLength - 1;
    int written = textCount > 0 ? WideCharToMultiByte(codePage, 0, text, textCount, out,
                                                      limit, NULL, NULL)
                                : 0;
    if (written <= 0 && textCount > 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        // The longest start of the name that fits, never half a character: a
        // double-byte or UTF-8 code page needs more bytes than units.
        int fits = 0, tooLong = textCount;
        while (tooLong - fits > 1) {
            int middle = fits + (tooLong - fits) / 2;
            if (ConvertedLength(codePage, text, middle) <= limit)
                fits = middle;
            else
                tooLong = middle;
        }
        if (fits > 0 && IS_HIGH_SURROGATE(text[fits - 1]))
            fits--;
        written = fits > 0 ? WideCharToMultiByte(codePage, 0, text, fits, out, limit, NULL,
                                                 NULL)
                           : 0;
    }
    if (written < 0)
        written = 0;
    out[written] = 0;
    return written;
}

// ---- the name query itself ------------------------------------------------

static const ULONG kFirstReplyLength = 1024;
// A counted string holds at most 65534 bytes of text.
static const ULONG kLongestReplyLength = 0x10000 + sizeof(OBJECT_NAME_INFORMATION);

// Copies textCount units of text to out (outCount with the terminator); a
// longer text keeps its start (the volume) and its end (the file name) with
// "..." between them.
static void CopyNameShortened(const WCHAR* text, int textCount, WCHAR* out, int outCount)
{
    int countLimit = outCount - 1;
    if (textCount <= countLimit) {
        MemCopy(out, text, (SIZE_T)textCount * sizeof(WCHAR));
        out[textCount] = 0;
        return;
    }
    int head = (countLimit - 3) / 2;
    int tail = countLimit - 3 - head;
    MemCopy(out, text, (SIZE_T)head * sizeof(WCHAR));
    out[head] = out[head + 1] = out[head + 2] = L'.';
    MemCopy(out + head + 3, text + textCount - tail, (SIZE_T)tail * sizeof(WCHAR));
    out[countLimit] = 0;
}

// A name too long for the first reply is asked for again with the length the
// system gave, so a file with a long path is still named, shortened in the
// middle.
NTSTATUS QueryHandleName(HANDLE handle, WCHAR* out, int outCount)
{
    out[0] = 0;
    NtQueryObjectFn query = (NtQueryObjectFn)GetImport(ImportNtQueryObject);
    if (!query)
        return STATUS_NOT_IMPLEMENTED;
    ULONG replyLength = kFirstReplyLength;
    for (int attempt = 0;; attempt++) {
        // Two spare zero units behind the reply keep the text terminated.
        char* reply = (char*)MemAlloc(replyLength + 4);
        ULONG returned = 0;
        NTSTATUS status = query(handle, ObjectNameInformation, reply, replyLength, &returned);
        int tooSmall = status == STATUS_BUFFER_OVERFLOW ||
                       status == STATUS_INFO_LENGTH_MISMATCH ||
                       status == STATUS_BUFFER_TOO_SMALL;
        if (attempt == 0 && tooSmall && returned > replyLength &&
            returned <= kLongestReplyLength) {
            MemFree(reply);
            replyLength = returned;
            continue;
        }
        if (status == STATUS_SUCCESS || status == STATUS_VOLUME_DISMOUNTED) {
            // The text right behind the header, not through the header's pointer.
            const WCHAR* text = (const WCHAR*)(reply + sizeof(OBJECT_NAME_INFORMATION));
            int available =
                (int)((replyLength - sizeof(OBJECT_NAME_INFORMATION)) / sizeof(WCHAR));
            int count = ((const OBJECT_NAME_INFORMATION*)reply)->Name.Length /
                        (int)sizeof(WCHAR);
            if (count <= 0 || count > available)
                count = lstrlenW(text) < available ? lstrlenW(text) : available;
            CopyNameShortened(text, count, out, outCount);
        }
        MemFree(reply);
        return status;
    }
}
