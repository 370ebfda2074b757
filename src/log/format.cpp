#include "log/format.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

// Widths and precisions beyond this are clamped; no log text comes near it.
constexpr std::size_t kMaxFieldNumber = 1'000'000;
// Fraction digits %f produces at most; with the 309 integer digits of the largest double and
// the point this fits the digit buffer.
constexpr std::size_t kMaxFloatPrecision = 100;
constexpr std::size_t kFloatDigitsChars = 420;

class Output {
public:
    Output(wchar_t* out, std::size_t capacity) : _out(out), _limit(capacity - 1) {}

    bool Full() const { return _length == _limit; }

    void Put(wchar_t c) {
        if (_length < _limit) _out[_length++] = c;
    }
    void Repeat(wchar_t c, std::size_t count) {
        count = std::min(count, _limit - _length);
        for (std::size_t i = 0; i < count; ++i) _out[_length++] = c;
    }
    void Append(const wchar_t* text, std::size_t count) {
        count = std::min(count, _limit - _length);
        for (std::size_t i = 0; i < count; ++i) _out[_length++] = text[i];
    }
    void Append(const char* text, std::size_t count) {
        count = std::min(count, _limit - _length);
        for (std::size_t i = 0; i < count; ++i) {
            _out[_length++] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
        }
    }

    std::size_t Finish() {
        _out[_length] = 0;
        return _length;
    }

private:
    wchar_t* _out;
    std::size_t _limit;
    std::size_t _length = 0;
};

// va_list is an array type on some ABIs; a struct lets helpers share one by reference.
struct Arguments {
    va_list list;
};

enum class Length { None, Char, Short, Long, LongLong, Size };

struct Directive {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool zero = false;
    bool alternate = false;
    std::size_t width = 0;
    bool hasPrecision = false;
    std::size_t precision = 0;
    Length length = Length::None;
};

std::size_t ParseNumber(const wchar_t*& p) {
    std::size_t value = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        value = std::min(value * 10 + static_cast<std::size_t>(*p - L'0'), kMaxFieldNumber);
    }
    return value;
}

std::size_t StarArgument(Arguments& args, bool& negative) {
    const int value = va_arg(args.list, int);
    negative = value < 0;
    const auto magnitude = static_cast<std::size_t>(negative ? -static_cast<long long>(value)
                                                             : static_cast<long long>(value));
    return std::min(magnitude, kMaxFieldNumber);
}

// Pads text of `length` characters, written by `body`, to the field width.
template <class Body>
void PutField(Output& out, const Directive& directive, std::size_t length, Body&& body) {
    const std::size_t pad = directive.width > length ? directive.width - length : 0;
    if (!directive.left) out.Repeat(L' ', pad);
    body();
    if (directive.left) out.Repeat(L' ', pad);
}

// Sign or prefix, then `zeros` leading zeros, then the digits; the zero flag widens the zeros.
void PutNumber(Output& out, const Directive& directive, const wchar_t* prefix,
               std::size_t prefixLength, std::size_t zeros, const char* digits,
               std::size_t digitCount, bool zeroPad) {
    std::size_t length = prefixLength + zeros + digitCount;
    if (zeroPad && !directive.left && directive.width > length) {
        zeros += directive.width - length;
        length = directive.width;
    }
    PutField(out, directive, length, [&] {
        out.Append(prefix, prefixLength);
        out.Repeat(L'0', zeros);
        out.Append(digits, digitCount);
    });
}

void PutInteger(Output& out, const Directive& directive, unsigned long long magnitude, wchar_t sign,
                unsigned base, bool upper) {
    const char* digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char buffer[24];
    std::size_t count = 0;
    // An explicit precision of 0 prints no digits for the value 0.
    if (magnitude != 0 || !directive.hasPrecision || directive.precision != 0) {
        do {
            buffer[sizeof buffer - ++count] = digitSet[magnitude % base];
            magnitude /= base;
        } while (magnitude != 0);
    }
    const char* digits = buffer + sizeof buffer - count;

    wchar_t prefix[3];
    std::size_t prefixLength = 0;
    if (sign != 0) prefix[prefixLength++] = sign;
    if (directive.alternate && base == 16 && count != 0 && !(count == 1 && digits[0] == '0')) {
        prefix[prefixLength++] = L'0';
        prefix[prefixLength++] = upper ? L'X' : L'x';
    }
    const std::size_t zeros =
        directive.hasPrecision && directive.precision > count ? directive.precision - count : 0;
    PutNumber(out, directive, prefix, prefixLength, zeros, digits, count,
              directive.zero && !directive.hasPrecision);
}

wchar_t SignOf(const Directive& directive, bool negative) {
    if (negative) return L'-';
    if (directive.plus) return L'+';
    if (directive.space) return L' ';
    return 0;
}

long long ReadSigned(Arguments& args, Length length) {
    switch (length) {
        case Length::Char:
            return static_cast<signed char>(va_arg(args.list, int));
        case Length::Short:
            return static_cast<short>(va_arg(args.list, int));
        case Length::Long:
            return va_arg(args.list, long);
        case Length::LongLong:
            return va_arg(args.list, long long);
        case Length::Size:
            return va_arg(args.list, std::ptrdiff_t);
        case Length::None:
            break;
    }
    return va_arg(args.list, int);
}

unsigned long long ReadUnsigned(Arguments& args, Length length) {
    switch (length) {
        case Length::Char:
            return static_cast<unsigned char>(va_arg(args.list, unsigned));
        case Length::Short:
            return static_cast<unsigned short>(va_arg(args.list, unsigned));
        case Length::Long:
            return va_arg(args.list, unsigned long);
        case Length::LongLong:
            return va_arg(args.list, unsigned long long);
        case Length::Size:
            return va_arg(args.list, std::size_t);
        case Length::None:
            break;
    }
    return va_arg(args.list, unsigned);
}

// The C library writes the digits of the magnitude (its "C" locale has the point as separator);
// sign, padding and the non-finite values are ours so that every platform agrees.
void PutFloat(Output& out, const Directive& directive, double value) {
    const bool negative = std::signbit(value) && !std::isnan(value);
    wchar_t sign[1] = {SignOf(directive, negative)};
    const std::size_t signLength = sign[0] != 0 ? 1 : 0;

    char digits[kFloatDigitsChars];
    std::size_t count = 0;
    bool finite = std::isfinite(value);
    if (!finite) {
        const char* text = std::isnan(value) ? "nan" : "inf";
        std::copy(text, text + 3, digits);
        count = 3;
    } else {
        const int precision = static_cast<int>(
            directive.hasPrecision ? std::min(directive.precision, kMaxFloatPrecision) : 6);
        const int written =
            std::snprintf(digits, sizeof digits, directive.alternate ? "%#.*f" : "%.*f", precision,
                          std::fabs(value));
        count = written > 0 ? std::min(static_cast<std::size_t>(written), sizeof digits - 1) : 0;
    }
    PutNumber(out, directive, sign, signLength, 0, digits, count, directive.zero && finite);
}

template <class Char>
void PutString(Output& out, const Directive& directive, const Char* text) {
    static constexpr Char kNull[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
    if (text == nullptr) text = kNull;
    // With a precision the text need not be terminated within it, so look no further.
    const std::size_t limit =
        directive.hasPrecision ? directive.precision : static_cast<std::size_t>(-1);
    std::size_t length = 0;
    while (length < limit && text[length] != 0) ++length;
    PutField(out, directive, length, [&] { out.Append(text, length); });
}

template <class Char>
void PutCharacter(Output& out, const Directive& directive, Char c) {
    PutField(out, directive, 1, [&] { out.Append(&c, 1); });
}

// Writes one conversion; false when it is not one this formatter knows.
bool Convert(Output& out, Directive& directive, wchar_t conversion, Arguments& args) {
    // For strings and characters h means narrow and l wide, whatever the letter's case.
    const bool narrowText = directive.length == Length::Short;
    const bool wideText = directive.length == Length::Long;
    const bool plainText = directive.length == Length::None;
    switch (conversion) {
        case L'd':
        case L'i': {
            const long long value = ReadSigned(args, directive.length);
            const unsigned long long magnitude = value < 0
                                                     ? 0ull - static_cast<unsigned long long>(value)
                                                     : static_cast<unsigned long long>(value);
            PutInteger(out, directive, magnitude, SignOf(directive, value < 0), 10, false);
            return true;
        }
        case L'u':
            PutInteger(out, directive, ReadUnsigned(args, directive.length), 0, 10, false);
            return true;
        case L'x':
        case L'X':
            PutInteger(out, directive, ReadUnsigned(args, directive.length), 0, 16,
                       conversion == L'X');
            return true;
        case L'p': {
            const auto value = reinterpret_cast<std::uintptr_t>(va_arg(args.list, void*));
            directive.hasPrecision = true;
            directive.precision = sizeof(void*) * 2;
            directive.alternate = false;
            PutInteger(out, directive, value, 0, 16, true);
            return true;
        }
        case L'f':
            if (!plainText && !wideText) return false;
            PutFloat(out, directive, va_arg(args.list, double));
            return true;
        case L's':
        case L'S':
            if (narrowText || (plainText && conversion == L'S')) {
                PutString(out, directive, va_arg(args.list, const char*));
            } else if (wideText || plainText) {
                PutString(out, directive, va_arg(args.list, const wchar_t*));
            } else {
                return false;
            }
            return true;
        case L'c':
        case L'C':
            if (narrowText || (plainText && conversion == L'C')) {
                PutCharacter(out, directive, static_cast<char>(va_arg(args.list, int)));
            } else if (wideText || plainText) {
                PutCharacter(out, directive, static_cast<wchar_t>(va_arg(args.list, int)));
            } else {
                return false;
            }
            return true;
        default:
            return false;
    }
}

void ParseFlags(const wchar_t*& p, Directive& directive) {
    for (;; ++p) {
        switch (*p) {
            case L'-':
                directive.left = true;
                break;
            case L'+':
                directive.plus = true;
                break;
            case L' ':
                directive.space = true;
                break;
            case L'0':
                directive.zero = true;
                break;
            case L'#':
                directive.alternate = true;
                break;
            default:
                return;
        }
    }
}

void ParseLength(const wchar_t*& p, Directive& directive) {
    switch (*p) {
        case L'h':
            ++p;
            directive.length = Length::Short;
            if (*p == L'h') {
                ++p;
                directive.length = Length::Char;
            }
            break;
        case L'l':
            ++p;
            directive.length = Length::Long;
            if (*p == L'l') {
                ++p;
                directive.length = Length::LongLong;
            }
            break;
        case L'z':
            ++p;
            directive.length = Length::Size;
            break;
        default:
            break;
    }
}

}  // namespace

std::size_t FormatWide(wchar_t* out, std::size_t capacity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::size_t length = FormatWideV(out, capacity, format, args);
    va_end(args);
    return length;
}

std::size_t FormatWideV(wchar_t* out, std::size_t capacity, const wchar_t* format, va_list list) {
    if (capacity == 0) return 0;
    Output output(out, capacity);
    if (format == nullptr) format = L"(null)";
    Arguments args;
    va_copy(args.list, list);
    const wchar_t* p = format;
    while (*p != 0 && !output.Full()) {
        if (*p != L'%') {
            output.Put(*p++);
            continue;
        }
        const wchar_t* start = p++;
        if (*p == L'%') {
            output.Put(L'%');
            ++p;
            continue;
        }
        Directive directive;
        ParseFlags(p, directive);
        if (*p == L'*') {
            bool negative = false;
            directive.width = StarArgument(args, negative);
            directive.left = directive.left || negative;
            ++p;
        } else {
            directive.width = ParseNumber(p);
        }
        if (*p == L'.') {
            ++p;
            directive.hasPrecision = true;
            if (*p == L'*') {
                bool negative = false;
                directive.precision = StarArgument(args, negative);
                directive.hasPrecision = !negative;  // a negative precision counts as none
                ++p;
            } else {
                directive.precision = ParseNumber(p);
            }
        }
        ParseLength(p, directive);
        if (*p != 0 && Convert(output, directive, *p, args)) {
            ++p;
        } else {
            // Not understood: show it as written; the character at p is read as plain text next.
            output.Append(start, static_cast<std::size_t>(p - start));
        }
    }
    va_end(args.list);
    return output.Finish();
}
