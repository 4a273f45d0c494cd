// Private text helpers of the run-time library part of the simulated kernel:
// UTF-16 measuring, case folding and narrow/wide conversion as the kernel's
// string routines and formatters use them.
#pragma once

#include <ntddk.h>

#include <string>

namespace sim {
namespace rtl {

// Number of UTF-16 units before the terminating null.
size_t WideLength(const wchar_t* s);
// The text of a counted string (Length/2 units; empty for a null buffer).
std::u16string ToU16(const UNICODE_STRING* s);
std::u16string ToU16(const wchar_t* s);

// Simple case mapping of one UTF-16 unit as RtlUpcaseUnicodeChar does it:
// ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic letters.
char16_t Upcase(char16_t c);
std::u16string Upcase(const std::u16string& s);
bool EqualNoCase(const std::u16string& a, const std::u16string& b);

// The kernel's default narrow code page as the sim models it: bytes are
// Latin-1, so a byte maps to the code point of the same value and a code
// point above 0xFF has no narrow form ('?').
char16_t NarrowToWide(unsigned char c);
char WideToNarrow(char16_t c);

}  // namespace rtl
}  // namespace sim
