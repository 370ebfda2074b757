// printf-style formatting of wide log texts, the same on every platform.
//
// The conversions read their arguments as Windows' wide printf does: %s (or %ls) takes a wide
// string and %S (or %hs) a narrow one, %c a wide character and %C a narrow one; a null string
// prints "(null)"; %p prints the pointer as upper-case hex digits zero padded to its full width.
// Also %d %i %u %x %X %f %%, the flags - + space 0 #, widths, precisions (both also as *) and the
// length modifiers hh h l ll z. The C library's swprintf cannot serve: off Windows it reads %s
// and %S the other way round. Narrow bytes widen one to one, as in the "C" locale.
//
// A conversion that is not understood is copied to the output as written and takes no argument.
#pragma once

#include <cstdarg>
#include <cstddef>

// Writes at most capacity - 1 characters and a terminating 0 (nothing when capacity is 0);
// longer text is cut. Returns the number of characters written, without the terminator.
std::size_t FormatWide(wchar_t* out, std::size_t capacity, const wchar_t* format, ...);
std::size_t FormatWideV(wchar_t* out, std::size_t capacity, const wchar_t* format, va_list args);
