// Drives the key watch and the waits directly in a real console, so that the
// terminal tests can press keys before the eject loop exists.
//
//   keywatch_probe watch [inject]  key watch with the eject loop's table; prints
//                                  each lastKey ("lastKey=70"), the stop flag,
//                                  how long the thread takes to end, and the
//                                  input modes found, while watching and after
//                                  Ctrl+C. Q ends it.
//                                  inject: writes F down, Esc down, F up, Esc up
//                                  into the console input, and after that press
//                                  F held (three key-downs, one key-up).
//   keywatch_probe sleep MS [DELAY] SleepOrKey(MS): "SleepOrKey=N after T ms";
//                                  DELAY: keys pressed in the DELAY ms after
//                                  "ready" are pending when the wait starts
//   keywatch_probe prompt          the closing prompt: "prompt ended after T ms"
//   keywatch_probe cpu MS [pipe|idle]
//                                  CPU time of the watch thread and the process
//                                  over MS of waiting; pipe: standard input is a
//                                  pipe; idle: no watch (baseline)
//   keywatch_probe facts           console-window facts and the closing waits
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "console/console_setup.h"
#include "base/memory.h"

namespace {

const int kMaxThreads = 64;

int ThreadIds(DWORD* ids, int size)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    DWORD self = GetCurrentProcessId();
    if (Thread32First(snapshot, &entry)) {
        do {
            if (entry.th32OwnerProcessID == self && count < size)
                ids[count++] = entry.th32ThreadID;
        } while (Thread32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return count;
}

// Threads of this process that are not in before[]; the first goes to *found.
int NewThreads(const DWORD* before, int beforeCount, DWORD* found)
{
    DWORD now[kMaxThreads];
    int count = ThreadIds(now, kMaxThreads);
    int fresh = 0;
    for (int i = 0; i < count; i++) {
        bool known = false;
        for (int j = 0; j < beforeCount; j++)
            known = known || now[i] == before[j];
        if (!known && fresh++ == 0 && found)
            *found = now[i];
    }
    return fresh;
}

void EjectLoopTable(KeyAction* table)
{
    memset(table, 0, sizeof(KeyAction) * kKeyActionLimit);
    table[0].key = 'F';
    strcpy(table[0].text, "-> forcing...\n");
    table[1].key = VK_ESCAPE;
    strcpy(table[1].text, "-> cancel...\n");
}

// Starts the watch and returns a handle on its thread (null if none appeared).
HANDLE StartWatchAndFindThread(const KeyAction* table, int* secondStartThreads)
{
    DWORD before[kMaxThreads];
    int beforeCount = ThreadIds(before, kMaxThreads);
    StartKeyWatch(table);
    DWORD watchId = 0;
    NewThreads(before, beforeCount, &watchId);
    HANDLE thread = watchId ? OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION,
                                         FALSE, watchId)
                            : NULL;
    if (secondStartThreads) {
        StartKeyWatch(table);
        Sleep(200);
        *secondStartThreads = NewThreads(before, beforeCount, NULL);
    }
    return thread;
}

DWORD WaitThreadEnd(HANDLE thread, DWORD limit)
{
    DWORD start = GetTickCount();
    if (!thread || WaitForSingleObject(thread, limit) != WAIT_OBJECT_0)
        return limit + 1;
    return GetTickCount() - start;
}

void KeyRecord(INPUT_RECORD* record, WORD code, BOOL down)
{
    memset(record, 0, sizeof *record);
    record->EventType = KEY_EVENT;
    record->Event.KeyEvent.bKeyDown = down;
    record->Event.KeyEvent.wRepeatCount = 1;
    record->Event.KeyEvent.wVirtualKeyCode = code;
    record->Event.KeyEvent.uChar.AsciiChar = code == 'F' ? 'f' : (char)code;
}

void InjectOverlappingKeys(void)
{
    INPUT_RECORD records[4];
    KeyRecord(&records[0], 'F', TRUE);
    KeyRecord(&records[1], VK_ESCAPE, TRUE);
    KeyRecord(&records[2], 'F', FALSE);
    KeyRecord(&records[3], VK_ESCAPE, FALSE);
    DWORD written = 0;
    WriteConsoleInputA(GetStdHandle(STD_INPUT_HANDLE), records, 4, &written);
}

void InjectHeldKey(void)
{
    INPUT_RECORD records[4];
    KeyRecord(&records[0], 'F', TRUE);
    KeyRecord(&records[1], 'F', TRUE);
    KeyRecord(&records[2], 'F', TRUE);
    KeyRecord(&records[3], 'F', FALSE);
    DWORD written = 0;
    WriteConsoleInputA(GetStdHandle(STD_INPUT_HANDLE), records, 4, &written);
}

// Conhost under a terminal draws the screen a moment after the write; keep the
// process alive until the last lines are shown.
int Finish(int code)
{
    Sleep(500);
    return code;
}

int Watch(bool inject)
{
    KeyAction table[kKeyActionLimit];
    EjectLoopTable(table);
    int secondStart = -1;
    HANDLE thread = StartWatchAndFindThread(table, &secondStart);
    ConsolePrintf("watch thread %s; threads after second start: %d\n",
                  thread ? "found" : "missing", secondStart);
    DWORD found = 0, watching = 0;
    GetFoundInputMode(&found);
    GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &watching);
    ConsolePrintf("input mode 0x%X, watching 0x%X\n", found, watching);
    ConsolePrintf("ready\nTrying..");
    // Injected keys: the overlapping pair first, the held key once the pair's
    // press has been reported.
    int injected = 0;
    if (inject) {
        InjectOverlappingKeys();
        injected = 1;
    }
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 60000) {
        WORD key = __atomic_load_n(&lastKey, __ATOMIC_SEQ_CST);
        if (key) {
            Sleep(100);   // let the watch thread finish its line first
            ClearLastKey();
            NewLineIfNeeded();
            ConsolePrintf("lastKey=%u\n", key);
            if (injected == 1) {
                ConsolePrintf("injecting held F\n");
                InjectHeldKey();
                injected = 2;
            }
            if (key == 'Q') {
                StopKeyWatch();
                ConsolePrintf("watch thread ended after %u ms\n",
                              WaitThreadEnd(thread, 3000));
                ConsolePrintf("probe done\n");
                return Finish(0);
            }
        }
        if (IsStopRequested()) {
            NewLineIfNeeded();
            ConsolePrintf("stop=1\n");
            ConsolePrintf("watch thread ended after %u ms\n", WaitThreadEnd(thread, 3000));
            Sleep(300);
            ShutdownConsole(consoleContext);
            GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &watching);
            ConsolePrintf("input mode after 0x%X\n", watching);
            ConsolePrintf("process goes on\nprobe done\n");
            return Finish(0);
        }
        Sleep(10);
    }
    StopKeyWatch();
    ConsolePrintf("probe gave up\n");
    return Finish(1);
}

DWORD PendingInput(void)
{
    DWORD pending = 0;
    GetNumberOfConsoleInputEvents(GetStdHandle(STD_INPUT_HANDLE), &pending);
    return pending;
}

int SleepMode(DWORD milliseconds, DWORD delay)
{
    ConsolePrintf("ready\n");
    if (delay) {
        // Keys pressed now are pending when the wait starts. Wine's console
        // host leaves the terminal in line mode until input is asked for, so
        // ask (without removing anything) while the delay runs.
        DWORD begin = GetTickCount();
        INPUT_RECORD record;
        DWORD seen;
        while (GetTickCount() - begin < delay) {
            PeekConsoleInputA(GetStdHandle(STD_INPUT_HANDLE), &record, 1, &seen);
            Sleep(50);
        }
        ConsolePrintf("pending before: %u\n", PendingInput());
    }
    DWORD start = GetTickCount();
    WORD key = SleepOrKey(milliseconds);
    DWORD elapsed = GetTickCount() - start;
    ConsolePrintf("SleepOrKey=%u after %u ms, pending after: %u\n", key, elapsed,
                  PendingInput());
    return Finish(0);
}

int PromptMode(void)
{
    ConsolePrintf("ready\n");
    DWORD start = GetTickCount();
    PromptForCloseKey(consoleContext);
    ConsolePrintf("\nprompt ended after %u ms\n", GetTickCount() - start);
    return Finish(0);
}

unsigned long long Ticks100ns(const FILETIME& a, const FILETIME& b)
{
    return (((unsigned long long)a.dwHighDateTime << 32) | a.dwLowDateTime) +
           (((unsigned long long)b.dwHighDateTime << 32) | b.dwLowDateTime);
}

// kind: "console" (standard input as started), "pipe" (standard input a pipe),
// "idle" (no key watch: the process's own baseline).
int CpuMode(DWORD milliseconds, const char* kind)
{
    bool idle = !strcmp(kind, "idle");
    if (!strcmp(kind, "pipe")) {
        HANDLE readEnd, writeEnd;
        CreatePipe(&readEnd, &writeEnd, NULL, 0);
        SetStdHandle(STD_INPUT_HANDLE, readEnd);
    }
    KeyAction table[kKeyActionLimit];
    EjectLoopTable(table);
    HANDLE thread = idle ? GetCurrentThread() : StartWatchAndFindThread(table, NULL);
    if (!thread) {
        ConsolePrintf("watch thread missing\n");
        return Finish(1);
    }
    FILETIME created, ended, kernel0, user0, kernel1, user1;
    FILETIME pkernel0, puser0, pkernel1, puser1;
    GetThreadTimes(thread, &created, &ended, &kernel0, &user0);
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &pkernel0, &puser0);
    Sleep(milliseconds);
    GetThreadTimes(thread, &created, &ended, &kernel1, &user1);
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &pkernel1, &puser1);
    unsigned long long watch = Ticks100ns(kernel1, user1) - Ticks100ns(kernel0, user0);
    unsigned long long process =
        Ticks100ns(pkernel1, puser1) - Ticks100ns(pkernel0, puser0);
    // Figures in microseconds; Wine counts thread times in 10 ms steps.
    ConsolePrintf("cpu %s over %u ms: watch thread %u us, process %u us\n", kind,
                  milliseconds, idle ? 0u : (unsigned)(watch / 10),
                  (unsigned)(process / 10));
    if (!idle) {
        StopKeyWatch();
        ConsolePrintf("watch thread ended after %u ms\n", WaitThreadEnd(thread, 3000));
    }
    ConsolePrintf("cpu done\n");
    return Finish(0);
}

int FactsMode(void)
{
    ConsoleWindowFacts facts;
    ReadConsoleWindowFacts(&facts);
    ConsolePrintf("window %s, owner is %s, visible %d, iconic %d\n",
                  facts.window ? "present" : "none",
                  facts.ownerProcessId == facts.selfProcessId ? "this process"
                                                              : "another process",
                  facts.visible, facts.iconic);
    ConsolePrintf("IsOwnConsole=%d IsConsoleWindowShown=%d standalone wait=%d\n",
                  IsOwnConsole(), IsConsoleWindowShown(), DecideStandaloneWait(&facts));
    DWORD start = GetTickCount();
    Wait4KeyIfStartedStandalone(consoleContext);
    ConsolePrintf("Wait4KeyIfStartedStandalone took %u ms\n", GetTickCount() - start);
    start = GetTickCount();
    WaitBeforeClose(consoleContext, 3000);
    ConsolePrintf("WaitBeforeClose(3000) took %u ms\n", GetTickCount() - start);
    return Finish(0);
}

}  // namespace

int main(int argc, char** argv)
{
    processHeap = GetProcessHeap();
    static ConsoleContext context;
    InitConsole(&context);
    consoleContext = &context;
    const char* mode = argc > 1 ? argv[1] : "";
    if (!strcmp(mode, "watch"))
        return Watch(argc > 2 && !strcmp(argv[2], "inject"));
    if (!strcmp(mode, "sleep") && argc > 2)
        return SleepMode((DWORD)atoi(argv[2]), argc > 3 ? (DWORD)atoi(argv[3]) : 0);
    if (!strcmp(mode, "prompt"))
        return PromptMode();
    if (!strcmp(mode, "cpu") && argc > 2)
        return CpuMode((DWORD)atoi(argv[2]), argc > 3 ? argv[3] : "console");
    if (!strcmp(mode, "facts"))
        return FactsMode();
    fprintf(stderr, "usage: keywatch_probe watch [inject] | sleep MS [DELAY] | prompt | cpu MS [pipe|idle] | facts\n");
    return 2;
}
