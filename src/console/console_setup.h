// Console set-up, control events, the key-watch thread and the waits that a
// key ends. Shared flags are single words read and written atomically.
#pragma once
#include <windows.h>
#include "console/output.h"

#pragma pack(push, 1)
struct KeyAction {
    signed char key;      // virtual-key code; 0 ends the table
    char text[64];        // printed after the key's name when it is pressed
};
#pragma pack(pop)
enum { kKeyActionLimit = 10 };   // a table is 10 entries, 650 bytes

extern volatile LONG stopRequested;   // set by ConsoleCtrlHandler and RequestStop
extern volatile WORD lastKey;    // written by the key-watch thread

// InitConsole notes the input mode it finds; ShutdownConsole stops the key
// watch and gives that mode back (on every way out of the main flow, Ctrl+C
// included, since the handler lets the run end in order).
void InitConsole(ConsoleContext* context);
void ShutdownConsole(ConsoleContext* context);
// The input mode found at set-up; 0 when standard input is no console.
int  GetFoundInputMode(DWORD* mode);
void RestoreFoundInputMode(void);   // also the crash filter's
BOOL WINAPI ConsoleCtrlHandler(DWORD event);
void RequestStop(void);
int  IsStopRequested(void);
// One watch at a time: a second start while a thread runs does nothing. The
// table (up to kKeyActionLimit entries, key 0 ends it) is copied at once.
// While the watch runs the input mode is KeyWatchInputMode (Quick Edit off);
// StopKeyWatch puts back the mode from before.
// Every key pressed and released sets lastKey; a table key also prints
// "\n<KeyName> <text>". Stop waits at most 100 ms; the thread ends within
// about a second, also when a stop is requested (Ctrl+C, Ctrl+Break, close).
// Start returns 1 when it started a thread, 0 when one runs already, -1 when
// none could be started.
int  StartKeyWatch(const KeyAction* table);
void StopKeyWatch(void);
WORD GetLastKey(void);   // lastKey, 0 when none since the last clear
void ClearLastKey(void);
const char* KeyName(WORD code);   // "BS", "Esc", "Space", "Del", else the character
// Returns the key that ended the wait (keys held with Shift/Ctrl/Alt and those
// keys alone do not), 0 when the time ran out. Discards pending input first.
WORD SleepOrKey(DWORD milliseconds);
// SleepOrKey when the console window is visible; else returns at once.
void WaitBeforeClose(ConsoleContext* context, DWORD milliseconds);
void Wait4KeyIfStartedStandalone(ConsoleContext* context);
int  IsOwnConsole(void);
int  IsConsoleWindowShown(void);
int  IsModifierOrLockKey(const KEY_EVENT_RECORD* keyEvent);

// The key-watch thread: copies its table, watches standard input until
// StopKeyWatch or a stop request; ends with 0. Started by StartKeyWatch only.
DWORD WINAPI WatchForKeyPress_ThreadProc(LPVOID start);
// Within the subsystem: InitConsole's reset of the key-watch state (lastKey 0,
// no thread, no quit request).
void ResetKeyWatch(void);
// Within the subsystem: reads the events waiting on input into records (at
// most recordCount). InputRead with *read > 0 (else *read is untouched);
// InputNone when none wait or none could be read; InputNoConsole when input is no console (a file or
// pipe, which is always signalled).
enum WaitingInput { InputNoConsole = -1, InputNone = 0, InputRead = 1 };
int  ReadWaitingInput(HANDLE input, INPUT_RECORD* records, DWORD recordCount,
                      DWORD* read);

// What the closing waits decide on: the console window, its owner and state,
// and the processes attached to the console.
struct ConsoleWindowFacts {
    HWND  window;           // null when the process has no console window
    DWORD ownerProcessId;   // 0 when unknown
    DWORD selfProcessId;
    int   visible;
    int   iconic;
    DWORD attachedCount;    // processes attached to the console; 0 when unknown
    int   pseudoWindow;     // the window stands in for a pseudo console
};
void ReadConsoleWindowFacts(ConsoleWindowFacts* facts);
// The console was made for this run: its window belongs to this process, or
// this process is the only one attached (a pseudo console's window, as in a
// terminal that hosts the consoles of programs started from the desktop,
// belongs to another process).
int  FactsOwnConsole(const ConsoleWindowFacts* facts);
int  FactsWindowShown(const ConsoleWindowFacts* facts);   // visible, not minimised
// Minimised counts as visible. A pseudo console's window is never visible,
// whatever shows its console, so it counts as visible; any other hidden
// window (a console made hidden) does not.
int  FactsWindowVisible(const ConsoleWindowFacts* facts);

// What Wait4KeyIfStartedStandalone does for given facts.
enum StandaloneWait {
    StandaloneNoWait,      // no visible console window: return at once
    StandaloneShortPause,  // someone else's console: pause 100 ms
    StandalonePrompt,      // this run's own console: "Press any key to close"
};
int  DecideStandaloneWait(const ConsoleWindowFacts* facts);

// The prompt of Wait4KeyIfStartedStandalone, without the window tests: prints
// "Press any key to close" and waits for a key with a character.
void PromptForCloseKey(ConsoleContext* context);
