// Stand-ins for console set-up, keys and waits until the keyboard code lands.
#include "console/console_setup.h"

volatile LONG stopRequested;
volatile WORD lastKey;

void InitConsole(ConsoleContext* context)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    context->hOut = GetStdHandle(STD_OUTPUT_HANDLE);
    context->hIn = GetStdHandle(STD_INPUT_HANDLE);
    context->isRedirected = GetFileType(context->hOut) != FILE_TYPE_CHAR;
    context->startupAttributes =
        GetConsoleScreenBufferInfo(context->hOut, &info) ? info.wAttributes : 0;
}
void ShutdownConsole(ConsoleContext*) {}
BOOL WINAPI ConsoleCtrlHandler(DWORD) { return FALSE; }
void RequestStop(void) { stopRequested = 1; }
int IsStopRequested(void) { return stopRequested != 0; }
void StartKeyWatch(const KeyAction*) {}
void StopKeyWatch(void) {}
void ClearLastKey(void) { lastKey = 0; }
const char* KeyName(WORD) { return ""; }
WORD SleepOrKey(DWORD) { return 0; }
void WaitBeforeClose(ConsoleContext*, DWORD) {}
void Wait4KeyIfStartedStandalone(ConsoleContext*) {}
int IsOwnConsole(void) { return 0; }
int IsConsoleWindowShown(void) { return 0; }
int IsModifierOrLockKey(const KEY_EVENT_RECORD* keyEvent)
{
    return keyEvent->wVirtualKeyCode >= 16 && keyEvent->wVirtualKeyCode <= 20;
}
