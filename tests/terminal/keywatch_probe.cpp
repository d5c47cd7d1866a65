// Drives the key watch and the waits directly in a real console, for what
// the product's runs cannot show: the watch thread, the input modes, the
// waits' own reads of the console.
//
//   keywatch_probe watch        key watch with the eject loop's table, started
//                               twice; prints each lastKey ("lastKey=70"), the
//                               input modes found and while watching; Q stops
//                               the watch and starts it again; after Ctrl+C the
//                               stop flag and the input mode given back; both
//                               say how long the thread took to end
//   keywatch_probe sleep MS [DELAY]  SleepOrKey(MS): "SleepOrKey=N after T ms";
//                               keys pressed in the DELAY ms after "ready" are
//                               pending when the wait starts
//   keywatch_probe prompt       the closing prompt: "prompt ended"
//   keywatch_probe stopped MS   a watch stopped after 200 ms ("stopped"), then
//                               SleepOrKey(MS) as in sleep: the closing wait
//                               after an outcome
//   keywatch_probe cpu MS [pipe|idle]  CPU time of the watch thread and the
//                               process over MS of waiting (bench/keywatch_cpu.sh);
//                               pipe: standard input a pipe; idle: no watch
#include <windows.h>
#include <tlhelp32.h>
#include <stdlib.h>
#include <string.h>
#include "console/console_setup.h"
#include "base/memory.h"

namespace {

const KeyAction kEjectKeys[kKeyActionLimit] = {{'F', "-> forcing...\n"},
                                               {VK_ESCAPE, "-> cancel...\n"}};

// The ids of this process's threads that are not in known[]; returns how many.
int NewThreads(const DWORD* known, int knownCount, DWORD* found, int size)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        bool old = entry.th32OwnerProcessID != GetCurrentProcessId();
        for (int i = 0; i < knownCount && !old; i++)
            old = known[i] == entry.th32ThreadID;
        if (!old && count < size)
            found[count++] = entry.th32ThreadID;
    }
    CloseHandle(snapshot);
    return count;
}

// Starts the watch (twice when asked: the second start must start nothing)
// and returns its thread; *threads: the threads the starts added.
HANDLE StartWatch(bool twice, int* threads)
{
    DWORD before[64], added[64];
    int beforeCount = NewThreads(NULL, 0, before, 64);
    StartKeyWatch(kEjectKeys);
    if (twice) {
        StartKeyWatch(kEjectKeys);
        Sleep(200);
    }
    *threads = NewThreads(before, beforeCount, added, 64);
    return *threads ? OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, added[0]) : NULL;
}

DWORD WaitThreadEnd(HANDLE thread)
{
    DWORD start = GetTickCount();
    return thread && WaitForSingleObject(thread, 3000) == WAIT_OBJECT_0 ? GetTickCount() - start
                                                                        : 3001;
}

// Conhost under a terminal draws the screen a moment after the write; keep the
// process alive until the last lines are shown.
int Finish(void)
{
    Sleep(500);
    return 0;
}

int Watch(void)
{
    int threads = 0;
    DWORD before = 0;
    GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &before);
    ConsolePrintf("input mode before the watch 0x%X\n", before);
    HANDLE thread = StartWatch(true, &threads);
    DWORD found = 0, watching = 0;
    GetFoundInputMode(&found);
    GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &watching);
    ConsolePrintf("threads after two starts: %d\ninput mode 0x%X, watching 0x%X\nready\nTrying..",
                  threads, found, watching);
    for (DWORD start = GetTickCount(); GetTickCount() - start < 60000; Sleep(10)) {
        if (WORD key = __atomic_load_n(&lastKey, __ATOMIC_SEQ_CST)) {
            Sleep(100);   // let the watch thread finish its line first
            ClearLastKey();
            NewLineIfNeeded();
            ConsolePrintf("lastKey=%u\n", key);
            if (key == 'Q') {
                StopKeyWatch();
                GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &watching);
                ConsolePrintf("stopped: thread ended after %u ms, input mode 0x%X\n",
                              WaitThreadEnd(thread), watching);
                thread = StartWatch(false, &threads);
                ConsolePrintf("watching again\n");
            }
        }
        if (IsStopRequested()) {
            NewLineIfNeeded();
            ConsolePrintf("watch thread ended after %u ms\n", WaitThreadEnd(thread));
            ShutdownConsole(consoleContext);
            GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &watching);
            ConsolePrintf("input mode after 0x%X\nprocess goes on\n", watching);
            return Finish();
        }
    }
    return Finish();
}

int SleepMode(DWORD milliseconds, DWORD delay)
{
    ConsolePrintf("ready\n");
    // Keys pressed now are pending when the wait starts. Wine's console host
    // leaves the terminal in line mode until input is asked for, so ask
    // (without removing anything) while the delay runs.
    INPUT_RECORD record;
    DWORD seen;
    for (DWORD begin = GetTickCount(); GetTickCount() - begin < delay; Sleep(50))
        PeekConsoleInputA(GetStdHandle(STD_INPUT_HANDLE), &record, 1, &seen);
    GetNumberOfConsoleInputEvents(GetStdHandle(STD_INPUT_HANDLE), &seen);
    DWORD start = GetTickCount();
    WORD key = SleepOrKey(milliseconds);
    DWORD elapsed = GetTickCount() - start, pending = 0;
    GetNumberOfConsoleInputEvents(GetStdHandle(STD_INPUT_HANDLE), &pending);
    ConsolePrintf("pending before: %u\nSleepOrKey=%u after %u ms, pending after: %u\n", seen, key,
                  elapsed, pending);
    return Finish();
}

ULONGLONG Microseconds(const FILETIME& kernel, const FILETIME& user)
{
    return ((((ULONGLONG)kernel.dwHighDateTime << 32) | kernel.dwLowDateTime) +
            (((ULONGLONG)user.dwHighDateTime << 32) | user.dwLowDateTime)) / 10;
}

ULONGLONG CpuOf(HANDLE thread)
{
    FILETIME created, ended, kernel, user;
    if (thread)
        GetThreadTimes(thread, &created, &ended, &kernel, &user);
    else
        GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    return Microseconds(kernel, user);
}

// Figures in microseconds; Wine counts thread times in 10 ms steps.
int CpuMode(DWORD milliseconds, const char* kind)
{
    if (!strcmp(kind, "pipe")) {
        HANDLE readEnd, writeEnd;
        CreatePipe(&readEnd, &writeEnd, NULL, 0);
        SetStdHandle(STD_INPUT_HANDLE, readEnd);
    }
    int threads = 0;
    bool idle = !strcmp(kind, "idle");
    HANDLE thread = idle ? NULL : StartWatch(false, &threads);
    ULONGLONG watch = thread ? CpuOf(thread) : 0, process = CpuOf(NULL);
    Sleep(milliseconds);
    watch = thread ? CpuOf(thread) - watch : 0;
    process = CpuOf(NULL) - process;
    ConsolePrintf("cpu %s over %u ms: watch thread %u us, process %u us\n", kind, milliseconds,
                  (unsigned)watch, (unsigned)process);
    StopKeyWatch();
    ConsolePrintf("cpu done\n");
    return Finish();
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
        return Watch();
    if (!strcmp(mode, "sleep") && argc > 2)
        return SleepMode((DWORD)atoi(argv[2]), argc > 3 ? (DWORD)atoi(argv[3]) : 0);
    if (!strcmp(mode, "prompt")) {
        ConsolePrintf("ready\n");
        PromptForCloseKey(consoleContext);
        ConsolePrintf("\nprompt ended\n");
        return Finish();
    }
    if (!strcmp(mode, "stopped") && argc > 2) {
        StartKeyWatch(kEjectKeys);
        Sleep(200);
        StopKeyWatch();
        ConsolePrintf("stopped\n");
        return SleepMode((DWORD)atoi(argv[2]), 0);
    }
    if (!strcmp(mode, "cpu") && argc > 2)
        return CpuMode((DWORD)atoi(argv[2]), argc > 3 ? argv[3] : "console");
    return 2;
}
