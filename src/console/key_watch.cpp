// The key-watch thread: while the eject loop retries, it reads console key
// events, records the last key pressed in lastKey and prints the line of a
// key that has an entry in the key-action table (F forces, Esc cancels).
#include "console/console_setup.h"
#include "console/key_rules.h"
#include "base/memory.h"

// Written by the key-watch thread (each press), ClearLastKey and InitConsole;
// read by the eject loop.
volatile WORD lastKey;

// Written by the main thread only (StartKeyWatch, StopKeyWatch, InitConsole).
static HANDLE keyWatchThread;
// Set to 1 by StopKeyWatch, 0 by StartKeyWatch and InitConsole; read by the thread.
static volatile LONG keyWatchQuit;
// Raised by every StartKeyWatch (main thread). A thread left over from an
// earlier watch sees it change and ends, even if a new start has already
// cleared keyWatchQuit before the old thread noticed it.
static volatile LONG keyWatchGeneration;

enum {
    kWatchWaitMs = 1000,      // a pass waits this long on the input handle
    kPollSleepMs = 10,        // a pass in polling mode sleeps this long
    kNoConsoleSleepMs = 100,  // ... and this long when standard input is no console
    kWatchRecordCount = 10,   // records read per pass
};

// The input mode before the watch; main thread only (StartKeyWatch sets the
// watch's mode, StopKeyWatch puts this one back).
static DWORD modeBeforeWatch;
static BOOL modeBeforeWatchKnown;

// What StartKeyWatch hands to the thread; the thread frees it.
struct KeyWatchStart {
    KeyAction table[kKeyActionLimit];
    LONG generation;
};

void ResetKeyWatch(void)
{
    __atomic_store_n(&lastKey, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&keyWatchQuit, 0, __ATOMIC_SEQ_CST);
    keyWatchThread = NULL;
    modeBeforeWatchKnown = FALSE;
}

void ClearLastKey(void)
{
    __atomic_store_n(&lastKey, 0, __ATOMIC_SEQ_CST);
}

WORD GetLastKey(void)
{
    return __atomic_load_n(&lastKey, __ATOMIC_SEQ_CST);
}

int StartKeyWatch(const KeyAction* table)
{
    if (keyWatchThread)
        return 0;
    __atomic_store_n(&keyWatchQuit, 0, __ATOMIC_SEQ_CST);
    LONG generation = __atomic_load_n(&keyWatchGeneration, __ATOMIC_SEQ_CST) + 1;
    __atomic_store_n(&keyWatchGeneration, generation, __ATOMIC_SEQ_CST);

    KeyWatchStart* start = (KeyWatchStart*)MemAlloc(sizeof(KeyWatchStart));
    MemCopy(start->table, table, sizeof start->table);
    start->generation = generation;
    keyWatchThread = CreateThread(NULL, 0, WatchForKeyPress_ThreadProc, start, 0, NULL);
    if (!keyWatchThread) {
        MemFree(start);   // no key is watched; nothing is reported
        return -1;
    }
    // Set here rather than by the thread: StopKeyWatch does not wait for the
    // thread to end, and a mode the thread put back later could undo the one
    // the main flow restores on its way out.
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    modeBeforeWatchKnown = GetConsoleMode(input, &modeBeforeWatch);
    DWORD found = modeBeforeWatch;
    GetFoundInputMode(&found);
    if (modeBeforeWatchKnown)
        SetConsoleMode(input, KeyWatchInputMode(modeBeforeWatch, found));
    return 1;
}

void StopKeyWatch(void)
{
    __atomic_store_n(&keyWatchQuit, 1, __ATOMIC_SEQ_CST);
    if (!keyWatchThread)
        return;
    // The thread notices the flag at the start of its next pass; it is not
    // waited for longer than this.
    WaitForSingleObject(keyWatchThread, 100);
    CloseHandle(keyWatchThread);
    keyWatchThread = NULL;
    if (modeBeforeWatchKnown)
        SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), modeBeforeWatch);
    modeBeforeWatchKnown = FALSE;
}

static int KeepWatching(LONG generation)
{
    return __atomic_load_n(&keyWatchQuit, __ATOMIC_SEQ_CST) == 0 &&
           __atomic_load_n(&stopRequested, __ATOMIC_SEQ_CST) == 0 &&
           __atomic_load_n(&keyWatchGeneration, __ATOMIC_SEQ_CST) == generation;
}

static void ReportPress(HANDLE input, const KeyAction* table, WORD code)
{
    FlushConsoleInputBuffer(input);
    __atomic_store_n(&lastKey, code, __ATOMIC_SEQ_CST);
    for (int i = 0; i < kKeyActionLimit && table[i].key != 0; i++) {
        // A signed key byte: only codes 1 to 127 can match.
        if ((int)table[i].key != (int)code)
            continue;
        ConsolePrintf("\n%s %.63s", KeyName(code), table[i].text);
        FlushConsoleInputBuffer(input);
    }
}

DWORD WINAPI WatchForKeyPress_ThreadProc(LPVOID parameter)
{
    DebugLog(4, "WatchForKeyPress_ThreadProc");
    KeyAction table[kKeyActionLimit];
    KeyWatchStart* start = (KeyWatchStart*)parameter;
    MemCopy(table, start->table, sizeof table);
    LONG generation = start->generation;
    MemFree(start);

    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    FlushConsoleInputBuffer(input);
    __atomic_store_n(&lastKey, 0, __ATOMIC_SEQ_CST);

    WORD pendingKey = 0;
    // 0 in waiting mode; in polling mode the pause that each pass sleeps.
    DWORD pollPause = 0;
    INPUT_RECORD records[kWatchRecordCount];
    while (KeepWatching(generation)) {
        if (pollPause == 0) {
            DWORD waited = WaitForSingleObject(input, kWatchWaitMs);
            if (waited == WAIT_FAILED)
                pollPause = kPollSleepMs;
            if (waited != WAIT_OBJECT_0)
                continue;
        } else {
            Sleep(pollPause);
        }
        // A watch stopped during the wait leaves the key to the next reader of
        // the input (the closing wait), which would otherwise need a second.
        if (!KeepWatching(generation))
            break;
        DWORD read = 0;
        int waiting = ReadWaitingInput(input, records, kWatchRecordCount, &read);
        if (waiting == InputNoConsole) {
            // Standard input is no console: a file or pipe handle is always
            // signalled, so waiting on it would let the passes follow each
            // other without pause. No key can come; sleep between passes so
            // that only the quit and stop flags are watched.
            pollPause = kNoConsoleSleepMs;
            continue;
        }
        if (waiting == InputNone)
            continue;
        int index = 0;
        WORD code;
        while (NextKeyPress(records, (int)read, &index, &pendingKey, &code))
            ReportPress(input, table, code);
    }

    return 0;
}
