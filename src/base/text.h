// Text helpers used instead of a runtime library. Texts are 8-bit ANSI and
// NUL-terminated unless a length comes with them.
//
// Size words, the same in every folder of src/:
//   ...Length  a number of bytes: of a buffer (what it holds, terminator
//              included) or of a text (its characters, terminator excluded;
//              for an 8-bit text, characters and bytes are the same).
//   ...Count   a number of elements: entries of a table, UTF-16 units of a
//              wide text or buffer, arguments, records.
// A bound on either is a ...Limit (a time limit is ...LimitMs).
#pragma once
#include <windows.h>

// Bounded copy: at most destinationLength - 1 characters, always terminated
// (destinationLength > 0). Returns the length copied.
int   CopyText(char* destination, const char* source, int destinationLength);
char* DupString(const char* text);                   // a MemAlloc copy
int   StripTrailingChar(char* text, char c);         // returns the length before
int   AppendCharIfMissing(char* text, char c);       // text needs one more byte
const char* StartsWithNoCase(const char* text, const char* prefix);
// Hexadecimal digits to a number (the low 32 bits); 0 for any other character.
DWORD HexToUInt(const char* text);
