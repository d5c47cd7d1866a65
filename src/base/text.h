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

// Bounded copy: at most destinationLength - 1 bytes, always terminated
// (destinationLength > 0); a text that does not fit is cut at a character
// boundary of the ANSI code page. Returns the length copied.
int   CopyText(char* destination, const char* source, int destinationLength);
// The character boundary of text (in codePage) at or before byte offset
// offset, or with roundUp the one at or after it (at most the text's end). A
// double-byte text is walked from its start, since a trail byte can look like
// a lead byte or like a backslash; a UTF-8 sequence is never split. A character cut
// short by the text's end lies past it: rounded down, it is left out.
int   CharBoundary(const char* text, int offset, UINT codePage, int roundUp);
char* DupString(const char* text);                   // a MemAlloc copy
int   StripTrailingChar(char* text, char c);         // returns the length before
int   AppendCharIfMissing(char* text, char c);       // text needs one more byte
const char* StartsWithNoCase(const char* text, const char* prefix);
// UTF-16 to an ANSI code page without best-fit look-alikes, which could turn
// a full-width quotation mark into a quote or the L with stroke into L.
// Exact: each character needs a counterpart of its own. Writes the terminated
// text (at most outLength bytes with the terminator) and returns 1; returns 0
// with out untouched when a character has none or the text does not fit.
int   WideToAnsiExact(const WCHAR* text, UINT codePage, char* out, int outLength);
// Each character without a counterpart becomes '?' (never a quote, blank or
// backslash). Returns a terminated MemAlloc text.
char* WideToAnsiReplacing(const WCHAR* text, UINT codePage);
// Hexadecimal digits to a number (the low 32 bits); 0 for any other character.
DWORD HexToUInt(const char* text);
