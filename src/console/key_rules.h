// The key-event rules of the key watch and of the waits, as pure functions over
// console input records, so that they can be checked without a console.
// Only key events count; the control-key bits tested are right/left Alt,
// right/left Ctrl and Shift (mask 0x1F).
#pragma once
#include <windows.h>

enum { kControlKeyMask = RIGHT_ALT_PRESSED | LEFT_ALT_PRESSED | RIGHT_CTRL_PRESSED |
                         LEFT_CTRL_PRESSED | SHIFT_PRESSED };

// Key-watch rule: a key-down event makes its code the pending key; a key-up
// event of the pending key is a press. Holding a key (many key-downs, one
// key-up) is one press; of two keys held at once only the one pressed last
// counts, at its release. Control keys are not tested: Shift+F counts as F.
// Scans records from *index on; on a press stores its code in *code, moves
// *index past the record and returns 1; at the end of the records returns 0
// with *index == count. *pendingKey carries over between calls.
int NextKeyPress(const INPUT_RECORD* records, int count, int* index,
                 WORD* pendingKey, WORD* code);

// SleepOrKey's rule: like the key watch, but key events with any control-key
// bit set are passed over, so Shift, Ctrl and Alt alone, or any key held with
// them, never end the wait. Returns 1 with *code at the first press, else 0.
// *rememberedKey carries over between calls.
int FindSleepEndingKey(const INPUT_RECORD* records, int count, WORD* rememberedKey,
                       WORD* code);

// The closing prompt's rule: the index of the first key event (down or up)
// that has a character, is no modifier or lock key and is not held with
// Shift, Ctrl or Alt; -1 when there is none.
int FindCloseKeyRecord(const INPUT_RECORD* records, int count);

// Console input modes around the key watch. The console reports Quick Edit
// and insert mode (its extended state) only in a mode that carries
// ENABLE_EXTENDED_FLAGS; a mode without it leaves that state as it is.
// The key watch's mode: current without window and mouse input, with echo,
// and with Quick Edit off, since a click would start a selection that holds
// all output and the key watch until a key is pressed. Insert mode and auto
// position stay as found (the mode found at set-up).
DWORD KeyWatchInputMode(DWORD current, DWORD found);
// The mode that gives back the state found at set-up: found itself, or, when
// it did not report the extended state, found with the console's defaults
// for it (insert mode, Quick Edit, auto position on).
DWORD RestoredInputMode(DWORD found);
