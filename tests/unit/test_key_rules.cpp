// Key-event rules of the key watch and the waits, the key names, and the
// console-window decisions behind the closing waits.
#include <gtest/gtest.h>
#include <vector>
#include "console/console_setup.h"
#include "console/key_rules.h"

namespace {

const DWORD kShift = SHIFT_PRESSED, kLCtrl = LEFT_CTRL_PRESSED,
            kRCtrl = RIGHT_CTRL_PRESSED, kLAlt = LEFT_ALT_PRESSED,
            kRAlt = RIGHT_ALT_PRESSED;

INPUT_RECORD Key(bool down, WORD code, char character, DWORD state)
{
    INPUT_RECORD record = {KEY_EVENT};
    record.Event.KeyEvent = {down, 1, code, 0, {(WCHAR)(BYTE)character}, state};
    return record;
}
INPUT_RECORD Down(WORD code, char c = 0, DWORD state = 0) { return Key(true, code, c, state); }
INPUT_RECORD Up(WORD code, char c = 0, DWORD state = 0) { return Key(false, code, c, state); }
INPUT_RECORD Focus() { return {FOCUS_EVENT}; }
INPUT_RECORD Mouse() { return {MOUSE_EVENT}; }

typedef std::vector<INPUT_RECORD> Records;

// The key watch counts a press at the release of the key pressed last, with
// or without modifiers (Shift+F counts as F); the wait ends at the first such
// press without a modifier held. Both carry their pending key across reads.
TEST(KeyRules, WatchPressesAndTheKeyThatEndsAWait)
{
    const DWORD locks = NUMLOCK_ON | CAPSLOCK_ON | SCROLLLOCK_ON | ENHANCED_KEY;
    // endsWait 0: the wait goes on.
    struct Case { const char* what; std::vector<Records> batches; std::vector<WORD> presses;
                  WORD endsWait; } cases[] = {
        {"F", {{Down('F', 'f'), Up('F', 'f')}}, {'F'}, 'F'},
        {"held F is one press", {{Down('F'), Down('F'), Down('F'), Up('F')}}, {'F'}, 'F'},
        {"F down, Esc down, F up, Esc up counts as Esc",
         {{Down('F'), Down(VK_ESCAPE), Up('F'), Up(VK_ESCAPE)}}, {VK_ESCAPE}, VK_ESCAPE},
        {"two presses in one batch", {{Down('F'), Up('F'), Down('X'), Up('X')}}, {'F', 'X'}, 'F'},
        {"a press spans two reads", {{Down('F'), Down('F')}, {Up('F')}}, {'F'}, 'F'},
        // Shift+F as a real console reports it: Shift goes down first, F
        // carries the Shift bit, Shift's own key-up no longer does.
        {"Shift+F", {{Down(VK_SHIFT, 0, kShift), Down('F', 'F', kShift), Up('F', 'F', kShift),
                      Up(VK_SHIFT)}}, {'F'}, 0},
        {"Ctrl+F", {{Down(VK_CONTROL, 0, kLCtrl), Down('F', 6, kLCtrl), Up('F', 6, kLCtrl),
                     Up(VK_CONTROL)}}, {'F'}, 0},
        {"left Alt+F", {{Down(VK_MENU, 0, kLAlt), Down('F', 'f', kLAlt), Up('F', 'f', kLAlt),
                         Up(VK_MENU)}}, {'F'}, 0},
        {"AltGr+F", {{Down('F', 0, kRAlt | kLCtrl), Up('F', 0, kRAlt | kLCtrl)}}, {'F'}, 0},
        {"Shift alone", {{Down(VK_SHIFT, 0, kShift), Up(VK_SHIFT)}}, {VK_SHIFT}, 0},
        {"Shift let go before F", {{Down('F', 'F', kShift), Up('F', 'f')}}, {'F'}, 0},
        {"locks are no modifiers", {{Down('F', 'f', locks), Up('F', 'f', locks)}}, {'F'}, 'F'},
        {"a release without its press", {{Up('X')}}, {}, 0},
        {"other records pass", {{Focus(), Down('Q'), Mouse(), Up('Q'), Focus()}}, {'Q'}, 'Q'},
    };
    for (const Case& c : cases) {
        std::vector<WORD> presses;
        WORD pending = 0, remembered = 0, code = 0, endsWait = 0;
        for (const Records& batch : c.batches) {
            int index = 0;
            while (NextKeyPress(batch.data(), (int)batch.size(), &index, &pending, &code))
                presses.push_back(code);
            EXPECT_EQ((int)batch.size(), index) << c.what;
            if (!endsWait &&
                FindSleepEndingKey(batch.data(), (int)batch.size(), &remembered, &code))
                endsWait = code;
        }
        EXPECT_EQ(c.presses, presses) << c.what;
        EXPECT_EQ(c.endsWait, endsWait) << c.what;
    }
}

TEST(CloseKeyRule, OnlyKeysWithACharacterAndNoModifierEndThePrompt)
{
    Records shifts(999, Down(VK_SHIFT, 0, kShift)), pile = shifts;
    pile.push_back(Up('Q', 'q'));
    struct Case { const char* what; Records records; int found; } cases[] = {
        {"Q down", {Down('Q', 'q')}, 0},
        {"Q up alone", {Up('Q', 'q')}, 0},
        {"Esc", {Down(VK_ESCAPE, 27)}, 0},
        {"Q with Caps Lock on", {Down('Q', 'Q', CAPSLOCK_ON)}, 0},
        {"Pause, which has a character", {Down(VK_PAUSE, 3)}, -1},
        {"Shift+Q", {Down('Q', 'Q', kShift)}, -1},
        {"Ctrl+Q", {Down('Q', 17, kRCtrl)}, -1},
        {"Alt+Q", {Down('Q', 'q', kRAlt)}, -1},
        {"cursor up", {Down(VK_UP, 0, ENHANCED_KEY)}, -1},
        {"mouse", {Mouse()}, -1},
        {"Q behind a pile of ignored records", pile, 999},
        {"the pile alone", shifts, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.found, FindCloseKeyRecord(c.records.data(), (int)c.records.size())) << c.what;
}

TEST(KeyRules, ModifierOrLockKeysAndKeyNames)
{
    for (WORD code : {15, 16, 20, 21}) {
        KEY_EVENT_RECORD key = {TRUE, 1, code};
        EXPECT_EQ(code == 16 || code == 20, IsModifierOrLockKey(&key) != 0) << code;
    }
    const struct { WORD code; const char* name; } names[] = {
        {VK_ESCAPE, "Esc"}, {31, "Del"}, {VK_DELETE, "Del"}, {'F', "F"}, {0x0141, "A"}};
    for (const auto& n : names)
        EXPECT_STREQ(n.name, KeyName(n.code)) << n.code;
}

TEST(InputModes, QuickEditOffWhileWatchingAndTheFoundStateBack)
{
    // current: the mode when the watch starts (set-up leaves 7).
    struct Case { DWORD current, found, watching, restored; };
    const Case cases[] = {
        // A console's usual mode: mouse, insert, Quick Edit, auto position.
        {0x007, 0x1F7, 0x1A7, 0x1F7},
        // Quick Edit and auto position turned off by the user stay off.
        {0x007, 0x0B7, 0x0A7, 0x0B7},
        // A mode without the extended flag tells nothing of that state: the
        // console's defaults stand for it.
        {0x007, 0x007, 0x1A7, 0x1E7},
        // Window and mouse input go, virtual-terminal input stays.
        {0x21F, 0x3F7, 0x3A7, 0x3F7},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KeyWatchInputMode(c.current, c.found), c.watching) << std::hex << c.found;
        EXPECT_EQ(RestoredInputMode(c.found), c.restored) << std::hex << c.found;
    }
}

TEST(ConsoleWindowDecisions, OwnShownAndWhichStandaloneWait)
{
    const HWND window = (HWND)(INT_PTR)0x1234;
    const DWORD self = 500, other = 77;
    struct Case { const char* what; ConsoleWindowFacts facts; int own, shown, visible, standalone; }
        cases[] = {
        {"no console window", {NULL, 0, self, 0, 0}, 0, 0, 0, StandaloneNoWait},
        {"no window, stale owner", {NULL, self, self, 1, 0}, 0, 0, 0, StandaloneNoWait},
        {"hidden, another process's", {window, other, self, 0, 0}, 0, 0, 0, StandaloneNoWait},
        {"hidden, own", {window, self, self, 0, 0}, 1, 0, 0, StandaloneNoWait},
        {"command prompt's console", {window, other, self, 1, 0}, 0, 1, 1, StandaloneShortPause},
        {"started from the desktop", {window, self, self, 1, 0}, 1, 1, 1, StandalonePrompt},
        {"own, minimised", {window, self, self, 1, 1}, 1, 0, 1, StandalonePrompt},
        {"owner not found", {window, 0, 0, 1, 0}, 0, 1, 1, StandaloneShortPause},
        // Windows 11 with its terminal as the default: an invisible pseudo
        // console window of another process; started from the desktop, this
        // process is the only one attached.
        {"terminal, from the desktop", {window, other, self, 0, 0, 1, 1}, 1, 1, 1,
         StandalonePrompt},
        {"terminal, from its shell", {window, other, self, 0, 0, 2, 1}, 0, 1, 1,
         StandaloneShortPause},
        // A console made hidden (scheduled task) is this run's alone, and no
        // key can end a wait there; Wine's console host under a terminal too.
        {"hidden, this run's alone", {window, other, self, 0, 0, 1, 0}, 1, 0, 0, StandaloneNoWait},
        {"no window, alone", {NULL, 0, self, 0, 0, 1, 1}, 0, 0, 0, StandaloneNoWait},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.own, FactsOwnConsole(&c.facts)) << c.what;
        EXPECT_EQ(c.shown, FactsWindowShown(&c.facts)) << c.what;
        EXPECT_EQ(c.visible, FactsWindowVisible(&c.facts)) << c.what;
        EXPECT_EQ(c.standalone, DecideStandaloneWait(&c.facts)) << c.what;
    }
}

// Test programs run without a console window under Wine (and under a CI
// service on Windows); in a console the closing waits would really wait. (The
// key prompt at the end of a run shows in the golden transcripts if it came.)
TEST(ConsoleWaits, WithoutConsoleWindowNothingWaits)
{
    if (GetConsoleWindow() != NULL)
        GTEST_SKIP() << "running in a console window";
    ConsoleContext context = {};
    context.hIn = GetStdHandle(STD_INPUT_HANDLE);
    EXPECT_FALSE(IsOwnConsole());
    EXPECT_FALSE(IsConsoleWindowShown());
    DWORD start = GetTickCount();
    WaitBeforeClose(&context, 60000);
    EXPECT_LT(GetTickCount() - start, 30000u);   // a hang, not a timing check
}

TEST(ConsoleWaits, SleepOrKeyZeroReturnsAtOnceAndAPipeEndsByTime)
{
    EXPECT_EQ(0, SleepOrKey(0));
    // Standard input a pipe: no key can come, the time ends the wait.
    HANDLE readEnd, writeEnd;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, NULL, 0));
    HANDLE saved = GetStdHandle(STD_INPUT_HANDLE);
    SetStdHandle(STD_INPUT_HANDLE, readEnd);
    EXPECT_EQ(0, SleepOrKey(0));
    EXPECT_EQ(0, SleepOrKey(50));
    SetStdHandle(STD_INPUT_HANDLE, saved);
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
}

TEST(ConsoleControl, ControlEventsSetTheStopFlag)
{
    const struct { DWORD event; BOOL handled; } cases[] = {
        {CTRL_C_EVENT, TRUE}, {CTRL_BREAK_EVENT, TRUE}, {CTRL_CLOSE_EVENT, TRUE},
        {CTRL_LOGOFF_EVENT, TRUE}, {CTRL_SHUTDOWN_EVENT, TRUE}, {3, FALSE}, {7, FALSE}};
    for (const auto& c : cases) {
        __atomic_store_n(&stopRequested, 0, __ATOMIC_SEQ_CST);
        EXPECT_EQ(c.handled, ConsoleCtrlHandler(c.event)) << c.event;
        EXPECT_EQ(c.handled != 0, IsStopRequested() != 0) << c.event;
    }
    __atomic_store_n(&stopRequested, 0, __ATOMIC_SEQ_CST);
}

}  // namespace
