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
enum { kKeyActionSlots = 10 };   // a table is 10 entries, 650 bytes

extern volatile LONG stopRequested;
extern volatile WORD lastKey;    // written by the key-watch thread

void InitConsole(ConsoleContext* context);
void ShutdownConsole(ConsoleContext* context);
BOOL WINAPI ConsoleCtrlHandler(DWORD event);
void RequestStop(void);
int  IsStopRequested(void);
void StartKeyWatch(const KeyAction* table);
void StopKeyWatch(void);
void ClearLastKey(void);
const char* KeyName(WORD code);
WORD SleepOrKey(DWORD milliseconds);
void WaitBeforeClose(ConsoleContext* context, DWORD milliseconds);
void Wait4KeyIfStartedStandalone(ConsoleContext* context);
int  IsOwnConsole(void);
int  IsConsoleWindowShown(void);
int  IsModifierOrLockKey(const KEY_EVENT_RECORD* keyEvent);
