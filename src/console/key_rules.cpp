#include "console/key_rules.h"
#include "console/console_setup.h"

int IsModifierOrLockKey(const KEY_EVENT_RECORD* keyEvent)
{
    // Shift, Ctrl, Alt, Pause and Caps Lock.
    return keyEvent->wVirtualKeyCode >= VK_SHIFT && keyEvent->wVirtualKeyCode <= VK_CAPITAL;
}

int NextKeyPress(const INPUT_RECORD* records, int count, int* index,
                 WORD* pendingKey, WORD* code)
{
    int i = *index;
    for (; i < count; i++) {
        if (records[i].EventType != KEY_EVENT)
            continue;
        const KEY_EVENT_RECORD* key = &records[i].Event.KeyEvent;
        if (key->bKeyDown) {
            *pendingKey = key->wVirtualKeyCode;
        } else if (key->wVirtualKeyCode == *pendingKey) {
            *code = key->wVirtualKeyCode;
            *index = i + 1;
            return 1;
        }
    }
    *index = i;
    return 0;
}

int FindSleepEndingKey(const INPUT_RECORD* records, int count, WORD* rememberedKey,
                       WORD* code)
{
    for (int i = 0; i < count; i++) {
        if (records[i].EventType != KEY_EVENT)
            continue;
        const KEY_EVENT_RECORD* key = &records[i].Event.KeyEvent;
        if (key->dwControlKeyState & kControlKeyMask)
            continue;
        if (key->bKeyDown) {
            *rememberedKey = key->wVirtualKeyCode;
        } else if (key->wVirtualKeyCode == *rememberedKey) {
            *code = key->wVirtualKeyCode;
            return 1;
        }
    }
    return 0;
}

int FindCloseKeyRecord(const INPUT_RECORD* records, int count)
{
    for (int i = 0; i < count; i++) {
        if (records[i].EventType != KEY_EVENT)
            continue;
        const KEY_EVENT_RECORD* key = &records[i].Event.KeyEvent;
        if (!IsModifierOrLockKey(key) && !(key->dwControlKeyState & kControlKeyMask) &&
            key->uChar.AsciiChar != 0)
            return i;
    }
    return -1;
}

const char* KeyName(WORD code)
{
    // Written only by the key-watch thread, its one caller.
    static char oneCharacter[2];
    switch (code) {
    case VK_BACK:   return "BS";
    case VK_ESCAPE: return "Esc";
    case VK_SPACE:  return "Space";
    case 31:        return "Del";
    case VK_DELETE: return "Del";   // 46 would show as '.' under the one-character rule
    }
    wsprintfA(oneCharacter, "%c", code & 0xFF);
    return oneCharacter;
}

static const DWORD kExtendedState = ENABLE_INSERT_MODE | ENABLE_QUICK_EDIT_MODE |
                                    ENABLE_AUTO_POSITION;

// The extended state that found stands for, and the flag that sets it.
static DWORD ExtendedStateOf(DWORD found)
{
    if (found & ENABLE_EXTENDED_FLAGS)
        return found & (kExtendedState | ENABLE_EXTENDED_FLAGS);
    return kExtendedState | ENABLE_EXTENDED_FLAGS;
}

DWORD KeyWatchInputMode(DWORD current, DWORD found)
{
    DWORD mode = current & ~(DWORD)(ENABLE_WINDOW_INPUT | ENABLE_MOUSE_INPUT |
                                    kExtendedState | ENABLE_EXTENDED_FLAGS);
    DWORD quickEditOff = ExtendedStateOf(found) & ~(DWORD)ENABLE_QUICK_EDIT_MODE;
    return mode | ENABLE_ECHO_INPUT | quickEditOff;
}

DWORD RestoredInputMode(DWORD found)
{
    return (found & ~(DWORD)kExtendedState) | ExtendedStateOf(found);
}
