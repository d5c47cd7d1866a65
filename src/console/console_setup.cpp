// Console set-up and clean-up, the control-event handler with its stop flag,
// and the console-window tests that the closing waits rest on.
#include "console/console_setup.h"
#include "base/memory.h"
#include "console/key_rules.h"

// Set to 1 by ConsoleCtrlHandler (on the system's thread) and RequestStop;
// never back to 0.
volatile LONG stopRequested;

enum { kSetupInputMode = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT };

// The input mode found at set-up; written by InitConsole before any other
// thread exists, read-only afterwards.
static DWORD foundInputMode;
static BOOL foundInputModeKnown;

int GetFoundInputMode(DWORD* mode)
{
    if (foundInputModeKnown)
        *mode = foundInputMode;
    return foundInputModeKnown;
}

void RestoreFoundInputMode(void)
{
    if (foundInputModeKnown)
        SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), RestoredInputMode(foundInputMode));
}

void InitConsole(ConsoleContext* context)
{
    SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
    context->hOut = GetStdHandle(STD_OUTPUT_HANDLE);
    context->hIn = GetStdHandle(STD_INPUT_HANDLE);
    context->isRedirected = GetFileType(context->hOut) != FILE_TYPE_CHAR;
    foundInputModeKnown = GetConsoleMode(context->hIn, &foundInputMode);
    SetConsoleMode(context->hIn, kSetupInputMode);
    CONSOLE_SCREEN_BUFFER_INFO info;
    context->startupAttributes =
        GetConsoleScreenBufferInfo(context->hOut, &info) ? info.wAttributes : 0;
    ResetKeyWatch();
}

void ShutdownConsole(ConsoleContext* context)
{
    StopKeyWatch();
    RestoreFoundInputMode();
}

BOOL WINAPI ConsoleCtrlHandler(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        RequestStop();
        return TRUE;
    }
    return FALSE;
}

void RequestStop(void)
{
    __atomic_store_n(&stopRequested, 1, __ATOMIC_SEQ_CST);
}

int IsStopRequested(void)
{
    return __atomic_load_n(&stopRequested, __ATOMIC_SEQ_CST) != 0;
}

static const char kPseudoConsoleClass[] = "PseudoConsoleWindow";

void ReadConsoleWindowFacts(ConsoleWindowFacts* facts)
{
    MemFill(facts, 0, sizeof *facts);
    facts->window = GetConsoleWindow();
    facts->selfProcessId = GetCurrentProcessId();
    // The count of all attached processes, also when more than fit.
    DWORD attached[2];
    facts->attachedCount = GetConsoleProcessList(attached, 2);
    if (!facts->window)
        return;
    GetWindowThreadProcessId(facts->window, &facts->ownerProcessId);
    facts->visible = IsWindowVisible(facts->window) != 0;
    facts->iconic = IsIconic(facts->window) != 0;
    char className[sizeof kPseudoConsoleClass + 1];
    facts->pseudoWindow = GetClassNameA(facts->window, className, sizeof className) > 0 &&
                          lstrcmpA(className, kPseudoConsoleClass) == 0;
}

int FactsOwnConsole(const ConsoleWindowFacts* facts)
{
    if (facts->window == NULL)
        return 0;
    return (facts->ownerProcessId != 0 && facts->ownerProcessId == facts->selfProcessId) ||
           facts->attachedCount == 1;
}

int FactsWindowVisible(const ConsoleWindowFacts* facts)
{
    return facts->window != NULL && (facts->visible || facts->pseudoWindow);
}

int FactsWindowShown(const ConsoleWindowFacts* facts)
{
    return FactsWindowVisible(facts) && !facts->iconic;
}

int DecideStandaloneWait(const ConsoleWindowFacts* facts)
{
    if (!FactsWindowVisible(facts))
        return StandaloneNoWait;
    return FactsOwnConsole(facts) ? StandalonePrompt : StandaloneShortPause;
}

// The console window belongs to this process when the system created the
// console for this run (started from the desktop), not when the tool runs in
// a command prompt's console.
int IsOwnConsole(void)
{
    ConsoleWindowFacts facts;
    ReadConsoleWindowFacts(&facts);
    return FactsOwnConsole(&facts);
}

int IsConsoleWindowShown(void)
{
    ConsoleWindowFacts facts;
    ReadConsoleWindowFacts(&facts);
    return FactsWindowShown(&facts);
}
