// The waits that a key ends: SleepOrKey (a timed wait), WaitBeforeClose (the
// timed wait before the console closes) and Wait4KeyIfStartedStandalone (a
// prompt when the console window exists for this run alone).
#include "console/console_setup.h"
#include "console/key_rules.h"
#include "base/memory.h"

// The key SleepOrKey saw go down last; kept across calls. Main thread only.
static WORD sleepRememberedKey;

enum {
    kSleepCheckMs = 10,         // SleepOrKey looks at the input this often
    kSleepRecordCount = 100,    // records read per look
    kPromptCheckMs = 100,       // the closing prompt looks this often
    kPromptRecordCount = 1000,  // records looked at per look (20000 bytes, heap)
    kPromptFailureMs = 2000,    // keeps the prompt readable when input fails
};

int ReadWaitingInput(HANDLE input, INPUT_RECORD* records, DWORD recordCount, DWORD* read)
{
    DWORD pending = 0;
    if (!GetNumberOfConsoleInputEvents(input, &pending))
        return InputNoConsole;
    DWORD count = 0;
    if (pending == 0 || !ReadConsoleInputA(input, records, recordCount, &count) ||
        count == 0)
        return InputNone;
    *read = count;
    return InputRead;
}

WORD SleepOrKey(DWORD milliseconds)
{
    DebugLog(4, "SleepOrKey(%u)", milliseconds);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD start = GetTickCount();
    FlushConsoleInputBuffer(input);
    INPUT_RECORD records[kSleepRecordCount];
    // Unsigned difference: the tick counter's wrap-around does no harm.
    while (GetTickCount() - start < milliseconds) {
        DWORD waited = WaitForSingleObject(input, kSleepCheckMs);
        if (waited == WAIT_FAILED) {
            Sleep(kSleepCheckMs);   // no waitable input at all: keep the pace
            continue;
        }
        if (waited != WAIT_OBJECT_0)
            continue;
        DWORD read = 0;
        int waiting = ReadWaitingInput(input, records, kSleepRecordCount, &read);
        if (waiting == InputNoConsole) {
            // A file or pipe is always signalled: pace instead of spinning.
            Sleep(kSleepCheckMs);
            continue;
        }
        if (waiting == InputNone)
            continue;
        WORD code;
        if (FindSleepEndingKey(records, (int)read, &sleepRememberedKey, &code)) {
            FlushConsoleInputBuffer(input);
            return code;
        }
    }
    return 0;
}

void WaitBeforeClose(ConsoleContext* context, DWORD milliseconds)
{
    ConsoleWindowFacts facts;
    ReadConsoleWindowFacts(&facts);
    if (FactsWindowVisible(&facts))
        SleepOrKey(milliseconds);
}

void Wait4KeyIfStartedStandalone(ConsoleContext* context)
{
    DebugLog(4, "Wait4KeyIfStartedStandalone()");
    ConsoleWindowFacts facts;
    ReadConsoleWindowFacts(&facts);
    switch (DecideStandaloneWait(&facts)) {
    case StandaloneShortPause:
        Sleep(100);
        break;
    case StandalonePrompt:
        PromptForCloseKey(context);
        break;
    default:
        break;
    }
}

void PromptForCloseKey(ConsoleContext* context)
{
    Sleep(100);
    FlushConsoleInputBuffer(context->hIn);
    ConsolePrintf("Press any key to close");

    INPUT_RECORD* records =
        (INPUT_RECORD*)MemAlloc(kPromptRecordCount * sizeof(INPUT_RECORD));
    int inputFailed = 0;
    for (;;) {
        Sleep(kPromptCheckMs);
        SetLastError(0);
        DWORD seen = 0;
        if (!PeekConsoleInputA(context->hIn, records, kPromptRecordCount, &seen)) {
            inputFailed = 1;
            break;
        }
        if (FindCloseKeyRecord(records, (int)seen) >= 0)
            break;
        // None of the records looked at ends the wait: remove them, so that a
        // later key is found however many such records (Shift presses, cursor
        // keys, mouse or focus events) pile up before it.
        if (seen > 0) {
            DWORD removed = 0;
            ReadConsoleInputA(context->hIn, records, seen, &removed);
        }
    }
    MemFree(records);
    if (inputFailed)
        Sleep(kPromptFailureMs);
    Sleep(100);
}
